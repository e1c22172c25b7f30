// The matrix, top, pairs and clusters functions of quillmatch_many: their
// signatures, documentation and entry points (the scores functions' are in
// scores.h; module.cpp gives the order of publication).
#pragma once

#include <Python.h>

#include <memory>

#include "common/frame.h"

namespace quillmatch::py {

// Each function's signature, and the documentation help() shows below it. The
// examples are run by tests/test_many.py with quillmatch_many imported as qmm.
// What normalized=True makes of an edit distance's entries ("each entry",
// "entry i") and of its pairs' scores: one text for every function.
#define QUILLMATCH_NORMALIZED_ENTRY(which)                                     \
  "With normalized=True, " which " is instead the normalized similarity\n"    \
  "1 - d / max(m, n) as float64, m and n the texts' lengths in code points\n" \
  "(after folding when case_insensitive); two empty texts score 1.0.\n"
#define QUILLMATCH_NORMALIZED_PAIRS                                              \
  "With normalized=True, scores are instead normalized similarities\n"           \
  "1 - d / max(m, n) as float64 (m and n the texts' lengths in code points,\n"   \
  "after folding when case_insensitive; 1.0 for two empty texts), and\n"         \
  "score_cutoff is a similarity in [0, 1]: similarity >= score_cutoff.\n"

inline constexpr CallSignature kLevenshteinMatrix{
    "levenshtein_matrix", {"queries", "candidates", "case_insensitive", "workers", "normalized"}, 5, 1};
inline constexpr const char* kLevenshteinMatrixDoc =
    "Levenshtein distance of every query to every candidate.\n"
    "\n"
    "Returns the matrix of shape (len(queries), len(candidates)), row i for\n"
    "query i and column j for candidate j; without candidates, the queries\n"
    "against themselves. It is a numpy array of the narrowest unsigned integer\n"
    "type that holds the UTF-8 length of the longest text (without numpy, a\n"
    "flat memoryview of the same bytes). `workers` threads (default: the\n"
    "number of cores) compute it without the interpreter lock.\n"
    "\n"
    QUILLMATCH_NORMALIZED_ENTRY("each entry")
    "\n"
    ">>> qmm.levenshtein_matrix([\"flaw\", \"kitten\"], [\"lawn\", \"sitting\"]).tolist()\n"
    "[[2, 7], [5, 3]]\n";
inline constexpr CallSignature kDamerauMatrix{
    "damerau_matrix", {"queries", "candidates", "case_insensitive", "workers", "normalized"}, 5, 1};
inline constexpr const char* kDamerauMatrixDoc =
    "Optimal string alignment (restricted Damerau) distance of every query to\n"
    "every candidate.\n"
    "\n"
    "Returns the matrix of shape (len(queries), len(candidates)), row i for\n"
    "query i and column j for candidate j; without candidates, the queries\n"
    "against themselves. It is a numpy array of the narrowest unsigned integer\n"
    "type that holds the UTF-8 length of the longest text (without numpy, a\n"
    "flat memoryview of the same bytes). `workers` threads (default: the\n"
    "number of cores) compute it without the interpreter lock.\n"
    "\n"
    QUILLMATCH_NORMALIZED_ENTRY("each entry")
    "\n"
    ">>> qmm.damerau_matrix([\"ab\", \"ca\"], [\"ba\", \"abc\"]).tolist()\n"
    "[[1, 1], [1, 3]]\n";
inline constexpr CallSignature kJaroWinklerMatrix{
    "jaro_winkler_matrix", {"queries", "candidates", "case_insensitive", "p", "workers"}, 5, 1};
inline constexpr const char* kJaroWinklerMatrixDoc =
    "Jaro-Winkler similarity of every query to every candidate, with prefix\n"
    "scale p (default 0.1).\n"
    "\n"
    "Returns the matrix of shape (len(queries), len(candidates)), row i for\n"
    "query i and column j for candidate j; without candidates, the queries\n"
    "against themselves. It is a numpy array of float64 (without numpy, a flat\n"
    "memoryview of the same bytes). `workers` threads (default: the number of\n"
    "cores) compute it without the interpreter lock.\n"
    "\n"
    ">>> qmm.jaro_winkler_matrix([\"MARTHA\"], [\"MARHTA\", \"martha\"], True).tolist()\n"
    "[[0.9611111111111111, 1.0]]\n";
// What normalized=True does to the top lists of an edit distance.
#define QUILLMATCH_NORMALIZED_TOP                                                  \
  "With normalized=True, scores are instead normalized similarities\n"             \
  "1 - d / max(m, n) as float64 (m and n the texts' lengths in code points,\n"     \
  "after folding when case_insensitive; 1.0 for two empty texts), best\n"          \
  "first meaning highest, and score_cutoff is a similarity in [0, 1]:\n"          \
  "similarity >= score_cutoff.\n"                                                  \
  "\n"

inline constexpr CallSignature kLevenshteinTop{
    "levenshtein_top",
    {"queries", "candidates", "k", "score_cutoff", "case_insensitive", "workers", "normalized"},
    7,
    3};
inline constexpr const char* kLevenshteinTopDoc =
    "The k candidates nearest to each query by Levenshtein distance, only\n"
    "those within score_cutoff (distance <= score_cutoff) when it is given.\n"
    "\n"
    "Returns (indices, scores, counts): indices (int64) and distances of shape\n"
    "(len(queries), min(k, len(candidates))), row i best first for query i,\n"
    "ties in candidate order; the first counts[i] entries of row i are real,\n"
    "the rest are index -1 and distance 0.\n"
    "\n"
    QUILLMATCH_NORMALIZED_TOP
    ">>> idx, dist, count = qmm.levenshtein_top(\n"
    "...     [\"ab\", \"zzzz\"], [\"ax\", \"ab\", \"xb\", \"b\"], 3, score_cutoff=1)\n"
    ">>> idx.tolist(), dist.tolist(), count.tolist()\n"
    "([[1, 0, 2], [-1, -1, -1]], [[0, 1, 1], [0, 0, 0]], [3, 0])\n";
inline constexpr CallSignature kDamerauTop{
    "damerau_top", {"queries", "candidates", "k", "score_cutoff", "case_insensitive", "workers", "normalized"}, 7, 3};
inline constexpr const char* kDamerauTopDoc =
    "The k candidates nearest to each query by optimal string alignment\n"
    "(restricted Damerau) distance, only those within score_cutoff (distance\n"
    "<= score_cutoff) when it is given.\n"
    "\n"
    "Returns (indices, scores, counts): indices (int64) and distances of shape\n"
    "(len(queries), min(k, len(candidates))), row i best first for query i,\n"
    "ties in candidate order; the first counts[i] entries of row i are real,\n"
    "the rest are index -1 and distance 0.\n"
    "\n"
    QUILLMATCH_NORMALIZED_TOP
    ">>> idx, dist, count = qmm.damerau_top([\"ab\"], [\"abc\", \"ba\", \"xyz\"], 2)\n"
    ">>> idx.tolist(), dist.tolist(), count.tolist()\n"
    "([[0, 1]], [[1, 1]], [2])\n";
inline constexpr CallSignature kJaroWinklerTop{
    "jaro_winkler_top",
    {"queries", "candidates", "k", "score_cutoff", "case_insensitive", "p", "workers"},
    7,
    3};
inline constexpr const char* kJaroWinklerTopDoc =
    "The k candidates most similar to each query by Jaro-Winkler similarity\n"
    "with prefix scale p (default 0.1), only those within score_cutoff\n"
    "(similarity >= score_cutoff) when it is given.\n"
    "\n"
    "Returns (indices, scores, counts): indices (int64) and similarities\n"
    "(float64) of shape (len(queries), min(k, len(candidates))), row i best\n"
    "first for query i, ties in candidate order; the first counts[i] entries\n"
    "of row i are real, the rest are index -1 and similarity 0.\n"
    "\n"
    ">>> idx, sim, count = qmm.jaro_winkler_top([\"MARTHA\"], [\"MARHTA\", \"x\"], 2, 0.5)\n"
    ">>> idx.tolist(), sim.tolist(), count.tolist()\n"
    "([[0, -1]], [[0.9611111111111111, 0.0]], [1])\n";
// score_cutoff is required; it follows the optional candidates, so the binder
// treats it as optional and the body refuses it absent or None.
inline constexpr CallSignature kLevenshteinPairs{
    "levenshtein_pairs", {"queries", "candidates", "score_cutoff", "case_insensitive", "workers", "normalized"}, 6, 1};
inline constexpr const char* kLevenshteinPairsDoc =
    "Every pair of a query and a candidate whose Levenshtein distance is\n"
    "within score_cutoff (required: distance <= score_cutoff); without\n"
    "candidates, the pairs i < j of the queries.\n"
    "\n"
    "Returns (query_indices, candidate_indices, scores): int64 indices and the\n"
    "distances, one entry per pair, in (query, candidate) order.\n"
    "\n"
    QUILLMATCH_NORMALIZED_PAIRS
    "\n"
    ">>> i, j, d = qmm.levenshtein_pairs([\"Jon\", \"John\", \"Joan\", \"Jane\"], score_cutoff=1)\n"
    ">>> i.tolist(), j.tolist(), d.tolist()\n"
    "([0, 0, 1], [1, 2, 2], [1, 1, 1])\n";
inline constexpr CallSignature kDamerauPairs{
    "damerau_pairs", {"queries", "candidates", "score_cutoff", "case_insensitive", "workers", "normalized"}, 6, 1};
inline constexpr const char* kDamerauPairsDoc =
    "Every pair of a query and a candidate whose optimal string alignment\n"
    "(restricted Damerau) distance is within score_cutoff (required: distance\n"
    "<= score_cutoff); without candidates, the pairs i < j of the queries.\n"
    "\n"
    "Returns (query_indices, candidate_indices, scores): int64 indices and the\n"
    "distances, one entry per pair, in (query, candidate) order.\n"
    "\n"
    QUILLMATCH_NORMALIZED_PAIRS
    "\n"
    ">>> i, j, d = qmm.damerau_pairs([\"Jon\", \"jon\", \"Jno\"], score_cutoff=1, case_insensitive=True)\n"
    ">>> i.tolist(), j.tolist(), d.tolist()\n"
    "([0, 0, 1], [1, 2, 2], [0, 1, 1])\n";
inline constexpr CallSignature kJaroWinklerPairs{
    "jaro_winkler_pairs",
    {"queries", "candidates", "score_cutoff", "case_insensitive", "p", "workers"},
    6,
    1};
inline constexpr const char* kJaroWinklerPairsDoc =
    "Every pair of a query and a candidate whose Jaro-Winkler similarity with\n"
    "prefix scale p (default 0.1) is within score_cutoff (required: similarity\n"
    ">= score_cutoff); without candidates, the pairs i < j of the queries.\n"
    "\n"
    "Returns (query_indices, candidate_indices, scores): int64 indices and the\n"
    "similarities (float64), one entry per pair, in (query, candidate) order.\n"
    "\n"
    ">>> i, j, s = qmm.jaro_winkler_pairs([\"MARTHA\", \"MARHTA\", \"DIXON\"], score_cutoff=0.9)\n"
    ">>> i.tolist(), j.tolist(), s.tolist()\n"
    "([0], [1], [0.9611111111111111])\n";

// The clusters of a self join. score_cutoff is required, and refused absent or
// None by the body with the pairs functions' message: the binder takes it as
// optional, as theirs.
inline constexpr CallSignature kLevenshteinClusters{
    "levenshtein_clusters", {"texts", "score_cutoff", "case_insensitive", "normalized", "workers"}, 5, 1};
inline constexpr const char* kLevenshteinClustersDoc =
    "The groups of texts linked by chains of pairs whose Levenshtein\n"
    "distance is within score_cutoff (required: distance <= score_cutoff).\n"
    "\n"
    "Returns labels, an int64 array with one entry per text: labels[v] is the\n"
    "smallest index in v's group, exactly\n"
    "clusters(*levenshtein_pairs(texts, score_cutoff=score_cutoff)[:2], len(texts)),\n"
    "found without holding the pairs. This is single linkage: a-b and b-c\n"
    "within the cutoff put a and c in one group however far apart they are.\n"
    "With normalized=True, score_cutoff is a normalized similarity in [0, 1]\n"
    "(1 - d / max(m, n) >= score_cutoff), as levenshtein_pairs takes it.\n"
    "\n"
    ">>> qmm.levenshtein_clusters([\"Jon\", \"Jan\", \"Joan\", \"Jane\", \"Bo\"], 1).tolist()\n"
    "[0, 0, 0, 0, 4]\n";
inline constexpr CallSignature kDamerauClusters{
    "damerau_clusters", {"texts", "score_cutoff", "case_insensitive", "normalized", "workers"}, 5, 1};
inline constexpr const char* kDamerauClustersDoc =
    "The groups of texts linked by chains of pairs whose optimal string\n"
    "alignment (restricted Damerau) distance is within score_cutoff (required:\n"
    "distance <= score_cutoff).\n"
    "\n"
    "Returns labels, an int64 array with one entry per text: labels[v] is the\n"
    "smallest index in v's group, exactly\n"
    "clusters(*damerau_pairs(texts, score_cutoff=score_cutoff)[:2], len(texts)),\n"
    "found without holding the pairs. This is single linkage: a-b and b-c\n"
    "within the cutoff put a and c in one group however far apart they are.\n"
    "With normalized=True, score_cutoff is a normalized similarity in [0, 1]\n"
    "(1 - d / max(m, n) >= score_cutoff), as damerau_pairs takes it.\n"
    "\n"
    ">>> qmm.damerau_clusters([\"Jon\", \"Ann\", \"Jno\", \"ANN\"], 1, case_insensitive=True).tolist()\n"
    "[0, 1, 0, 1]\n";
inline constexpr CallSignature kJaroWinklerClusters{
    "jaro_winkler_clusters", {"texts", "score_cutoff", "case_insensitive", "p", "workers"}, 5, 1};
inline constexpr const char* kJaroWinklerClustersDoc =
    "The groups of texts linked by chains of pairs whose Jaro-Winkler\n"
    "similarity with prefix scale p (default 0.1) is within score_cutoff\n"
    "(required: similarity >= score_cutoff).\n"
    "\n"
    "Returns labels, an int64 array with one entry per text: labels[v] is the\n"
    "smallest index in v's group, exactly\n"
    "clusters(*jaro_winkler_pairs(texts, score_cutoff=score_cutoff)[:2], len(texts)),\n"
    "found without holding the pairs. This is single linkage: a-b and b-c\n"
    "within the cutoff put a and c in one group however far apart they are.\n"
    "\n"
    ">>> qmm.jaro_winkler_clusters([\"MARTHA\", \"DIXON\", \"MARHTA\"], 0.9).tolist()\n"
    "[0, 1, 0]\n";

inline constexpr CallSignature kClusters{"clusters", {"i", "j", "n"}, 3, 3};
inline constexpr const char* kClustersDoc =
    "The connected components of the graph on nodes 0 .. n-1 whose edges are\n"
    "the pairs (i[k], j[k]): single linkage, so a chain of pairs is one group\n"
    "however far apart its ends are.\n"
    "\n"
    "Returns labels, an int64 array of length n: labels[v] is the smallest\n"
    "node of v's component, so v is its group's first when labels[v] == v.\n"
    "i and j are index arrays as the pairs functions return them, numpy\n"
    "arrays of any integer type or sequences of int; an entry that is\n"
    "negative or at least n raises ValueError.\n"
    "\n"
    ">>> qmm.clusters([0, 3, 1], [1, 4, 2], 6).tolist()\n"
    "[0, 0, 0, 3, 3, 5]\n";

// METH_VARARGS | METH_KEYWORDS entry points, entered and left holding the lock.
PyObject* levenshtein_matrix(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_matrix(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_matrix(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* levenshtein_top(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_top(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_top(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* levenshtein_pairs(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_pairs(PyObject* self, PyObject* args, PyObject* kwargs);

// The two steps of the keyed self join (keyed.cpp).
inline constexpr CallSignature kKeyRows{
    "key_rows",
    {"texts", "measure", "score_cutoff", "ids", "case_insensitive", "key_bits", "longest", "normalized"}, 8, 3};
inline constexpr const char* kKeyRowsDoc =
    "The join keys of each text for the self join of an edit distance with a\n"
    "fixed cutoff, run as a shuffle: rows with equal keys are brought together\n"
    "and bucket_pairs() finds the pairs in each group.\n"
    "\n"
    "measure is 'levenshtein' or 'damerau' (optimal string alignment), and\n"
    "score_cutoff the largest distance kept. Returns (keys, ids, roles): uint64\n"
    "keys, int64 ids (ids[k] for texts[k], or k without ids) and int8 roles,\n"
    "0 for an index row (a segment of the text) and 1 for a probe row (a\n"
    "substring a partner's segment may match, per partner length). Texts too\n"
    "short to be cut into segments are keyed by length band instead. Any two\n"
    "texts within score_cutoff share a key, one as index and the other as\n"
    "probe. Keys are the same on every machine and run; key_bits (default\n"
    "64) keeps only their top bits, which makes more rows meet, never fewer.\n"
    "longest, when given, bounds the length in code points (after folding) of\n"
    "every text of the join, so that no longer partner is probed; a text\n"
    "longer than it is a ValueError. It matters for cutoffs near the texts'\n"
    "lengths, which otherwise probe every length up to m + score_cutoff.\n"
    "\n"
    "With normalized=True, score_cutoff is a similarity in [0, 1] instead:\n"
    "pairs with 1 - d / max(m, n) >= score_cutoff are kept, each found from\n"
    "its shorter text, and longest is required.\n"
    "\n"
    ">>> keys, ids, roles = qmm.key_rows([\"martha\", \"jon\"], \"levenshtein\", 1)\n"
    ">>> ids[roles == 0].tolist()  # each is cut into two segments\n"
    "[0, 0, 1, 1]\n";
inline constexpr CallSignature kBucketPairs{
    "bucket_pairs",
    {"rows", "texts", "measure", "score_cutoff", "case_insensitive", "key_bits", "longest", "normalized"}, 8, 4};
inline constexpr const char* kBucketPairsDoc =
    "The pairs within score_cutoff found in one group of key_rows() rows.\n"
    "\n"
    "rows is (keys, ids, roles) and texts[k] the text of row k; measure,\n"
    "score_cutoff, case_insensitive, key_bits, longest and normalized must be\n"
    "those the rows were made with. Each index row meets each probe row of\n"
    "its key and another id; a pair is kept only where it meets at its\n"
    "canonical key (the smallest key the two texts share, recomputed from\n"
    "them) and its score is within score_cutoff. When the groups split each\n"
    "key's probe rows among them and each holds every index row of the keys\n"
    "it holds probe rows of, every pair within the cutoff comes out of exactly\n"
    "one group, as the one-machine pairs function finds and scores it. Returns (left_ids, right_ids,\n"
    "distances): int64 ids, left < right, and uint64 distances (with\n"
    "normalized=True, float64 similarities).\n"
    "\n"
    ">>> texts = [\"martha\", \"marhta\", \"jon\"]\n"
    ">>> rows = qmm.key_rows(texts, \"levenshtein\", 2)  # all in one group\n"
    ">>> [a.tolist() for a in qmm.bucket_pairs(rows, [texts[i] for i in rows[1]], \"levenshtein\", 2)]\n"
    "[[0], [1], [2]]\n";
PyObject* key_rows(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* bucket_pairs(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_pairs(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* clusters(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* levenshtein_clusters(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_clusters(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_clusters(PyObject* self, PyObject* args, PyObject* kwargs);

// Index(candidates, measure, score_cutoff, case_insensitive=None, p=None,
// workers=None, normalized=None) and its searches.
inline constexpr CallSignature kIndexNew{
    "Index", {"candidates", "measure", "score_cutoff", "case_insensitive", "p", "workers", "normalized"}, 7, 3};
inline constexpr CallSignature kIndexTop{"top", {"queries", "k", "score_cutoff", "workers"}, 4, 2};
inline constexpr CallSignature kIndexPairs{"pairs", {"queries", "score_cutoff", "workers"}, 3, 0};

// What an Index object holds: the index, the searches' default workers, and
// the constructor's arguments (the candidates as a tuple), for pickling.
struct IndexParts {
  std::shared_ptr<const JoinIndex> index;
  std::size_t workers = 1;
  Ref arguments;
};

// Fills `out` from the constructor's arguments; false with an exception set.
bool build_index(PyObject* args, PyObject* kwargs, IndexParts& out);
// Index.top and Index.pairs.
// Vectorcall entry points (kMethVectorcall).
PyObject* index_top(const IndexParts& index, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_pairs(const IndexParts& index, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _with_plan(plan, function, *args, **kwargs): calls function(*args, **kwargs)
// with the plan of top and pairs forced to "cross" (every pair scored) or
// "filtered" (the join filters), for tests and benchmarks that compare them.
PyObject* with_plan(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quillmatch::py
