// The argument conversions that several of quillmatch_many's functions share:
// texts (calls.cpp) and integer columns (clusters.cpp). Every function here
// needs the interpreter lock.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <utility>
#include <vector>

#include "quillmatch/quillmatch.h"
#include "common/candidates.h"
#include "common/ref.h"
#include "quillmatch_many/arrow_input.h"

namespace quillmatch::py {

// A queries or candidates argument taken in. numpy arrays and pandas Series
// are first turned into a list by their own tolist(), one C-level call, so
// they are taken in at the speed of a list. An Arrow column is read in
// place instead.
struct Texts {
  Ref listed;
  CandidateSequence seq;
  HeldTexts held;
  ArrowInput arrow;

  std::span<const TextView> views() const { return arrow.taken() ? arrow.rows() : held.views(); }
  // The column, when this is a dictionary column: its distinct texts and codes.
  const TextColumn* coded() const {
    return arrow.taken() && arrow.column().coded() ? &arrow.column() : nullptr;
  }
  // Missing texts (a null of a column, None, NaN or pandas.NA in a list)
  // taken as empty texts, marked. REQUIRES: before taking in.
  void accept_nulls() {
    held.accept_nulls();
    arrow.read_nulls_as_empty();
  }
  bool has_nulls() const {
    return arrow.taken() ? arrow.column().null_rows() > 0 : !held.null_rows().empty();
  }
  // Sets mask[i] for each null row i. REQUIRES: a byte of mask per row.
  void mark_nulls(unsigned char* mask) const {
    if (!arrow.taken()) {
      for (const std::size_t row : held.null_rows()) mask[row] = 1;
      return;
    }
    const auto nulls = arrow.column().nulls();
    for (std::size_t row = 0; row < nulls.size(); ++row) mask[row] |= nulls[row];
  }
  std::size_t rows() const { return arrow.taken() ? arrow.column().size() : held.size(); }
  // The rows as the row-by-row run reads them: a column's views made a
  // batch at a time (as read without `rows`), a list's as kept.
  const TextRows& text_rows() {
    if (arrow.taken()) return arrow.column();
    kept = SpanRows(held.views());
    return kept;
  }
  SpanRows kept{{}};
  // The size in bytes of the longest text, known from the taking in.
  std::size_t longest() const { return arrow.taken() ? arrow.column().longest() : held.longest(); }
};

// Takes in a list, tuple or other sequence of str, a numpy array or pandas
// Series (through its tolist()), or a column that exports Arrow (read later,
// by read_arrow).
bool take_texts(PyObject* obj, Texts& out);

// Reads the Arrow columns among the texts, with the lock released; a failure
// is raised for the argument it belongs to. `rows`: also a view per row of a
// dictionary column. A large column is read on up to `workers` threads.
bool read_arrow(std::initializer_list<std::pair<Texts*, const char*>> texts, bool rows, std::size_t workers);

// An i or j argument taken in: its entries, read in place or converted.
struct Indices {
  Ref held;                         // the array read in place, or the list converted
  std::vector<std::int64_t> owned;  // the converted entries
  IndexColumn column;
};

// A normalized cutoff: a float in [0, 1] (a ValueError otherwise).
bool extract_normalized_cutoff(PyObject* obj, double& out);

// A one-dimensional integer numpy array in the machine's byte order read in
// place (held), anything else converted entry by entry to int64.
bool take_indices(PyObject* obj, Indices& out);

}  // namespace quillmatch::py
