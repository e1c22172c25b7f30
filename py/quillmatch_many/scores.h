// The scores functions of quillmatch_many: one str against a column, a column
// against one str, or two columns row by row; a one-dimensional array with an
// entry per row.
#pragma once

#include <Python.h>

#include "common/frame.h"
#include "quillmatch_many/functions.h"

namespace quillmatch::py {

// What each scores function's doc says of nulls, a paragraph of its own.
#define QM_SCORES_NULLS_DOC                                                     \
  "A row that is null on either side (a null of an Arrow column, or None,\n"   \
  "NaN or pandas.NA in a list or object Series) is scored as the empty text\n" \
  "and masked: the result is then a numpy.ma.MaskedArray whose mask marks\n"   \
  "those rows (pyarrow and polars read them as null, pandas as NaN), and\n"    \
  "without nulls a plain array. Without numpy, nulls raise as elsewhere.\n"

inline constexpr CallSignature kLevenshteinScores{
    "levenshtein_scores", {"query", "candidates", "case_insensitive", "workers", "normalized"}, 5, 2};
inline constexpr const char* kLevenshteinScoresDoc =
    "Levenshtein distance row by row. query and candidates are each a str or a\n"
    "column: a list of str, or a pyarrow, polars, pandas or DuckDB column, read\n"
    "in place. A str against a column, or a column against a str, scores the\n"
    "str with every row; two columns of equal length score row i of one with\n"
    "row i of the other (of other lengths, ValueError: use levenshtein_matrix).\n"
    "\n"
    "Returns a one-dimensional array, entry i for row i, of the type a matrix\n"
    "of these texts has (the narrowest unsigned integer that holds the UTF-8\n"
    "length of the longest text).\n"
    "\n"
    QM_SCORES_NULLS_DOC
    "\n"
    QUILLMATCH_NORMALIZED_ENTRY("entry i")
    "\n"
    ">>> qmm.levenshtein_scores(\"kitten\", [\"sitting\", \"kitten\", \"\"]).tolist()\n"
    "[3, 0, 6]\n"
    ">>> qmm.levenshtein_scores([\"kitten\", \"flaw\"], [\"sitting\", \"lawn\"]).tolist()\n"
    "[3, 2]\n"
    ">>> qmm.levenshtein_scores(\"kitten\", [\"sitting\", None]).tolist()\n"
    "[3, None]\n"
    ">>> qmm.levenshtein_scores(\"kitten\", [\"sitting\", \"kitten\", \"\"], normalized=True).tolist()\n"
    "[0.5714285714285714, 1.0, 0.0]\n";
inline constexpr CallSignature kDamerauScores{
    "damerau_scores", {"query", "candidates", "case_insensitive", "workers", "normalized"}, 5, 2};
inline constexpr const char* kDamerauScoresDoc =
    "Optimal string alignment (restricted Damerau) distance row by row. query\n"
    "and candidates are each a str or a column: a list of str, or a pyarrow,\n"
    "polars, pandas or DuckDB column, read in place. A str against a column, or\n"
    "a column against a str, scores the str with every row; two columns of\n"
    "equal length score row i of one with row i of the other (of other\n"
    "lengths, ValueError: use damerau_matrix).\n"
    "\n"
    "Returns a one-dimensional array, entry i for row i, of the type a matrix\n"
    "of these texts has.\n"
    "\n"
    QM_SCORES_NULLS_DOC
    "\n"
    QUILLMATCH_NORMALIZED_ENTRY("entry i")
    "\n"
    ">>> qmm.damerau_scores(\"ab\", [\"ba\", \"abc\", \"ca\"]).tolist()\n"
    "[1, 1, 2]\n"
    ">>> qmm.damerau_scores([\"ab\", \"abc\"], \"ba\").tolist()\n"
    "[1, 2]\n";
inline constexpr CallSignature kJaroWinklerScores{
    "jaro_winkler_scores", {"query", "candidates", "case_insensitive", "p", "workers"}, 5, 2};
inline constexpr const char* kJaroWinklerScoresDoc =
    "Jaro-Winkler similarity row by row. query and candidates are each a str\n"
    "or a column: a list of str, or a pyarrow, polars, pandas or DuckDB column,\n"
    "read in place. A str against a column, or a column against a str, scores\n"
    "the str with every row; two columns of equal length score row i of one\n"
    "with row i of the other (of other lengths, ValueError: use\n"
    "jaro_winkler_matrix). Entry i is jaro_winkler_similarity with the query's\n"
    "text first.\n"
    "\n"
    "Returns a one-dimensional float64 array, entry i for row i.\n"
    "\n"
    QM_SCORES_NULLS_DOC
    "\n"
    ">>> qmm.jaro_winkler_scores(\"MARTHA\", [\"MARHTA\", \"MARTHA\"]).tolist()\n"
    "[0.9611111111111111, 1.0]\n"
    ">>> qmm.jaro_winkler_scores([\"MARTHA\", \"DWAYNE\"], [\"MARHTA\", \"DUANE\"]).tolist()\n"
    "[0.9611111111111111, 0.8400000000000001]\n";

#undef QM_SCORES_NULLS_DOC

// METH_VARARGS | METH_KEYWORDS entry points, entered and left holding the lock.
PyObject* levenshtein_scores(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* damerau_scores(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* jaro_winkler_scores(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quillmatch::py
