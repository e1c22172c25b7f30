// The nine functions of quillmatch_many: their signatures and entry points, in
// the order in which the module publishes them.
#pragma once

#include <Python.h>

#include <memory>

#include "frame.h"

namespace quillmatch::py {

inline constexpr CallSignature kLevenshteinMatrix{
    "levenshtein_matrix", {"queries", "candidates", "case_insensitive", "workers"}, 4, 1};
inline constexpr CallSignature kDamerauMatrix{
    "damerau_matrix", {"queries", "candidates", "case_insensitive", "workers"}, 4, 1};
inline constexpr CallSignature kJaroWinklerMatrix{
    "jaro_winkler_matrix", {"queries", "candidates", "case_insensitive", "p", "workers"}, 5, 1};
inline constexpr CallSignature kLevenshteinTop{
    "levenshtein_top",
    {"queries", "candidates", "k", "score_cutoff", "case_insensitive", "workers"},
    6,
    3};
inline constexpr CallSignature kDamerauTop{
    "damerau_top", {"queries", "candidates", "k", "score_cutoff", "case_insensitive", "workers"}, 6, 3};
inline constexpr CallSignature kJaroWinklerTop{
    "jaro_winkler_top",
    {"queries", "candidates", "k", "score_cutoff", "case_insensitive", "p", "workers"},
    7,
    3};
// score_cutoff is required; it follows the optional candidates, so the binder
// treats it as optional and the body refuses it absent or None.
inline constexpr CallSignature kLevenshteinPairs{
    "levenshtein_pairs", {"queries", "candidates", "score_cutoff", "case_insensitive", "workers"}, 5, 1};
inline constexpr CallSignature kDamerauPairs{
    "damerau_pairs", {"queries", "candidates", "score_cutoff", "case_insensitive", "workers"}, 5, 1};
inline constexpr CallSignature kJaroWinklerPairs{
    "jaro_winkler_pairs",
    {"queries", "candidates", "score_cutoff", "case_insensitive", "p", "workers"},
    6,
    1};

// METH_VARARGS | METH_KEYWORDS entry points, entered and left holding the lock.
PyObject* levenshtein_matrix(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_matrix(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_matrix(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* levenshtein_top(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_top(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_top(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* levenshtein_pairs(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_pairs(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_pairs(PyObject* self, PyObject* args, PyObject* kwargs);

// Index(candidates, measure, score_cutoff, case_insensitive=None, p=None,
// workers=None) and its searches.
inline constexpr CallSignature kIndexNew{
    "Index", {"candidates", "measure", "score_cutoff", "case_insensitive", "p", "workers"}, 6, 3};
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
PyObject* index_top(const IndexParts& index, PyObject* args, PyObject* kwargs);
PyObject* index_pairs(const IndexParts& index, PyObject* args, PyObject* kwargs);

// _with_plan(plan, function, *args, **kwargs): calls function(*args, **kwargs)
// with the plan of top and pairs forced to "cross" (every pair scored) or
// "filtered" (the join filters), for tests and benchmarks that compare them.
PyObject* with_plan(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quillmatch::py
