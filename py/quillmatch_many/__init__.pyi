# Type information for the quillmatch_many package (the extension _quillmatch_many, whose names it re-exports).
#
# Results are numpy arrays when numpy can be imported, with no Python object
# per entry; without numpy they are flat memoryviews of the same bytes (rows
# one after another). Distances are the narrowest of uint8, uint16, uint32,
# uint64 that holds the UTF-8 byte length of the longest text; similarities
# are float64, as are the normalized edit distances of normalized=True
# (1 - d / max(m, n), whose cutoff is a similarity in [0, 1], so a float);
# indices and counts are int64.
from typing import Any, Literal, Optional, Protocol, Sequence, Tuple, Union, final, overload

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
    "levenshtein_scores",
    "damerau_scores",
    "jaro_winkler_scores",
    "clusters",
    "levenshtein_clusters",
    "damerau_clusters",
    "jaro_winkler_clusters",
    "key_rows",
    "bucket_pairs",
    "Index",
]

__version__: str
# The vector back end this module runs: "avx2", "portable" or "neon", chosen when
# it was imported (the x86-64 wheel carries avx2 and portable).
simd: str

# Any sequence of str; numpy arrays of str and pandas Series are taken in
# through their tolist(). Any object exporting the Arrow PyCapsule interface
# (__arrow_c_array__ or __arrow_c_stream__: pyarrow arrays and tables, polars
# Series and DataFrames, pandas Series of Arrow-backed strings, DuckDB
# relations) is read in place: strings, large strings, string views or a
# dictionary of them, or a table of one such column. A null is a ValueError,
# and None a TypeError, except in the scores functions.
_Texts = Union[Sequence[str], Any]
_Array = Any  # numpy.ndarray, or memoryview without numpy
# The scores functions' texts: a null of a column, and None, NaN or
# pandas.NA in a list, are null rows.
_NullableTexts = Union[Sequence[Optional[str]], Any]
# numpy.ndarray, or numpy.ma.MaskedArray masking the null rows when there are
# any; memoryview without numpy (nulls then raise).
_Scores = Any
# Node indices: an integer numpy array (of any integer dtype; one-dimensional,
# contiguous and in native byte order is read in place), what the pairs
# functions return, or any sequence of int.
_Indices = Union[Sequence[int], Any]

# The Levenshtein and OSA functions share their signatures: one callable type
# per kind, below, which levenshtein_* and damerau_* both have. A float cutoff
# goes with normalized=True, given by keyword.
class _EditMatrix(Protocol):
    def __call__(
        self,
        queries: _Texts,
        candidates: Optional[_Texts] = None,
        case_insensitive: Optional[bool] = None,
        workers: Optional[int] = None,
        normalized: Optional[bool] = None,
    ) -> _Array: ...

class _EditTop(Protocol):
    @overload
    def __call__(
        self,
        queries: _Texts,
        candidates: _Texts,
        k: int,
        score_cutoff: Optional[int] = None,
        case_insensitive: Optional[bool] = None,
        workers: Optional[int] = None,
        normalized: Optional[Literal[False]] = None,
    ) -> Tuple[_Array, _Array, _Array]: ...
    @overload
    def __call__(
        self,
        queries: _Texts,
        candidates: _Texts,
        k: int,
        score_cutoff: Optional[float] = None,
        case_insensitive: Optional[bool] = None,
        workers: Optional[int] = None,
        *,
        normalized: Literal[True],
    ) -> Tuple[_Array, _Array, _Array]: ...

class _EditPairs(Protocol):
    @overload
    def __call__(
        self,
        queries: _Texts,
        candidates: Optional[_Texts],
        score_cutoff: int,
        case_insensitive: Optional[bool] = None,
        workers: Optional[int] = None,
        normalized: Optional[Literal[False]] = None,
    ) -> Tuple[_Array, _Array, _Array]: ...
    @overload
    def __call__(
        self,
        queries: _Texts,
        *,
        score_cutoff: int,
        case_insensitive: Optional[bool] = None,
        workers: Optional[int] = None,
        normalized: Optional[Literal[False]] = None,
    ) -> Tuple[_Array, _Array, _Array]: ...
    @overload
    def __call__(
        self,
        queries: _Texts,
        candidates: Optional[_Texts],
        score_cutoff: float,
        case_insensitive: Optional[bool] = None,
        workers: Optional[int] = None,
        *,
        normalized: Literal[True],
    ) -> Tuple[_Array, _Array, _Array]: ...
    @overload
    def __call__(
        self,
        queries: _Texts,
        *,
        score_cutoff: float,
        case_insensitive: Optional[bool] = None,
        workers: Optional[int] = None,
        normalized: Literal[True],
    ) -> Tuple[_Array, _Array, _Array]: ...

class _EditScores(Protocol):
    def __call__(
        self,
        query: Union[str, _NullableTexts],
        candidates: Union[str, _NullableTexts],
        case_insensitive: Optional[bool] = None,
        workers: Optional[int] = None,
        normalized: Optional[bool] = None,
    ) -> _Scores: ...

# Row i is query i, column j candidate j; without candidates, the queries
# against themselves.
levenshtein_matrix: _EditMatrix
damerau_matrix: _EditMatrix
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
levenshtein_top: _EditTop
damerau_top: _EditTop
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
levenshtein_pairs: _EditPairs
damerau_pairs: _EditPairs
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

# Row by row, of the dtype the matrices use: a str against a column (entry j
# scores candidates[j]), a column against a str (entry i scores query[i]), or
# two columns of equal length (entry i scores query[i] with candidates[i]).
# A row null on either side is masked.
levenshtein_scores: _EditScores
damerau_scores: _EditScores
def jaro_winkler_scores(
    query: Union[str, _NullableTexts],
    candidates: Union[str, _NullableTexts],
    case_insensitive: Optional[bool] = None,
    p: Optional[float] = None,
    workers: Optional[int] = None,
) -> _Scores: ...

# The connected components of the graph on nodes 0 .. n-1 with edges
# (i[k], j[k]) (single linkage): an int64 array, entry v the smallest node of
# v's component.
def clusters(i: _Indices, j: _Indices, n: int) -> _Array: ...

# The clusters of the texts' self join: exactly
# clusters(*{measure}_pairs(texts, score_cutoff=score_cutoff, ...)[:2], len(texts)),
# an int64 array, found without holding the pairs.
class _EditClusters(Protocol):
    @overload
    def __call__(
        self,
        texts: _Texts,
        score_cutoff: int,
        case_insensitive: Optional[bool] = None,
        normalized: Optional[Literal[False]] = None,
        workers: Optional[int] = None,
    ) -> _Array: ...
    @overload
    def __call__(
        self,
        texts: _Texts,
        score_cutoff: float,
        case_insensitive: Optional[bool] = None,
        *,
        normalized: Literal[True],
        workers: Optional[int] = None,
    ) -> _Array: ...

levenshtein_clusters: _EditClusters
damerau_clusters: _EditClusters
def jaro_winkler_clusters(
    texts: _Texts,
    score_cutoff: float,
    case_insensitive: Optional[bool] = None,
    p: Optional[float] = None,
    workers: Optional[int] = None,
) -> _Array: ...

# The keyed self join, for a cluster's shuffle (quillmatch_many.dask runs it):
# key_rows gives (keys uint64, ids int64, roles int8: 0 index, 1 probe) per
# text; bucket_pairs gives (left ids, right ids, scores: int64, int64, and
# uint64 distances or, normalized, float64 similarities) of the pairs found in
# one group of those rows, texts[k] the text of row k, each pair once over
# groups in which each meeting of a key's index and probe rows happens once
# (quillmatch_many._keyed splits a hot key into cells, each scored alone).
# Both take the rows' measure, cutoff and options alike; a float cutoff goes
# with normalized=True and longest, given by keyword.
class _KeyRows(Protocol):
    @overload
    def __call__(
        self,
        texts: _Texts,
        measure: Literal["levenshtein", "damerau"],
        score_cutoff: int,
        ids: Optional[_Indices] = None,
        case_insensitive: Optional[bool] = None,
        key_bits: Optional[int] = None,
        longest: Optional[int] = None,
        normalized: Optional[Literal[False]] = None,
    ) -> Tuple[_Array, _Array, _Array]: ...
    @overload
    def __call__(
        self,
        texts: _Texts,
        measure: Literal["levenshtein", "damerau"],
        score_cutoff: float,
        ids: Optional[_Indices] = None,
        case_insensitive: Optional[bool] = None,
        key_bits: Optional[int] = None,
        *,
        longest: int,
        normalized: Literal[True],
    ) -> Tuple[_Array, _Array, _Array]: ...

key_rows: _KeyRows
# Rows are scored with the arguments they were made with, which key_rows checked.
def bucket_pairs(
    rows: Tuple[_Indices, _Indices, _Indices],
    texts: _Texts,
    measure: Literal["levenshtein", "damerau"],
    score_cutoff: float,
    case_insensitive: Optional[bool] = None,
    key_bits: Optional[int] = None,
    longest: Optional[int] = None,
    normalized: Optional[bool] = None,
) -> Tuple[_Array, _Array, _Array]: ...

# The candidates prepared once for searches within score_cutoff: top and pairs
# return exactly what the module's top and pairs functions return for the
# same arguments, with any cutoff at least as tight as the index's.
@final
class Index:
    def __new__(
        cls,
        candidates: _Texts,
        measure: Literal["levenshtein", "damerau", "jaro_winkler"],
        score_cutoff: float,
        case_insensitive: Optional[bool] = None,
        p: Optional[float] = None,
        workers: Optional[int] = None,
        normalized: Optional[bool] = None,
    ) -> "Index": ...
    def __len__(self) -> int: ...
    def top(
        self,
        queries: _Texts,
        k: int,
        score_cutoff: Optional[float] = None,
        workers: Optional[int] = None,
    ) -> Tuple[_Array, _Array, _Array]: ...
    def pairs(
        self,
        queries: Optional[_Texts] = None,
        score_cutoff: Optional[float] = None,
        workers: Optional[int] = None,
    ) -> Tuple[_Array, _Array, _Array]: ...
