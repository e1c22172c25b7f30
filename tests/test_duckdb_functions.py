"""quillmatch_many.duckdb: the SQL functions equal quillmatch's scalar functions bit for bit,
NULL in gives NULL out, over one chunk and many on several threads."""

import random

import pytest

duckdb = pytest.importorskip("duckdb")
pa = pytest.importorskip("pyarrow")
from hypothesis import given, settings, strategies as st  # noqa: E402

import quillmatch as qm  # noqa: E402
import quillmatch_many.duckdb as qmduck  # noqa: E402
from test_normalized import reference as normalized_reference  # noqa: E402

NAMES = list(qmduck.FUNCTIONS)
# Every registered SQL function: (SQL name, measure, case_insensitive, takes p).
SQL_FUNCTIONS = [("qm_" + name + ci_suffix, name, bool(ci_suffix), False)
                 for name in NAMES for ci_suffix in ("", "_ci")]
SQL_FUNCTIONS += [("qm_jaro_winkler_p" + ci_suffix, "jaro_winkler", bool(ci_suffix), True)
                  for ci_suffix in ("", "_ci")]

# Where a measure, a fold or a kernel has an edge: empty texts, transpositions
# (OSA against the unrestricted distance), texts past one 64-bit word, the
# folds that change a length or need context, text beyond the BMP, NUL.
CASES = [
    ("", ""), ("", "abc"), ("abc", ""), ("ca", "abc"), ("ab", "ba"), ("abcdef", "badcfe"),
    ("MARTHA", "MARHTA"), ("DWAYNE", "DUANE"), ("Jon Smith", "jon smyth"), ("a", "a"),
    ("x" * 70, "x" * 69 + "y"), ("ab" * 40, "ba" * 40), ("kitten" * 12, "sitting" * 11),
    ("\u0130stanbul", "istanbul"), ("\u0130", "i\u0307"), ("\u03a3\u0391\u03a3", "\u03c3\u03b1\u03c2"),
    ("STRASSE", "stra\u00dfe"), ("\u212aelvin", "kelvin"), ("\u00c5ngstr\u00f6m", "\u00e5ngstr\u00f6m"),
    ("\U0001f600a", "a\U0001f600"), ("e\u0301", "\u00e9"), ("a\x00b", "ab"), ("\u4e2d\u6587", "\u4e2d"),
    ("M\u00fcller", "MUELLER"), (" ", ""), ("Anne-Marie", "Annemarie"),
]


def expected(measure, a, b, case_insensitive, p=None):
    """The scalar function of the measure, or None when a text is NULL."""
    if a is None or b is None:
        return None
    if measure == "levenshtein":
        return qm.levenshtein_bp(a, b, case_insensitive=case_insensitive)
    if measure == "damerau":
        return qm.damerau_bp(a, b, case_insensitive=case_insensitive)
    if measure == "jaro_winkler":
        return qm.jaro_winkler_similarity(a, b, p=p, case_insensitive=case_insensitive)
    return normalized_reference(measure[:-len("_similarity")], a, b, case_insensitive)


def same_bits(got, want):
    """Equal values of the same type; a float to its last bit (float.hex)."""
    if want is None or got is None:
        return got is want
    if isinstance(want, float):
        return isinstance(got, float) and got.hex() == want.hex()
    return type(got) is int and got == want


@pytest.fixture(scope="module")
def con():
    connection = qmduck.register(duckdb.connect())
    yield connection
    connection.close()


def scored(con, rows, p=None):
    """{SQL name: [result of row i]} over a table of (a, b) rows, one query per function."""
    table = pa.table({"a": pa.array([r[0] for r in rows], pa.string()),
                      "b": pa.array([r[1] for r in rows], pa.string()),
                      "p": pa.array([p] * len(rows), pa.float64())})
    con.register("pairs", table)
    try:
        return {name: [row[0] for row in con.execute(
                    "SELECT %s(a, b%s) FROM pairs" % (name, ", p" if takes_p else "")).fetchall()]
                for name, _, _, takes_p in SQL_FUNCTIONS}
    finally:
        con.unregister("pairs")


def check(con, rows, p=0.1):
    got = scored(con, rows, p)
    for name, measure, case_insensitive, takes_p in SQL_FUNCTIONS:
        for (a, b), value in zip(rows, got[name]):
            want = expected(measure, a, b, case_insensitive, p if takes_p else None)
            if takes_p and p is None:
                want = None
            assert same_bits(value, want), (name, a, b, value, want)


def test_the_tricky_cases_score_as_the_scalar_functions(con):
    rows = CASES + [(b, a) for a, b in CASES] + [(None, "abc"), ("abc", None), (None, None)]
    check(con, rows)
    check(con, rows, p=0.25)
    check(con, rows[:4], p=None)  # a NULL p is a NULL score


TEXT = st.one_of(st.none(), st.text(alphabet=st.sampled_from("abcAB\u00e9\u00c9\u03a3\u03c3\u0130i\U0001f600 "),
                                    max_size=12), st.text(max_size=80))


@settings(max_examples=40)
@given(st.lists(st.tuples(TEXT, TEXT), min_size=1, max_size=20), st.sampled_from([0.0, 0.1, 0.2]))
def test_any_texts_score_as_the_scalar_functions(con, rows, p):
    check(con, rows, p)


def test_how_they_differ_from_duckdbs_own(con):
    """What the README says of DuckDB's built-ins, and ours beside them."""
    row = con.execute("SELECT damerau_levenshtein('ca', 'abc'), qm_damerau('ca', 'abc'), "
                      "jaro_winkler_similarity('', ''), qm_jaro_winkler('', ''), "
                      "qm_levenshtein_ci('\u00c9COLE', '\u00e9cole'), qm_levenshtein_similarity('ab', 'ac'), "
                      "levenshtein('a', NULL), qm_levenshtein('a', NULL)").fetchone()
    assert row == (2, 3, 0.0, 1.0, 0, 0.5, None, None)
    types = con.execute("SELECT typeof(qm_levenshtein('a', 'b')), typeof(qm_damerau_similarity('a', 'b')), "
                        "typeof(qm_jaro_winkler_p('a', 'b', 0.2))").fetchone()
    assert types == ("BIGINT", "DOUBLE", "DOUBLE")


def test_many_chunks_on_two_threads_and_a_p_per_row(con):
    """A table of many DuckDB chunks, scored on two threads, row for row; p varying by row,
    NULL in some rows, scores each row with its own p."""
    rnd = random.Random(29)
    words = ["Jon Smith", "John Smyth", "Anne M\u00fcller", "ANNA MUELLER", "", "Li Wei", "x" * 90]
    rows = [(rnd.choice(words + [None]), rnd.choice(words)) for _ in range(9000)]
    ps = [rnd.choice([0.1, 0.2, None]) for _ in rows]
    con.execute("SET threads = 2")
    con.register("source", pa.table({"i": range(len(rows)), "a": [r[0] for r in rows],
                                     "b": [r[1] for r in rows], "p": pa.array(ps, pa.float64())}))
    con.execute("CREATE TEMP TABLE many AS SELECT * FROM source")
    con.unregister("source")
    got = con.execute("SELECT i, qm_damerau_ci(a, b), qm_levenshtein_similarity(a, b), "
                      "qm_jaro_winkler_p(a, b, p) FROM many ORDER BY i").fetchall()
    for (i, damerau, similarity, jw), (a, b), p in zip(got, rows, ps):
        assert same_bits(damerau, expected("damerau", a, b, True)), i
        assert same_bits(similarity, expected("levenshtein_similarity", a, b, False)), i
        assert same_bits(jw, expected("jaro_winkler", a, b, False, p) if p is not None else None), i


def test_errors_and_names(con):
    with pytest.raises(duckdb.Error, match="p"):
        con.execute("SELECT qm_jaro_winkler_p('a', 'b', 0.5)").fetchall()
    # A prefix of one's own; the names DuckDB already has are refused, never replaced.
    other = qmduck.register(duckdb.connect(), prefix="fuzzy_")
    assert other.execute("SELECT fuzzy_damerau('ab', 'ba')").fetchone() == (1,)
    with pytest.raises(duckdb.Error):
        qmduck.register(other, prefix="fuzzy_")
    other.close()
