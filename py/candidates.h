// Taking a candidate sequence in: the two candidate-list conversions and the
// array of views the batch engines read.
#pragma once

#include <Python.h>

#include <vector>

#include "frame.h"

namespace quillmatch::py {

// Candidates in the order iteration produced them. Their count is the number
// of items produced, not the length the container reported.
using BorrowedCandidates = std::vector<BorrowedText>;
using OwnedCandidates = std::vector<OwnedText>;

// A str is refused, non-sequences are refused, the reported length is only a
// reservation hint, and items are taken by iteration. On failure everything
// gathered so far is released with the vector and a Python error is set.
bool extract_candidates_borrowed(PyObject* obj, BorrowedCandidates& out);
bool extract_candidates_owned(PyObject* obj, OwnedCandidates& out);

// One view per candidate, in order. Touches no interpreter object, so it may
// run with the lock released.
std::vector<TextView> text_views(const BorrowedCandidates& candidates);

}  // namespace quillmatch::py
