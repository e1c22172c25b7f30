// Result arrays of quillmatch_many, with no Python object per entry.
//
// Under the stable ABI of 3.8 a module cannot define a buffer type, so a result
// is a bytearray of the right size, created with the lock held and referenced
// by the call alone, computed into with the lock released, then wrapped without
// a copy: a numpy array whose base is the bytearray when numpy can be
// imported (imported once, on first need, and kept), else a flat memoryview
// cast to the element's struct format, rows one after another.
// Every function here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "quillmatch/quillmatch.h"
#include "common/ref.h"

namespace quillmatch::py {

struct Element {
  const char* dtype;  // numpy's name
  const char* format; // struct format of the memoryview
  std::size_t size;
};
Element element_of(ScoreType type);
inline constexpr Element kIndexElement{"int64", "q", 8};
inline constexpr Element kMaskElement{"bool", "?", 1};

// Whether numpy can be imported: 1 or 0, or -1 with the error set when
// importing it failed otherwise.
int numpy_present();

// numpy.ma.MaskedArray(data, mask=mask), `mask` a bool array of data's shape
// (True: the entry is missing). Borrows both; a new reference or null with
// the error set. REQUIRES: numpy_present().
PyObject* masked_array(PyObject* data, PyObject* mask);

class OutArray {
 public:
  // A 2-D array of rows x cols, or 1-D of `rows` when cols is 0 and flat.
  // False with MemoryError set ("cannot allocate a 3 x 4 matrix of uint8",
  // "cannot allocate an array of 5 int64") when it cannot be had.
  bool allocate(Element element, std::size_t rows, std::size_t cols, bool two_dims);
  void* data() const { return data_; }
  // The numpy array or memoryview; the array gives up its bytearray.
  PyObject* release_as_python();

 private:
  // The array made by numpy.ndarray(shape, dtype, buffer), where numpy's C
  // API table is not at hand.
  PyObject* wrapped_by_call(PyObject* ndarray, PyObject* dtype);

  Ref bytes_;
  void* data_ = nullptr;
  Element element_{kIndexElement};
  std::size_t rows_ = 0, cols_ = 0;
  bool two_dims_ = false;
};

}  // namespace quillmatch::py
