"""Checked by mypy --strict and basedpyright, never run: the calls that type-check
are asserted with assert_type, and each misuse carries an ignore comment that the
checkers must find needed (unused ignores are errors in both). A stub the
checkers cannot see turns every result into Any and fails them."""
from typing import List

from typing_extensions import assert_type

import quillmatch as qm

names = ["Jonathan Smith", "Jon Smyth"]

assert_type(qm.levenshtein_bp("flaw", "lawn"), int)
assert_type(qm.damerau_bp("ab", "ba", max_len=None, case_insensitive=True, score_cutoff=3), int)
assert_type(qm.jaro_winkler_similarity("MARTHA", "MARHTA", p=0.1, score_cutoff=0.8), float)
assert_type(qm.levenshtein_batch("jon", names), List[int])
assert_type(qm.damerau_batch("jon", ("a", "b"), case_insensitive=None), List[int])
assert_type(qm.jaro_winkler_batch("jon", names, p=0.2), List[float])

# A distance is an int, not a str.
label: str = qm.levenshtein_bp("a", "b")  # type: ignore[assignment]
# A batch returns a list: it is no float.
best: float = qm.jaro_winkler_batch("a", names)  # type: ignore[assignment]
scaled = qm.levenshtein_batch("a", names) / 2  # type: ignore[operator]
# Texts are str: bytes are refused.
qm.levenshtein_bp(b"a", "b")  # type: ignore[arg-type]
# The candidates are a sequence of str, not one str or an iterator.
qm.damerau_batch("a", [1, 2])  # type: ignore[list-item]
qm.levenshtein_batch("a", iter(names))  # type: ignore[arg-type]
# Keyword names are part of the signature.
qm.levenshtein_bp("a", "b", cutoff=1)  # type: ignore[call-arg]
# The cut-off of a distance is an int.
qm.damerau_bp("a", "b", score_cutoff=0.5)  # type: ignore[arg-type]

import quillmatch_many as qmm

indices, scores, counts = qmm.levenshtein_top(names, names, 2, score_cutoff=3)
query_index, candidate_index, distance = qmm.damerau_pairs(names, score_cutoff=1)
qmm.jaro_winkler_matrix(names, p=0.2, workers=2)
qmm.jaro_winkler_pairs(names, names, 0.9, case_insensitive=True)
# The prefix scale belongs to the similarity alone.
qmm.levenshtein_matrix(names, p=0.1)  # type: ignore[call-arg]
# The best k need a k.
qmm.damerau_top(names, names)  # type: ignore[call-overload]
# A distance's cut-off is an int; a normalized one is a similarity.
qmm.levenshtein_top(names, names, 2, score_cutoff=0.5)  # type: ignore[call-overload]
qmm.levenshtein_top(names, names, 2, score_cutoff=0.5, normalized=True)
qmm.damerau_pairs(names, score_cutoff=0.85, normalized=True)
qmm.levenshtein_pairs(names, names, 0.9, workers=2, normalized=True)
qmm.Index(names, "damerau", 0.85, normalized=True).top(names, 5)
column = qmm.jaro_winkler_scores("jon", names, case_insensitive=True, p=0.2)
# Either side is a str or a column: two columns are scored row by row.
rows = qmm.damerau_scores(names, names, case_insensitive=True)
qmm.jaro_winkler_scores(names, "jon", p=0.2, workers=2)
# A missing text (None, NaN) is a null row, masked in the result.
masked = qmm.levenshtein_scores("jon", ["jon", None, float("nan")])
# The prefix scale belongs to the similarity alone, here too.
qmm.levenshtein_scores(names, "jon", p=0.1)  # type: ignore[call-arg]
groups = qmm.clusters(query_index, candidate_index, len(names))
qmm.clusters([0, 1], (1, 2), n=3)
# The node count is an int.
qmm.clusters([0], [1], "2")  # type: ignore[arg-type]
labels = qmm.damerau_clusters(names, 1, case_insensitive=True, workers=2)
qmm.jaro_winkler_clusters(names, 0.9, p=0.2)
# The cutoff is required, and a distance's is an int.
qmm.levenshtein_clusters(names)  # type: ignore[call-overload]
qmm.levenshtein_clusters(names, 0.5)  # type: ignore[call-overload]
qmm.damerau_clusters(names, 0.85, normalized=True, workers=2)
key_rows = qmm.key_rows(names, "damerau", 2, case_insensitive=True)
qmm.bucket_pairs(key_rows, names, "damerau", 2, case_insensitive=True)
qmm.key_rows(names, "levenshtein", 1, [7, 8], key_bits=4, longest=40)
# An exact keyed scheme exists for the edit distances only.
qmm.key_rows(names, "jaro_winkler", 1)  # type: ignore[call-overload]
qmm.key_rows(names, "levenshtein", 0.85, longest=40, normalized=True)
# A normalized cutoff probes every partner length up to the longest text's: it needs it.
qmm.key_rows(names, "levenshtein", 0.85, normalized=True)  # type: ignore[call-overload]
