// One query against a column: the scores functions of quillmatch_many, which
// return a one-dimensional array with an entry per candidate.
#pragma once

#include <Python.h>

#include "common/frame.h"

namespace quillmatch::py {

inline constexpr CallSignature kLevenshteinScores{
    "levenshtein_scores", {"query", "candidates", "case_insensitive", "workers"}, 4, 2};
inline constexpr const char* kLevenshteinScoresDoc =
    "Levenshtein distance of one query to each candidate: a list of str, or a\n"
    "pyarrow, polars, pandas or DuckDB column, read in place.\n"
    "\n"
    "Returns a one-dimensional array, entry j for candidates[j], of the type a\n"
    "matrix of these texts has (the narrowest unsigned integer that holds the\n"
    "UTF-8 length of the longest text). A null in a column raises ValueError.\n"
    "\n"
    ">>> qmm.levenshtein_scores(\"kitten\", [\"sitting\", \"kitten\", \"\"]).tolist()\n"
    "[3, 0, 6]\n";
inline constexpr CallSignature kDamerauScores{
    "damerau_scores", {"query", "candidates", "case_insensitive", "workers"}, 4, 2};
inline constexpr const char* kDamerauScoresDoc =
    "Optimal string alignment (restricted Damerau) distance of one query to\n"
    "each candidate: a list of str, or a pyarrow, polars, pandas or DuckDB\n"
    "column, read in place.\n"
    "\n"
    "Returns a one-dimensional array, entry j for candidates[j], of the type a\n"
    "matrix of these texts has. A null in a column raises ValueError.\n"
    "\n"
    ">>> qmm.damerau_scores(\"ab\", [\"ba\", \"abc\", \"ca\"]).tolist()\n"
    "[1, 1, 2]\n";
inline constexpr CallSignature kJaroWinklerScores{
    "jaro_winkler_scores", {"query", "candidates", "case_insensitive", "p", "workers"}, 5, 2};
inline constexpr const char* kJaroWinklerScoresDoc =
    "Jaro-Winkler similarity of one query to each candidate: a list of str, or\n"
    "a pyarrow, polars, pandas or DuckDB column, read in place.\n"
    "\n"
    "Returns a one-dimensional float64 array, entry j for candidates[j]. A\n"
    "null in a column raises ValueError.\n"
    "\n"
    ">>> qmm.jaro_winkler_scores(\"MARTHA\", [\"MARHTA\", \"MARTHA\"]).tolist()\n"
    "[0.9611111111111111, 1.0]\n";

// METH_VARARGS | METH_KEYWORDS entry points, entered and left holding the lock.
PyObject* levenshtein_scores(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_scores(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_scores(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quillmatch::py
