"""The `qm` Series accessor of pandas, registered by importing this module.

    import pandas as pd
    import quillmatch_many.pandas  # noqa: F401

    df["d"] = df["a"].qm.damerau(df["b"])
    df["jw"] = df["a"].qm.jaro_winkler("jon smith", case_insensitive=True)

`series.qm.<measure>(other, ...)` scores the Series' strings row by row with
`other`: another Series (aligned on the index: a label missing from it is a
null row), a str (every row against it), or a list or array of the Series'
length (by position). It is the extension's <measure>_scores, which reads an
Arrow-backed Series in place. The result is a Series on the same index with
the same name: distances are pandas' nullable UInt32 (a null row is NA),
similarities (Jaro-Winkler, normalized=True) float64 (a null row is NaN).
"""

from typing import Any, Optional

import pandas as pd

from quillmatch_many._columns import Measure, Methods, split

__all__ = ["QuillmatchAccessor"]


def _score(measure: Measure, series: pd.Series, other: Any, case_insensitive: bool,
           p: Optional[float], workers: Optional[int]) -> pd.Series:
    import numpy

    if isinstance(other, pd.Series) and not other.index.equals(series.index):
        other = other.reindex(series.index)
    values, mask = split(measure(series, other, case_insensitive, p=p, workers=workers))
    if measure.is_distance:
        values = numpy.asarray(values, dtype=numpy.uint32)
        data: Any = pd.arrays.IntegerArray(
            values, mask if mask is not None else numpy.zeros(len(values), dtype=bool))
    else:
        data = numpy.asarray(values, dtype=numpy.float64)
        if mask is not None:
            data = data.copy()  # the scores' own buffer is not the caller's to change
            data[mask] = numpy.nan
    return pd.Series(data, index=series.index, name=series.name, copy=False)


@pd.api.extensions.register_series_accessor("qm")
class QuillmatchAccessor(Methods[pd.Series]):
    """quillmatch's row-by-row measures on a Series of strings: `df["a"].qm.levenshtein(...)`."""

    def __init__(self, series: pd.Series) -> None:
        self._series = series

    def _score(self, measure: Measure, other: Any, case_insensitive: bool, p: Optional[float],
               workers: Optional[int]) -> pd.Series:
        return _score(measure, self._series, other, case_insensitive, p, workers)
