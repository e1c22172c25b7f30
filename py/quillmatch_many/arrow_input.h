// A queries or candidates argument that exports the Arrow PyCapsule
// interface (__arrow_c_array__ or __arrow_c_stream__): pyarrow arrays, chunked
// arrays and tables, polars and pandas Series and DataFrames, DuckDB
// relations.
//
// Taken in two steps. take() runs with the interpreter lock: it calls the
// export method and moves the structs out of the capsules it returns, into
// holders that release each exactly once, when this object ends, whatever
// happened. read() needs no lock and touches no Python object: it pulls a
// stream's chunks (each into its holder before the producer fills it) and
// reads every chunk in place through the core's TextColumn, which validates
// all it reads. The views stay valid while this object lives; it must be
// destroyed with the lock held.
#pragma once

#include <Python.h>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quillmatch/arrow_column.h"
#include "common/ref.h"

namespace quillmatch::py {

// The ways reading can fail: the column itself, or the producer's stream.
struct ArrowFailure {
  std::optional<ArrowReadError> column;
  std::string stream_message;  // when column is empty: the stream's own error
};

class ArrowInput {
 public:
  ArrowInput();
  ~ArrowInput();
  ArrowInput(const ArrowInput&) = delete;
  ArrowInput& operator=(const ArrowInput&) = delete;

  // Whether `obj` is read as Arrow. A pandas Series is, only when its strings
  // are Arrow-backed (pandas' own "str" and "string[pyarrow]" dtypes, or an
  // ArrowDtype); any other Series keeps going through tolist(). Needs the lock;
  // errors while looking are discarded.
  static bool offered_by(PyObject* obj);

  // Calls the export method and takes its structs over. False with the
  // Python error set. Needs the lock.
  bool take(PyObject* obj);
  bool taken() const { return taken_; }

  // Reads nulls as empty texts, marked in column().nulls(), instead of
  // failing on them. REQUIRES: before read().
  void read_nulls_as_empty() { nulls_as_empty_ = true; }

  // Reads every chunk, a large one on up to `workers` threads. With `rows`,
  // keeps one view per row (for a dictionary column too); without, the
  // column's views of a plain column are made on demand. Needs no lock and
  // must not hold it (a stream may run the producer's own threads, which may
  // take it). `stopped` is called on this thread between parts of a long
  // column; once it says true the reading ends with no failure, and the
  // column is incomplete: the caller discards it.
  std::optional<ArrowFailure> read(bool rows, std::size_t workers,
                                   const std::function<bool()>& stopped = {});

  const TextColumn& column() const { return column_; }
  // One view per row. REQUIRES: read(true) succeeded.
  std::span<const TextView> rows() const {
    return column_.coded() ? std::span<const TextView>(rows_) : column_.texts();
  }

 private:
  struct Chunks;  // the arrays pulled from a stream, each released once
  bool taken_ = false;
  bool nulls_as_empty_ = false;
  std::unique_ptr<Chunks> chunks_;
  TextColumn column_;
  std::vector<TextView> rows_;
};

// Raises the failure of reading argument `name`: TypeError for a format or a
// column count, RuntimeError for a failed stream, ValueError otherwise, each
// with the argument's note. Needs the lock.
void raise_arrow_failure(const ArrowFailure& failure, const char* name);

}  // namespace quillmatch::py
