"""Nulls in the scores functions: a row null on either side (a null of any producer's column,
None, NaN or pandas.NA in a list) is masked in a numpy.ma.MaskedArray, and every other row is
the core module's scalar function, in the dtype the texts without the nulls give; with no null
the result is a plain ndarray. Every other function still refuses nulls."""

import random

import numpy as np
import pytest

import quillmatch_many as qmm
from test_many import MEASURES, SCALAR, expected_dtype, fn, random_texts, run_child

pa = pytest.importorskip("pyarrow")


def null_entry_dictionary(texts):
    """A dictionary whose last entry is null, used by the null rows, and an unused null entry."""
    entries = sorted({t for t in texts if t is not None}) + [None, None]
    indices = [entries.index(t) if t is not None else len(entries) - 2 for t in texts]
    return pa.DictionaryArray.from_arrays(pa.array(indices, pa.int32()), pa.array(entries))


def struct_with_null_rows(texts):
    """A one-column struct whose null rows hide a text of their child."""
    child = pa.array([t if t is not None else "\u00e9" * 90 for t in texts])
    return pa.StructArray.from_arrays([child], names=["n"], mask=pa.array([t is None for t in texts]))


def chunked(texts):
    third = len(texts) // 3
    return pa.chunked_array([texts[:third], [], texts[third:2 * third], texts[2 * third:]], pa.string())


def producers():
    """(label, make): make(texts) is a column holding `texts`, None a null in its producer's way."""
    yield "list", list
    yield "tuple", tuple
    yield "numpy object", lambda t: np.array(t, dtype=object)
    for t in [pa.string(), pa.large_string(), pa.string_view()]:
        yield str(t), lambda x, t=t: pa.array(x, t)
    yield "chunked", chunked
    yield "dictionary null index", lambda x: pa.array(x).dictionary_encode()
    yield "dictionary null entry", null_entry_dictionary
    yield "struct null row", struct_with_null_rows
    yield "table", lambda x: pa.table({"n": chunked(x)})
    try:
        import polars as pl
        yield "polars", lambda x: pl.Series("n", x, dtype=pl.String)
    except ImportError:
        pass
    try:
        import pandas as pd
        yield "pandas None", lambda x: pd.Series(x, dtype=object)
        yield "pandas NaN", lambda x: pd.Series([np.nan if t is None else t for t in x], dtype=object)
        yield "pandas NA", lambda x: pd.Series([pd.NA if t is None else t for t in x], dtype=object)
        yield "pandas string[pyarrow]", lambda x: pd.Series(x, dtype="string[pyarrow]")
        yield "list of pandas NA", lambda x: [pd.NA if t is None else t for t in x]
    except ImportError:
        pass
    try:
        import duckdb
        yield "duckdb", lambda x: duckdb.sql(
            "select n from (select unnest($1::varchar[]) as n, unnest(range(len($1))) as i) order by i",
            params=[x])
    except ImportError:
        pass


PRODUCERS = list(producers())


def with_nulls(rnd, n, every=4):
    """Random texts with a null in every chunk of `chunked` and about one in `every` elsewhere."""
    texts = random_texts(rnd, n)
    for i in range(n):
        if i in (0, n // 3 + 1, n - 1) or rnd.random() < 1 / every:
            texts[i] = None
    return texts


def check(got, measure, queries, candidates, kw):
    """queries and candidates: a str, or lists with None for the nulls."""
    n = len(queries) if isinstance(queries, list) else len(candidates)
    q = queries if isinstance(queries, list) else [queries] * n
    c = candidates if isinstance(candidates, list) else [candidates] * n
    null = [a is None or b is None for a, b in zip(q, c)]
    if any(null):
        assert isinstance(got, np.ma.MaskedArray)
        assert got.mask.tolist() == null
    else:
        assert type(got) is np.ndarray
    data = np.ma.getdata(got)
    assert data.dtype == expected_dtype(measure, [t for t in q + c if t is not None])
    want = [None if gone else SCALAR[measure](a, b, **kw) for a, b, gone in zip(q, c, null)]
    assert [None if gone else v for v, gone in zip(data.tolist(), null)] == want
    assert pa.array(got).to_pylist() == want


@MEASURES
@pytest.mark.parametrize("label,make", PRODUCERS, ids=[p[0] for p in PRODUCERS])
def test_null_rows_are_masked_and_the_others_scored(measure, label, make):
    rnd = random.Random(f"{measure} {label}")
    scores = fn(measure, "scores")
    n = 23
    queries, candidates = with_nulls(rnd, n), with_nulls(rnd, n)
    plain = random_texts(rnd, n)
    one = rnd.choice(["kitten", "", "\u0130stanbul"])
    for workers in [1, 2]:
        kw = {"case_insensitive": rnd.choice([None, True])}
        if measure == "jaro_winkler":
            kw["p"] = 0.2
        for q, c in [(one, candidates), (queries, one), (queries, plain), (plain, candidates),
                     (queries, candidates), (one, plain)]:
            given_q = q if isinstance(q, str) else make(q)
            # Two DuckDB relations cannot stream at once on one connection.
            given_c = c if isinstance(c, str) else list(c) if label == "duckdb" and q is not one else make(c)
            check(scores(given_q, given_c, workers=workers, **kw), measure, q, c, kw)


def test_a_long_column_is_read_in_parts_without_reading_its_null_slots():
    # Null slots hold invalid UTF-8, which a reading of them would report.
    rnd = random.Random("long")
    words = [rnd.choice(["jon", "j\u00f6hn", "a text longer than a view", "", None]) for _ in range(150_000)]
    raw = [b"\xff\xfe" if w is None else w.encode() for w in words]
    valid = pa.array([w is not None for w in words]).buffers()[1]
    listed = qmm.levenshtein_scores("john", words)
    assert listed.mask.tolist() == [w is None for w in words]
    for binary, strings in [(pa.binary(), pa.string()), (pa.large_binary(), pa.large_string()),
                            (pa.binary_view(), pa.string_view())]:
        column = pa.Array.from_buffers(strings, len(words), [valid, *pa.array(raw, binary).buffers()[1:]])
        for workers in [1, 2]:
            got = qmm.levenshtein_scores("john", column, workers=workers)
            assert got.mask.tolist() == listed.mask.tolist()
            assert got.data.tobytes() == listed.data.tobytes()


def test_a_column_of_the_null_type_is_null_rows():
    columns = [pa.nulls(3), pa.chunked_array([pa.nulls(1), pa.nulls(2)]), pa.table({"n": pa.nulls(3)})]
    try:
        import polars as pl
        columns.append(pl.Series("n", [None] * 3))
    except ImportError:
        pass
    for column in columns:
        got = qmm.levenshtein_scores("ab", column)
        assert got.mask.tolist() == [True] * 3 and got.dtype == np.uint8
        assert qmm.jaro_winkler_scores(column, ["a", "b", "c"]).mask.all()
        with pytest.raises(TypeError, match="has Arrow format 'n', which is not text"):
            qmm.levenshtein_matrix(column)


def test_the_other_functions_still_refuse_nulls():
    for column, exception in [(["a", None], TypeError), (pa.array(["a", None]), ValueError)]:
        for call in [lambda: qmm.levenshtein_matrix(column, ["a"]),
                     lambda: qmm.damerau_top(["a"], column, 1),
                     lambda: qmm.jaro_winkler_pairs(column, score_cutoff=0.5),
                     lambda: qmm.Index(column, "levenshtein", 1)]:
            with pytest.raises(exception):
                call()
    for other in [1, b"a", float("inf")]:  # not missing, not text
        with pytest.raises(TypeError):
            qmm.levenshtein_scores("a", ["a", other])


def test_without_numpy_nulls_raise_as_elsewhere():
    child = run_child('''
        import sys
        sys.modules["numpy"] = None
        import quillmatch_many as qmm
        try:
            qmm.levenshtein_scores("a", ["b", None])
        except TypeError as e:
            print(e)
    ''')
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.strip() == "'None' is not an instance of 'str'"
