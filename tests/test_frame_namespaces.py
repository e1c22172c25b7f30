"""The polars expression namespace and the pandas Series accessor `qm`: the same scores as the
row-by-row functions, in the host's own column types, with nulls and the index kept."""

import numpy as np
import pytest

import quillmatch_many as qmm

try:
    import polars as pl
except ImportError:
    pl = None
try:
    import pandas as pd
except ImportError:
    pd = None

A = ["Jon Smith", None, "Anne M\u00fcller", "", "MARTHA", "\u0130stanbul"]
B = ["John Smyth", "Jane Doe", None, "", "marhta", "istanbul"]
# (method, keywords, scores function, keywords of the scores function, is a distance)
METHODS = [
    ("levenshtein", {}, qmm.levenshtein_scores, {}, True),
    ("damerau", {"case_insensitive": True}, qmm.damerau_scores, {"case_insensitive": True}, True),
    ("levenshtein", {"normalized": True}, qmm.levenshtein_scores, {"normalized": True}, False),
    ("damerau", {"normalized": True, "case_insensitive": True}, qmm.damerau_scores,
     {"normalized": True, "case_insensitive": True}, False),
    ("jaro_winkler", {}, qmm.jaro_winkler_scores, {}, False),
    ("jaro_winkler", {"p": 0.2, "case_insensitive": True}, qmm.jaro_winkler_scores,
     {"p": 0.2, "case_insensitive": True}, False),
]


def eager(fn, a, b, kwargs):
    """The row-by-row function's scores as a list, None for a masked row."""
    result = fn(a, b, **kwargs)
    return np.ma.masked_array(result).tolist(fill_value=None) if np.ma.isMaskedArray(result) else result.tolist()


@pytest.mark.skipif(pl is None, reason="polars is not installed")
class TestPolars:
    @pytest.fixture(autouse=True)
    def namespace(self):
        import quillmatch_many.polars  # noqa: F401

    def frame(self):
        return pl.DataFrame({"a": A, "b": B}, schema={"a": pl.String, "b": pl.String})

    @pytest.mark.parametrize("method, kwargs, fn, fn_kwargs, is_distance", METHODS)
    def test_eager_and_lazy_equal_the_scores_with_declared_types(self, method, kwargs, fn, fn_kwargs,
                                                                   is_distance):
        dtype = pl.UInt32 if is_distance else pl.Float64
        exprs = {
            "columns": getattr(pl.col("a").qm, method)(pl.col("b"), **kwargs),
            "text": getattr(pl.col("a").qm, method)("Jon Smith", **kwargs),
            "literal": getattr(pl.lit("Jon Smith").qm, method)(pl.col("b"), **kwargs),
            "series": getattr(pl.col("a").qm, method)(pl.Series(B), **kwargs),
        }
        want = {"columns": eager(fn, A, B, fn_kwargs), "text": eager(fn, A, "Jon Smith", fn_kwargs),
                "literal": eager(fn, "Jon Smith", B, fn_kwargs), "series": eager(fn, A, B, fn_kwargs)}
        lazy = self.frame().lazy().select(**exprs)
        # The schema is known before anything runs.
        assert dict(lazy.collect_schema()) == {name: dtype for name in exprs}
        # The streaming engine may hand the function the rows in batches.
        for df in (lazy.collect(), lazy.collect(engine="streaming"), self.frame().select(**exprs)):
            assert df.schema == {name: dtype for name in exprs}
            assert {name: df[name].to_list() for name in exprs} == want

    def test_with_columns_filter_and_the_output_name(self):
        df = self.frame().with_columns(d=pl.col("a").qm.levenshtein(pl.col("b")),
                                       same=pl.col("a").qm.damerau(pl.col("b"), case_insensitive=True) == 0)
        assert df["d"].to_list() == [2, None, None, 0, 6, 1] and df["same"].to_list()[3:] == [True, False, False]
        kept = self.frame().lazy().filter(pl.col("a").qm.jaro_winkler(pl.col("b"), case_insensitive=True) > 0.9)
        assert kept.collect()["a"].to_list() == ["Jon Smith", "", "MARTHA", "\u0130stanbul"]
        assert self.frame().select(pl.col("a").qm.damerau("x")).columns == ["a"]

    def test_literals_broadcast_a_null_literal_and_one_row(self):
        df = self.frame().select(d=pl.col("a").qm.levenshtein(pl.lit(None, pl.String)))
        assert df["d"].to_list() == [None] * len(A)
        # Two literals score once and broadcast, as polars' own expressions do.
        df = self.frame().with_columns(d=pl.lit("abc").qm.levenshtein(pl.lit("abd")),
                                       t=pl.lit("ab").qm.damerau("ba"))
        assert df["d"].to_list() == df["t"].to_list() == [1] * len(A)
        assert pl.DataFrame({"a": ["ab"]}).select(pl.col("a").qm.damerau("ba"))["a"].to_list() == [1]


@pytest.mark.skipif(pd is None, reason="pandas is not installed")
class TestPandas:
    @pytest.fixture(autouse=True)
    def accessor(self):
        import quillmatch_many.pandas  # noqa: F401

    @pytest.mark.parametrize("dtype", [None, object, "string"])
    @pytest.mark.parametrize("method, kwargs, fn, fn_kwargs, is_distance", METHODS)
    def test_equal_the_scores_on_the_same_index(self, dtype, method, kwargs, fn, fn_kwargs, is_distance):
        index = pd.Index([10, 3, 7, 1, 5, 2], name="row")
        a, b = pd.Series(A, index=index, name="a", dtype=dtype), pd.Series(B, index=index, dtype=dtype)
        for other, want in ((b, eager(fn, A, B, fn_kwargs)), ("Jon Smith", eager(fn, A, "Jon Smith", fn_kwargs)),
                            (B, eager(fn, A, B, fn_kwargs))):
            got = getattr(a.qm, method)(other, **kwargs)
            assert got.index.equals(index) and got.name == "a"
            if is_distance:
                assert got.dtype == pd.UInt32Dtype()
                assert [None if v is pd.NA else v for v in got.tolist()] == want
            else:
                assert got.dtype == np.float64
                assert [None if np.isnan(v) else v for v in got.tolist()] == want

    def test_another_series_is_aligned_on_the_index(self):
        a = pd.Series(["ab", "cd", "ef"], index=["x", "y", "z"])
        b = pd.Series(["ef", "ab"], index=["z", "x"])  # no "y": a null row
        got = a.qm.levenshtein(b)
        assert got.tolist() == [0, pd.NA, 0] and got.index.tolist() == ["x", "y", "z"]
        assert a.qm.jaro_winkler(b).isna().tolist() == [False, True, False]

    def test_arrow_backed_strings(self):
        pytest.importorskip("pyarrow")
        a = pd.Series(A, dtype="string[pyarrow]")
        assert a.qm.damerau(pd.Series(B, dtype="string[pyarrow]")).tolist()[3:] == [0, 6, 1]
