// One query against a column: the scores functions of quillmatch_many, which
// return a one-dimensional array with an entry per candidate.
#pragma once

#include <Python.h>

#include "frame.h"

namespace quillmatch::py {

inline constexpr CallSignature kLevenshteinScores{
    "levenshtein_scores", {"query", "candidates", "case_insensitive", "workers"}, 4, 2};
inline constexpr CallSignature kDamerauScores{
    "damerau_scores", {"query", "candidates", "case_insensitive", "workers"}, 4, 2};
inline constexpr CallSignature kJaroWinklerScores{
    "jaro_winkler_scores", {"query", "candidates", "case_insensitive", "p", "workers"}, 5, 2};

// METH_VARARGS | METH_KEYWORDS entry points, entered and left holding the lock.
PyObject* levenshtein_scores(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_scores(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_scores(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quillmatch::py
