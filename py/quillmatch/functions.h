// The nine module functions: their signatures and their entry points, in the
// order in which the module publishes them.
#pragma once

#include <Python.h>

#include "common/frame.h"

namespace quillmatch::py {

inline constexpr CallSignature kLevenshteinBp{
    "levenshtein_bp", {"str_1", "str_2", "max_len", "case_insensitive", "score_cutoff"}, 5, 2};
inline constexpr CallSignature kDamerauBp{
    "damerau_bp", {"str_1", "str_2", "max_len", "case_insensitive", "score_cutoff"}, 5, 2};
inline constexpr CallSignature kJaroWinklerSimilarity{
    "jaro_winkler_similarity",
    {"str_1", "str_2", "p", "max_len", "case_insensitive", "score_cutoff"},
    6,
    2};
inline constexpr CallSignature kLevenshteinBatch{
    "levenshtein_batch", {"query", "candidates", "case_insensitive"}, 3, 2};
inline constexpr CallSignature kDamerauBatch{
    "damerau_batch", {"query", "candidates", "case_insensitive"}, 3, 2};
inline constexpr CallSignature kJaroWinklerBatch{
    "jaro_winkler_batch", {"query", "candidates", "p", "case_insensitive"}, 4, 2};
inline constexpr CallSignature kIngestOwned{"_ingest_owned", {"candidates"}, 1, 1};
inline constexpr CallSignature kIngestBorrow{"_ingest_borrow", {"candidates"}, 1, 1};
inline constexpr CallSignature kIngestBorrowAndDeref{
    "_ingest_borrow_and_deref", {"candidates"}, 1, 1};

// METH_VARARGS | METH_KEYWORDS entry points; each returns a new reference or
// null with an exception set, and is entered and left holding the lock.
PyObject* levenshtein_bp(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_bp(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_similarity(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* levenshtein_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ingest_owned(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ingest_borrow(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ingest_borrow_and_deref(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quillmatch::py
