# Type information for the quillmatch_many extension module, shipped as its stub-only package.
#
# Results are numpy arrays when numpy can be imported, with no Python object
# per entry; without numpy they are flat memoryviews of the same bytes (rows
# one after another). Distances are the narrowest of uint8, uint16, uint32,
# uint64 that holds the UTF-8 byte length of the longest text; similarities
# are float64; indices and counts are int64.
from typing import Any, Optional, Sequence, Tuple, Union, overload

__all__ = [
    "levenshtein_matrix",
    "damerau_matrix",
    "jaro_winkler_matrix",
    "levenshtein_top",
    "damerau_top",
    "jaro_winkler_top",
    "levenshtein_pairs",
    "damerau_pairs",
    "jaro_winkler_pairs",
]

__version__: str

# Any sequence of str; numpy arrays of str and pandas Series are taken in
# through their tolist().
_Texts = Union[Sequence[str], Any]
_Array = Any  # numpy.ndarray, or memoryview without numpy

# Row i is query i, column j candidate j; without candidates, the queries
# against themselves.
def levenshtein_matrix(
    queries: _Texts,
    candidates: Optional[_Texts] = None,
    case_insensitive: Optional[bool] = None,
    workers: Optional[int] = None,
) -> _Array: ...
def damerau_matrix(
    queries: _Texts,
    candidates: Optional[_Texts] = None,
    case_insensitive: Optional[bool] = None,
    workers: Optional[int] = None,
) -> _Array: ...
def jaro_winkler_matrix(
    queries: _Texts,
    candidates: Optional[_Texts] = None,
    case_insensitive: Optional[bool] = None,
    p: Optional[float] = None,
    workers: Optional[int] = None,
) -> _Array: ...

# (indices, scores, counts): indices and scores of shape (len(queries),
# min(k, len(candidates))), row i best first, ties in candidate order;
# counts[i] entries of row i are real, the rest index -1 and score 0.
def levenshtein_top(
    queries: _Texts,
    candidates: _Texts,
    k: int,
    score_cutoff: Optional[int] = None,
    case_insensitive: Optional[bool] = None,
    workers: Optional[int] = None,
) -> Tuple[_Array, _Array, _Array]: ...
def damerau_top(
    queries: _Texts,
    candidates: _Texts,
    k: int,
    score_cutoff: Optional[int] = None,
    case_insensitive: Optional[bool] = None,
    workers: Optional[int] = None,
) -> Tuple[_Array, _Array, _Array]: ...
def jaro_winkler_top(
    queries: _Texts,
    candidates: _Texts,
    k: int,
    score_cutoff: Optional[float] = None,
    case_insensitive: Optional[bool] = None,
    p: Optional[float] = None,
    workers: Optional[int] = None,
) -> Tuple[_Array, _Array, _Array]: ...

# (query indices, candidate indices, scores) of every pair within
# score_cutoff (required), in (query, candidate) order; without candidates,
# pairs i < j of the queries.
@overload
def levenshtein_pairs(
    queries: _Texts,
    candidates: Optional[_Texts],
    score_cutoff: int,
    case_insensitive: Optional[bool] = None,
    workers: Optional[int] = None,
) -> Tuple[_Array, _Array, _Array]: ...
@overload
def levenshtein_pairs(
    queries: _Texts,
    *,
    score_cutoff: int,
    case_insensitive: Optional[bool] = None,
    workers: Optional[int] = None,
) -> Tuple[_Array, _Array, _Array]: ...
@overload
def damerau_pairs(
    queries: _Texts,
    candidates: Optional[_Texts],
    score_cutoff: int,
    case_insensitive: Optional[bool] = None,
    workers: Optional[int] = None,
) -> Tuple[_Array, _Array, _Array]: ...
@overload
def damerau_pairs(
    queries: _Texts,
    *,
    score_cutoff: int,
    case_insensitive: Optional[bool] = None,
    workers: Optional[int] = None,
) -> Tuple[_Array, _Array, _Array]: ...
@overload
def jaro_winkler_pairs(
    queries: _Texts,
    candidates: Optional[_Texts],
    score_cutoff: float,
    case_insensitive: Optional[bool] = None,
    p: Optional[float] = None,
    workers: Optional[int] = None,
) -> Tuple[_Array, _Array, _Array]: ...
@overload
def jaro_winkler_pairs(
    queries: _Texts,
    *,
    score_cutoff: float,
    case_insensitive: Optional[bool] = None,
    p: Optional[float] = None,
    workers: Optional[int] = None,
) -> Tuple[_Array, _Array, _Array]: ...
