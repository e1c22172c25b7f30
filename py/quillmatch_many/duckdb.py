"""quillmatch's measures as SQL functions of a DuckDB connection.

    import duckdb
    import quillmatch_many.duckdb

    con = quillmatch_many.duckdb.register(duckdb.connect())
    con.sql("SELECT qm_damerau('ca', 'abc'), qm_jaro_winkler_ci('MARTHA', 'marhta')")

register(con) adds, for each name of FUNCTIONS, `qm_<name>(a, b)` and its
case-insensitive twin `qm_<name>_ci(a, b)`, and `qm_jaro_winkler_p(a, b, p)` and
`qm_jaro_winkler_p_ci(a, b, p)` with the prefix scale p (DuckDB keeps one
function per name, so the three-argument form has a name of its own). Each is vectorised over
Arrow: DuckDB hands a chunk of rows to the extension's row-by-row scores
function, which reads the chunk's columns in place, and gets one Arrow column
back. A NULL in any argument gives NULL. Every result is exactly what
quillmatch's scalar function of the same measure returns for the pair.

The prefix keeps them apart from DuckDB's own functions, which they never
replace: DuckDB's damerau_levenshtein is the unrestricted distance, not the
optimal string alignment; its jaro_winkler_similarity of two empty texts is 0.0
(here 1.0: equal texts); it has no normalized similarity and no
case-insensitive variants.
"""

from typing import Any, Dict

from quillmatch_many._columns import MEASURES, Measure, split

__all__ = ["FUNCTIONS", "register"]

# name -> (what a row scores, SQL result type); registered as qm_<name> and qm_<name>_ci.
FUNCTIONS: Dict[str, str] = {
    "levenshtein": "Levenshtein distance, BIGINT",
    "damerau": "optimal string alignment distance, BIGINT",
    "levenshtein_similarity": "1 - Levenshtein distance / max(m, n), DOUBLE",
    "damerau_similarity": "1 - optimal string alignment distance / max(m, n), DOUBLE",
    "jaro_winkler": "Jaro-Winkler similarity with p = 0.1 (jaro_winkler_p: the third argument), DOUBLE",
}


def _arrow_column(result: Any, is_distance: bool) -> Any:
    import numpy
    import pyarrow

    values, mask = split(result)
    values = numpy.asarray(values, dtype=numpy.int64 if is_distance else numpy.float64)
    return pyarrow.array(values, mask=mask)


def _function(measure: Measure, case_insensitive: bool, with_p: bool) -> Any:
    # One DuckDB thread runs one chunk, so each call scores on the calling
    # thread alone (workers=1): DuckDB's threads are the parallelism, and the
    # scores run with the interpreter lock released.
    if not with_p:
        def scores(a: Any, b: Any) -> Any:
            return _arrow_column(measure(a, b, case_insensitive, workers=1), measure.is_distance)

        return scores

    def scores_with_p(a: Any, b: Any, p: Any) -> Any:
        import numpy
        import pyarrow
        import pyarrow.compute

        # p is a column like the others, nearly always one value: each
        # distinct p scores the rows that have it. A NULL p gives NULL.
        ps = pyarrow.compute.unique(p).drop_null().to_pylist()
        if len(ps) == 1 and p.null_count == 0:
            return _arrow_column(measure(a, b, case_insensitive, p=ps[0], workers=1), False)
        out = numpy.zeros(len(p))
        null = numpy.array(p.is_null(), dtype=bool)
        for value in ps:
            rows = pyarrow.compute.equal(p, value)
            values, mask = split(measure(a.filter(rows), b.filter(rows), case_insensitive,
                                         p=value, workers=1))
            taken = numpy.asarray(rows.fill_null(False))
            out[taken] = values
            if mask is not None:
                null[numpy.flatnonzero(taken)[mask]] = True
        return pyarrow.array(out, mask=null)

    return scores_with_p


def register(con: Any, prefix: str = "qm_") -> Any:
    """Registers the functions of FUNCTIONS on the DuckDB connection `con` as
    <prefix><name> and <prefix><name>_ci, and <prefix>jaro_winkler_p(a, b, p) and
    its _ci twin; returns `con`. A name the connection already has raises
    DuckDB's error."""
    for name, measure in MEASURES.items():
        result_type = "BIGINT" if measure.is_distance else "DOUBLE"
        forms = [("", ["VARCHAR", "VARCHAR"])]
        if name == "jaro_winkler":
            forms.append(("_p", ["VARCHAR", "VARCHAR", "DOUBLE"]))
        for suffix, parameters in forms:
            for case_insensitive in (False, True):
                con.create_function(prefix + name + suffix + ("_ci" if case_insensitive else ""),
                                    _function(measure, case_insensitive, len(parameters) == 3),
                                    parameters, result_type, type="arrow",
                                    null_handling="special", side_effects=False)
    return con
