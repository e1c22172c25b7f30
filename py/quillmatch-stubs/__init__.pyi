# Type information for the quillmatch extension module, shipped as its stub-only package.
from typing import List, Optional, Sequence

__all__ = [
    "levenshtein_bp",
    "damerau_bp",
    "jaro_winkler_similarity",
    "levenshtein_batch",
    "damerau_batch",
    "jaro_winkler_batch",
    "_ingest_owned",
    "_ingest_borrow",
    "_ingest_borrow_and_deref",
]

__version__: str
# The vector back end this module runs: "avx2", "portable" or "neon", chosen when
# it was imported (the x86-64 wheel carries avx2 and portable).
simd: str

def levenshtein_bp(
    str_1: str,
    str_2: str,
    max_len: Optional[int] = None,
    case_insensitive: Optional[bool] = None,
    score_cutoff: Optional[int] = None,
) -> int: ...
def damerau_bp(
    str_1: str,
    str_2: str,
    max_len: Optional[int] = None,
    case_insensitive: Optional[bool] = None,
    score_cutoff: Optional[int] = None,
) -> int: ...
def jaro_winkler_similarity(
    str_1: str,
    str_2: str,
    p: Optional[float] = None,
    max_len: Optional[int] = None,
    case_insensitive: Optional[bool] = None,
    score_cutoff: Optional[float] = None,
) -> float: ...
def levenshtein_batch(
    query: str, candidates: Sequence[str], case_insensitive: Optional[bool] = None
) -> List[int]: ...
def damerau_batch(
    query: str, candidates: Sequence[str], case_insensitive: Optional[bool] = None
) -> List[int]: ...
def jaro_winkler_batch(
    query: str,
    candidates: Sequence[str],
    p: Optional[float] = None,
    case_insensitive: Optional[bool] = None,
) -> List[float]: ...
def _ingest_owned(candidates: Sequence[str]) -> int: ...
def _ingest_borrow(candidates: Sequence[str]) -> int: ...
def _ingest_borrow_and_deref(candidates: Sequence[str]) -> int: ...
