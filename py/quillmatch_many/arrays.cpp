#include "quillmatch_many/arrays.h"

#include <cstring>
#include <iterator>
#include <memory>

namespace quillmatch::py {

namespace {

// The numpy module, or None when it cannot be imported: decided on first need
// under the interpreter lock and kept for the life of the process. An error
// other than ImportError is passed on and decides nothing.
PyObject* numpy_module() {
  static PyObject* cached = nullptr;
  if (!cached) {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
      PyErr_Clear();
      numpy = Py_None;
      Py_INCREF(numpy);
    }
    if (cached)
      Py_DECREF(numpy);
    else
      cached = numpy;
  }
  return cached;
}

// numpy's C API, as its own headers reach it: a table of function pointers
// in the capsule `_ARRAY_API` of its core module, each entry at a number
// that stays the same across numpy 1.7 to 2.x (ABI versions 1.0.9 and 2.0).
// Through it a result array is one call; through numpy.ndarray(shape, dtype,
// buffer) it is a call that parses its arguments, which costs more than the
// search of a one-query top list. Looked up once, under the lock, and kept
// for the life of the process.
struct NumpyApi {
  PyTypeObject* ndarray;  // entry 2
  // PyArray_NewFromDescr (entry 94): steals the descr; with `data`, the array
  // views it and owns nothing until a base is set.
  PyObject* (*new_from_descr)(PyTypeObject*, PyObject* descr, int nd, const Py_intptr_t* dims,
                              const Py_intptr_t* strides, void* data, int flags, PyObject* obj);
  // PyArray_SetBaseObject (entry 282): steals the base, also on failure.
  int (*set_base_object)(PyObject* array, PyObject* base);
};

// NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE: what
// ndarray(shape, dtype, buffer) gives over a bytearray.
constexpr int kWriteableCArray = 0x0001 | 0x0100 | 0x0400;

// The table's layout, or null when this numpy's ABI is not one of the two
// known (the arrays are then made by calling numpy.ndarray). Never sets an
// error.
const NumpyApi* numpy_api() {
  static const NumpyApi* api = nullptr;
  static bool looked = false;
  if (looked) return api;
  looked = true;
  Ref core(PyImport_ImportModule("numpy._core._multiarray_umath"));
  if (!core) {
    PyErr_Clear();
    core = Ref(PyImport_ImportModule("numpy.core._multiarray_umath"));
  }
  Ref capsule(core ? PyObject_GetAttrString(core.get(), "_ARRAY_API") : nullptr);
  void** table = capsule && PyCapsule_CheckExact(capsule.get())
                     ? static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr))
                     : nullptr;
  PyErr_Clear();
  if (!table) return nullptr;
  const unsigned abi = reinterpret_cast<unsigned (*)()>(table[0])();
  const unsigned feature = reinterpret_cast<unsigned (*)()>(table[211])();
  // ABI 1.0.9 (numpy 1.x) and 2.0; feature level 7 is numpy 1.7, which has
  // every entry used here.
  if ((abi != 0x01000009u && abi != 0x02000000u) || feature < 7) return nullptr;
  static NumpyApi found{static_cast<PyTypeObject*>(table[2]),
                        reinterpret_cast<decltype(NumpyApi::new_from_descr)>(table[94]),
                        reinterpret_cast<decltype(NumpyApi::set_base_object)>(table[282])};
  api = &found;
  return api;
}

// What a result's wrapping calls when the table is not used, looked up once
// and kept, as the numpy module is, for the life of the process:
// numpy.ndarray (an array of any shape over the buffer in one call), and the
// dtypes by their names (a dtype parsed from its name costs more than the
// call of a small top list).
struct NumpyCalls {
  Ref ndarray;
  struct Dtype {
    const char* name;
    Ref dtype;
  };
  Dtype dtypes[8];
  std::size_t dtype_count = 0;
};

NumpyCalls* numpy_calls(PyObject* numpy) {
  static NumpyCalls* calls = nullptr;
  if (calls) return calls;
  auto made = std::make_unique<NumpyCalls>();
  made->ndarray = Ref(PyObject_GetAttrString(numpy, "ndarray"));
  if (!made->ndarray) return nullptr;
  calls = made.release();
  return calls;
}

// numpy.dtype(name), kept once made (the names are the few of Element).
Ref dtype_named(PyObject* numpy, NumpyCalls& calls, const char* name) {
  for (std::size_t k = 0; k < calls.dtype_count; ++k)
    if (std::strcmp(calls.dtypes[k].name, name) == 0) return Ref::borrow(calls.dtypes[k].dtype.get());
  Ref dtype(PyObject_CallMethod(numpy, "dtype", "s", name));
  if (dtype && calls.dtype_count < std::size(calls.dtypes))
    calls.dtypes[calls.dtype_count++] = {name, Ref::borrow(dtype.get())};
  return dtype;
}

}  // namespace

int numpy_present() {
  PyObject* numpy = numpy_module();
  return numpy ? numpy != Py_None : -1;
}

PyObject* masked_array(PyObject* data, PyObject* mask) {
  Ref ma(PyImport_ImportModule("numpy.ma"));
  if (!ma) return nullptr;
  Ref type(PyObject_GetAttrString(ma.get(), "MaskedArray"));
  if (!type) return nullptr;
  Ref args(PyTuple_Pack(1, data));
  if (!args) return nullptr;
  Ref kwargs(Py_BuildValue("{s:O}", "mask", mask));
  if (!kwargs) return nullptr;
  return PyObject_Call(type.get(), args.get(), kwargs.get());
}

Element element_of(ScoreType type) {
  switch (type) {
    case ScoreType::U8: return {"uint8", "B", 1};
    case ScoreType::U16: return {"uint16", "H", 2};
    case ScoreType::U32: return {"uint32", "I", 4};
    case ScoreType::U64: return {"uint64", "Q", 8};
    case ScoreType::F64: return {"float64", "d", 8};
  }
  return {"float64", "d", 8};
}

bool OutArray::allocate(Element element, std::size_t rows, std::size_t cols, bool two_dims) {
  element_ = element;
  rows_ = rows;
  cols_ = two_dims ? cols : 1;
  two_dims_ = two_dims;
  std::size_t bytes = 0;
  const bool fits = !__builtin_mul_overflow(rows_, cols_, &bytes) &&
                    !__builtin_mul_overflow(bytes, element.size, &bytes) &&
                    bytes <= static_cast<std::size_t>(PY_SSIZE_T_MAX);
  if (fits) {
    bytes_ = Ref(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
    if (bytes_) {
      data_ = PyByteArray_AsString(bytes_.get());
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
  }
  if (two_dims)
    PyErr_Format(PyExc_MemoryError, "cannot allocate a %zu x %zu matrix of %s", rows, cols,
                 element.dtype);
  else
    PyErr_Format(PyExc_MemoryError, "cannot allocate an array of %zu %s", rows, element.dtype);
  return false;
}

PyObject* OutArray::release_as_python() {
  PyObject* numpy = numpy_module();
  if (!numpy) return nullptr;
  if (numpy == Py_None) {
    Ref view(PyMemoryView_FromObject(bytes_.get()));
    if (!view) return nullptr;
    bytes_ = Ref();
    return PyObject_CallMethod(view.get(), "cast", "s", element_.format);
  }
  NumpyCalls* calls = numpy_calls(numpy);
  if (!calls) return nullptr;
  const Ref dtype = dtype_named(numpy, *calls, element_.dtype);
  if (!dtype) return nullptr;
  if (const NumpyApi* api = numpy_api()) {
    const Py_intptr_t dims[2] = {static_cast<Py_intptr_t>(rows_), static_cast<Py_intptr_t>(cols_)};
    Py_INCREF(dtype.get());  // new_from_descr steals it
    PyObject* array = api->new_from_descr(api->ndarray, dtype.get(), two_dims_ ? 2 : 1, dims, nullptr, data_,
                                          kWriteableCArray, nullptr);
    if (!array) return nullptr;
    // The array keeps the buffer alive; the reference moves to it.
    if (api->set_base_object(array, bytes_.release()) < 0) {
      Py_DECREF(array);
      return nullptr;
    }
    return array;
  }
  return wrapped_by_call(calls->ndarray.get(), dtype.get());
}

PyObject* OutArray::wrapped_by_call(PyObject* ndarray, PyObject* dtype) {
  // ndarray(shape, dtype, buffer): a writeable C-ordered view that keeps the
  // buffer alive.
  Ref shape(two_dims_ ? Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows_), static_cast<Py_ssize_t>(cols_))
                      : Py_BuildValue("(n)", static_cast<Py_ssize_t>(rows_)));
  if (!shape) return nullptr;
  PyObject* array = PyObject_CallFunctionObjArgs(ndarray, shape.get(), dtype, bytes_.get(), nullptr);
  if (array) bytes_ = Ref();
  return array;
}

}  // namespace quillmatch::py
