"""The `qm` expression namespace of polars, registered by importing this module.

    import polars as pl
    import quillmatch_many.polars  # noqa: F401

    df.with_columns(d=pl.col("a").qm.damerau(pl.col("b")),
                    jw=pl.col("a").qm.jaro_winkler("jon smith", case_insensitive=True))

`expr.qm.<measure>(other, ...)` scores the expression's strings row by row
with `other`: another expression of the same length, a str (every row against
it), or a polars Series. It is the extension's <measure>_scores over the two
columns, read in place through Arrow, so no Python object is made per row.
Distances are UInt32, similarities (Jaro-Winkler, normalized=True) Float64,
declared before the frame runs so a lazy frame's schema is known; a null on
either side gives null. The result keeps the name of the left expression, as
polars' own binary expressions do.
"""

from typing import Any, Optional

import polars as pl

from quillmatch_many._columns import Measure, Methods

__all__ = ["QuillmatchExpr"]


def _series(result: Any, is_distance: bool, name: str) -> pl.Series:
    import numpy

    # polars reads a masked array's mask as its nulls.
    return pl.Series(name, result.astype(numpy.uint32 if is_distance else numpy.float64, copy=False))


def _text(column: Any, rows: int) -> Any:
    # A column of one row against a longer one is a broadcast value (what a
    # pl.lit gives): its text, or a column of nulls when it is null.
    if isinstance(column, pl.Series) and len(column) == 1 and rows != 1:
        value = column[0]
        return value if value is not None else pl.repeat(None, rows, dtype=pl.String, eager=True)
    return column


def _score(measure: Measure, left: pl.Expr, other: Any, case_insensitive: bool,
           p: Optional[float], workers: Optional[int]) -> pl.Expr:
    dtype = pl.UInt32 if measure.is_distance else pl.Float64

    def run(columns: Any) -> pl.Series:
        a, b = columns if isinstance(columns, list) else (columns, other)
        rows = max(len(a), len(b) if isinstance(b, pl.Series) else 1)
        result = measure(_text(a, rows), _text(b, rows), case_insensitive, p=p, workers=workers)
        return _series(result, measure.is_distance, a.name)

    # Row by row, so elementwise: polars may then hand the rows over in
    # batches, and two literals give a literal that broadcasts.
    if isinstance(other, str):
        return left.map_batches(run, return_dtype=dtype, is_elementwise=True)
    if isinstance(other, pl.Series):
        other = pl.lit(other)
    return pl.map_batches([left, other], run, return_dtype=dtype, is_elementwise=True)


@pl.api.register_expr_namespace("qm")
class QuillmatchExpr(Methods[pl.Expr]):
    """quillmatch's row-by-row measures on a polars expression: `pl.col("a").qm.levenshtein(...)`."""

    def __init__(self, expr: pl.Expr) -> None:
        self._expr = expr

    def _score(self, measure: Measure, other: Any, case_insensitive: bool, p: Optional[float],
               workers: Optional[int]) -> pl.Expr:
        return _score(measure, self._expr, other, case_insensitive, p, workers)
