"""What the DuckDB functions, the polars namespace and the pandas accessor share.

Each publishes the extension's row-by-row scores under the names of MEASURES,
so the three agree on what a name scores: an entry is the scores function and
the keywords it is called with. A result is split into its values and its null
mask (the scores functions return a numpy.ma.MaskedArray when a row has a null
and a plain array otherwise), which each host turns into its own column
without a Python object per row.
"""

from typing import Any, Callable, Dict, Generic, NamedTuple, Optional, Tuple, TypeVar

# The package has re-exported them by the time a submodule is imported.
from quillmatch_many import damerau_scores, jaro_winkler_scores, levenshtein_scores


class Measure(NamedTuple):
    scores: Callable[..., Any]
    # An edit distance scored as the similarity 1 - d / max(m, n).
    normalized: bool

    @property
    def is_distance(self) -> bool:
        """True for the integer edit distances, False for the similarities in [0, 1]."""
        return self.scores is not jaro_winkler_scores and not self.normalized

    def __call__(self, a: Any, b: Any, case_insensitive: bool, p: Optional[float] = None,
                 workers: Optional[int] = None) -> Any:
        kwargs: Dict[str, Any] = {"case_insensitive": case_insensitive, "workers": workers}
        if self.scores is jaro_winkler_scores:
            kwargs["p"] = p
        elif self.normalized:
            kwargs["normalized"] = True
        return self.scores(a, b, **kwargs)


MEASURES = {
    "levenshtein": Measure(levenshtein_scores, False),
    "damerau": Measure(damerau_scores, False),
    "levenshtein_similarity": Measure(levenshtein_scores, True),
    "damerau_similarity": Measure(damerau_scores, True),
    "jaro_winkler": Measure(jaro_winkler_scores, False),
}


def edit_measure(name: str, normalized: bool) -> Measure:
    """The edit distance `name` ('levenshtein' or 'damerau'), or its similarity when normalized."""
    return MEASURES[name + "_similarity" if normalized else name]


Result = TypeVar("Result")


class Methods(Generic[Result]):
    """The methods of the polars namespace and of the pandas accessor: each scores the host's
    column row by row with `other` through _score, which the host's class defines."""

    def _score(self, measure: Measure, other: Any, case_insensitive: bool, p: Optional[float],
               workers: Optional[int]) -> Result:
        raise NotImplementedError

    def levenshtein(self, other: Any, *, case_insensitive: bool = False, normalized: bool = False,
                    workers: Optional[int] = None) -> Result:
        """Levenshtein distance row by row (unsigned integers), or with normalized=True the
        similarity 1 - d / max(m, n) (floats), as quillmatch_many.levenshtein_scores."""
        return self._score(edit_measure("levenshtein", normalized), other, case_insensitive, None, workers)

    def damerau(self, other: Any, *, case_insensitive: bool = False, normalized: bool = False,
                workers: Optional[int] = None) -> Result:
        """Optimal string alignment distance row by row (unsigned integers), or with
        normalized=True the similarity 1 - d / max(m, n) (floats), as
        quillmatch_many.damerau_scores."""
        return self._score(edit_measure("damerau", normalized), other, case_insensitive, None, workers)

    def jaro_winkler(self, other: Any, *, case_insensitive: bool = False, p: Optional[float] = None,
                     workers: Optional[int] = None) -> Result:
        """Jaro-Winkler similarity row by row (floats) with prefix scale p (0.1 when None), as
        quillmatch_many.jaro_winkler_scores."""
        return self._score(MEASURES["jaro_winkler"], other, case_insensitive, p, workers)


def split(result: Any) -> Tuple[Any, Optional[Any]]:
    """(values, mask) of a scores result: a numpy array, and a boolean array marking the null
    rows or None when no row is null. A masked row's value is that of the empty text."""
    mask = getattr(result, "mask", None)
    if mask is None:
        return result, None
    import numpy  # a masked result means numpy is there

    return result.data, numpy.ma.getmaskarray(result)
