// clusters(i, j, n): the connected components of the pairs a self join found.
//
// i and j are taken in with the lock held, in parameter order. A numpy array
// of integers, one-dimensional, contiguous and in the machine's byte order,
// is read in place through its array interface (the buffer protocol is not
// part of the stable ABI of 3.8): the call holds a reference to the array,
// which keeps its memory, and numpy refuses to resize an array that others
// reference. Anything else (another numpy array, the flat memoryviews the
// module returns without numpy, through their tolist(); a list, a tuple, any
// sequence) is converted entry by entry to int64, looking for a signal every
// so many entries. The labels array is allocated with the lock held; the
// union-find then runs with it released, as one task on this thread that
// polls for a stop (run_released).
#include <algorithm>
#include <bit>
#include <vector>

#include "quillmatch_many/arrays.h"
#include "quillmatch_many/functions.h"
#include "quillmatch_many/inputs.h"
#include "quillmatch_many/released.h"

namespace quillmatch::py {

namespace {

// Conversions that hold the lock look for a signal this often.
constexpr std::size_t kEntriesPerSignalCheck = std::size_t{1} << 16;

// A borrowed item of the array interface's dict, or null (no error) when absent.
PyObject* interface_item(PyObject* interface, const char* key) {
  return PyDict_Check(interface) ? PyDict_GetItemString(interface, key) : nullptr;
}

// The column of an array interface that describes a one-dimensional,
// contiguous array of integers of 1, 2, 4 or 8 bytes in the machine's byte
// order, held in memory the exporter owns (data given as an address). False
// with no error set when it describes anything else.
bool column_in_place(PyObject* interface, IndexColumn& out) {
  PyObject* typestr = interface_item(interface, "typestr");
  PyObject* shape = interface_item(interface, "shape");
  PyObject* strides = interface_item(interface, "strides");
  PyObject* data = interface_item(interface, "data");
  PyObject* mask = interface_item(interface, "mask");
  if (!typestr || !PyUnicode_Check(typestr) || !shape || !PyTuple_Check(shape) || PyTuple_Size(shape) != 1 ||
      !data || !PyTuple_Check(data) || PyTuple_Size(data) != 2 || (mask && mask != Py_None))
    return false;
  Ref ascii(PyUnicode_AsASCIIString(typestr));
  if (!ascii) {
    PyErr_Clear();
    return false;
  }
  if (PyBytes_Size(ascii.get()) != 3) return false;
  const char* type = PyBytes_AsString(ascii.get());
  constexpr char kNative = std::endian::native == std::endian::little ? '<' : '>';
  const std::size_t width = static_cast<std::size_t>(type[2] - '0');
  if ((type[1] != 'i' && type[1] != 'u') || (width != 1 && width != 2 && width != 4 && width != 8) ||
      (type[0] != kNative && type[0] != (width == 1 ? '|' : kNative)))
    return false;
  const Py_ssize_t length = PyLong_AsSsize_t(PyTuple_GetItem(shape, 0));
  if (length < 0) {
    PyErr_Clear();
    return false;
  }
  if (strides && strides != Py_None && length > 1) {
    if (!PyTuple_Check(strides) || PyTuple_Size(strides) != 1) return false;
    const Py_ssize_t step = PyLong_AsSsize_t(PyTuple_GetItem(strides, 0));
    if (step != static_cast<Py_ssize_t>(width)) {
      PyErr_Clear();
      return false;
    }
  }
  void* address = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
  if (!address && (PyErr_Occurred() || length > 0)) {
    PyErr_Clear();
    return false;
  }
  out = IndexColumn(address, static_cast<std::size_t>(length), width, type[1] == 'i');
  return true;
}

// Every entry of a sequence as an int64: anything with __index__ that fits.
bool convert_entries(PyObject* obj, Indices& out) {
  if (!PySequence_Check(obj)) return set_type_error(obj, "Sequence");
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return false;
  out.owned.reserve(static_cast<std::size_t>(size));
  Ref iterator(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (Ref item{PyIter_Next(iterator.get())}) {
    PyObject* entry = item.get();
    Ref index;
    if (!PyLong_Check(entry)) {
      index = Ref(PyNumber_Index(entry));
      if (!index) return false;
      entry = index.get();
    }
    const long long v = PyLong_AsLongLong(entry);
    if (v == -1 && PyErr_Occurred()) return false;
    out.owned.push_back(v);
    if (out.owned.size() % kEntriesPerSignalCheck == 0 && PyErr_CheckSignals() < 0) return false;
  }
  if (PyErr_Occurred()) return false;
  out.column = IndexColumn(std::span<const std::int64_t>(out.owned));
  return true;
}

}  // namespace

bool take_indices(PyObject* obj, Indices& out) {
  Ref interface(PyObject_GetAttrString(obj, "__array_interface__"));
  if (!interface) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
  }
  if (interface && column_in_place(interface.get(), out.column)) {
    out.held = Ref::borrow(obj);
    return true;
  }
  // An array read entry by entry, or a memoryview: through its own tolist(),
  // one C-level call, then as a list.
  if (interface || PyMemoryView_Check(obj)) {
    out.held = Ref(PyObject_CallMethod(obj, "tolist", nullptr));
    if (!out.held) return false;
    obj = out.held.get();
  }
  return convert_entries(obj, out);
}

namespace {

PyObject* raise_lengths(const Indices& i, const Indices& j) {
  PyErr_Format(PyExc_ValueError, "i has %zu %s and j %zu", i.column.size,
               i.column.size == 1 ? "entry" : "entries", j.column.size);
  return nullptr;
}

// The ValueError of a fault the run found.
PyObject* raise_edge_fault(const EdgeFault& fault, const Indices& i, const Indices& j, std::uint64_t n) {
  if (fault.kind == EdgeFault::Kind::kLengths) return raise_lengths(i, j);
  // -magnitude as an int64: a magnitude of 2^63 is INT64_MIN.
  Ref value(fault.negative ? PyLong_FromLongLong(static_cast<long long>(0 - fault.magnitude))
                           : PyLong_FromUnsignedLongLong(fault.magnitude));
  if (value)
    PyErr_Format(PyExc_ValueError, "%s[%zu] is %S, not an index below n = %llu", fault.in_j ? "j" : "i",
                 fault.position, value.get(), static_cast<unsigned long long>(n));
  return nullptr;
}

}  // namespace

PyObject* clusters(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    Arguments a(kClusters);
    Indices i, j;
    std::uint64_t n = 0;
    if (!a.bind(args, kwargs) || !a.convert(0, take_indices, i) || !a.convert(1, take_indices, j) ||
        !a.convert(2, extract_u64, n))
      return nullptr;
    if (i.column.size != j.column.size) return raise_lengths(i, j);
    OutArray labels;
    // n above what a size holds fails as any array too large does.
    const auto rows = static_cast<std::size_t>(std::min<std::uint64_t>(n, SIZE_MAX));
    if (!labels.allocate(kIndexElement, rows, 0, false)) return nullptr;
    EdgeFault fault;
    const std::span<std::int64_t> out(static_cast<std::int64_t*>(labels.data()), rows);
    if (!run_released([&] { return start_clusters(i.column, j.column, out, fault); })) return nullptr;
    if (fault.kind != EdgeFault::Kind::kNone) return raise_edge_fault(fault, i, j, n);
    return labels.release_as_python();
  });
}

}  // namespace quillmatch::py
