// The call frame every module function runs in: argument binding, the argument
// conversions and their error notes, the mapping of library errors and internal
// faults to Python exceptions.
//
// Convention: a function returning bool or a pointer reports failure with false
// or null and leaves the Python exception set. Every function here needs the
// interpreter lock.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quillmatch/quillmatch.h"
#include "common/ref.h"

namespace quillmatch::py {

// The widest parameter list of any module function.
inline constexpr std::size_t kMaxParams = 8;

// A function's name, its parameters in order, and how many leading ones are
// required. Every parameter is positional-or-keyword; the optional ones default
// to None, and None counts as absent.
struct CallSignature {
  const char* name;
  std::array<const char*, kMaxParams> params;
  std::size_t count;
  std::size_t required;
};

// A `str` argument as its own copy of the UTF-8 bytes.
struct OwnedText {
  std::string bytes;
  TextView view() const { return TextView(bytes); }
};

// A `str` argument's UTF-8 bytes read in place, and the reference that keeps
// them alive: from CPython 3.10 the str itself, whose UTF-8 form the
// interpreter keeps inside it (for ASCII, its own data); on 3.8 and 3.9 the
// bytes object the interpreter encoded. Either is immutable, so the view may be
// read while the interpreter lock is released, as long as `owner` is held.
struct BorrowedText {
  Ref owner;
  TextView text;
};

// True when the running interpreter exposes a str's UTF-8 form through the
// stable ABI (3.10 and later). Decided once per process: the answer cannot
// change while it runs.
bool running_utf8_in_place();
inline bool utf8_in_place() {
  static const bool in_place = running_utf8_in_place();
  return in_place;
}

}  // namespace quillmatch::py

// In the stable ABI from CPython 3.10, and exported by every CPython 3 before
// that; called only when utf8_in_place() has found 3.10 or later, so the wheel
// built for 3.8 keeps the older path there.
extern "C" const char* PyUnicode_AsUTF8AndSize(PyObject* unicode, Py_ssize_t* size);

namespace quillmatch::py {

// The UTF-8 bytes that a str (or subclass) keeps itself, valid as long as it
// lives; no reference is made. A lone surrogate raises the interpreter's own
// UnicodeEncodeError, and the view's data is null. Returned, not written
// through a reference: the view stays in two registers, where a view kept in
// memory would be written a field at a time and read back whole at once, a
// load the processor cannot forward from the two stores (about a fifth of
// the time of taking in a list of short str).
// REQUIRES: utf8_in_place() and PyUnicode_Check(obj).
inline TextView utf8_kept_by(PyObject* obj) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  return TextView(data, data ? static_cast<std::size_t>(size) : 0);
}

// The UTF-8 bytes of a str (or subclass) and a new reference that keeps them
// alive. A lone surrogate raises the interpreter's own UnicodeEncodeError.
// Inline: it runs once per candidate.
// REQUIRES: PyUnicode_Check(obj).
inline bool utf8_of(PyObject* obj, TextView& text, PyObject*& owner) {
  if (utf8_in_place()) {
    text = utf8_kept_by(obj);
    if (!text.data) return false;
    Py_INCREF(obj);
    owner = obj;
    return true;
  }
  PyObject* bytes = PyUnicode_AsUTF8String(obj);
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
    Py_DECREF(bytes);
    return false;
  }
  owner = bytes;
  text = TextView(data, static_cast<std::size_t>(size));
  return true;
}

// Interned attribute names, created once on first use and kept for the life of
// the process.
struct Names {
  PyObject* all;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* bool_;
  PyObject* add_note;
  PyObject* get;
};
const Names& names();

// Sets the conversion type error: "'{type}' object is not an instance of
// '{expected}'", or "'None' is not an instance of '{expected}'". Returns false.
bool set_type_error(PyObject* obj, const char* expected);
// The same, with the expected type named by its __qualname__.
bool set_type_error(PyObject* obj, PyObject* expected_type);

// The conversions. Each succeeds or leaves a Python error set.
bool extract_text_borrowed(PyObject* obj, BorrowedText& out);
bool extract_u64(PyObject* obj, std::uint64_t& out);
bool extract_flag(PyObject* obj, bool& out);
bool extract_f64(PyObject* obj, double& out);

// Adds the note "while processing '{name}'" to the current exception where the
// interpreter has add_note; leaves the exception itself unchanged.
void annotate_argument_error(const char* name);

// Raises ValueError with the error's text form. Returns null.
PyObject* raise_match_error(const MatchError& error);

// Raises PanicException with the message. Returns null.
PyObject* raise_panic(const char* message);

// The interpreter's int objects of 0 .. kSmallInts - 1, borrowed. Distances
// are small, and the interpreter keeps one int object for each of these:
// handing out those directly skips a call per result. The table is filled
// under the lock on first use and never released.
inline constexpr std::uint64_t kSmallInts = 256;
const std::array<PyObject*, kSmallInts>& small_ints();

// A distance as a Python int: a new reference, or null with MemoryError set.
// `small` is small_ints(), fetched once by a caller that boxes many.
inline PyObject* distance_to_python(std::uint64_t d, const std::array<PyObject*, kSmallInts>& small) {
  if (d < kSmallInts) {
    PyObject* obj = small[d];
    Py_INCREF(obj);
    return obj;
  }
  return PyLong_FromUnsignedLongLong(d);
}
inline PyObject* distance_to_python(std::uint64_t d) { return distance_to_python(d, small_ints()); }

// True when `key` is the interned name of parameter i: what a keyword written
// at a call site is. Other keys may still name the parameter; this only
// recognises the common form, by pointer.
bool is_interned_param(const CallSignature& sig, std::size_t i, PyObject* key);

// The calling convention of METH_FASTCALL | METH_KEYWORDS: positional
// arguments in a vector, keywords as a tuple of names whose values follow
// them, so that a call builds neither an argument tuple nor a keyword dict
// (about 0.1 us, a thirtieth of a one-query lookup). The stable ABI has it from 3.10; 3.8 and
// 3.9 run it the same way, with this flag value, but their limited headers
// do not name it.
inline constexpr int kMethVectorcall = 0x0080 | METH_KEYWORDS;
using VectorcallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Binds one call's arguments to a signature and converts them. Each typed
// accessor converts one slot; an empty or None slot of an optional parameter is
// left absent. On failure the exception carries the parameter's note.
class Arguments {
 public:
  explicit Arguments(const CallSignature& sig) : sig_(sig) {}

  // Binding faults are TypeErrors without a note.
  bool bind(PyObject* args, PyObject* kwargs);
  // The same for a vectorcall (kMethVectorcall): args[0, nargs) positional,
  // then the values of the keywords kwnames names (a tuple, or null).
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  bool text_borrowed(std::size_t i, BorrowedText& out) {
    return convert(i, extract_text_borrowed, out);
  }
  bool u64(std::size_t i, std::optional<std::uint64_t>& out) {
    return optional(i, extract_u64, out);
  }
  bool f64(std::size_t i, std::optional<double>& out) { return optional(i, extract_f64, out); }
  bool flag(std::size_t i, bool& out) {
    std::optional<bool> v;
    if (!optional(i, extract_flag, v)) return false;
    out = v.value_or(false);
    return true;
  }
  // The value flag(i) will give, when reading it can run no Python code and
  // cannot fail (absent, None, an exact bool); otherwise nothing. Lets a
  // caller use a later argument before converting an earlier one.
  std::optional<bool> flag_without_effects(std::size_t i) const {
    PyObject* obj = slot(i);
    if (!obj || obj == Py_None || obj == Py_False) return false;
    if (obj == Py_True) return true;
    return std::nullopt;
  }
  // The same for f64(i): absent and None give an empty value, an exact float
  // its value.
  std::optional<std::optional<double>> f64_without_effects(std::size_t i) const {
    PyObject* obj = slot(i);
    if (!obj || obj == Py_None) return std::optional<double>();
    if (PyFloat_CheckExact(obj)) return std::optional<double>(PyFloat_AsDouble(obj));
    return std::nullopt;
  }
  // True when slot i is empty or None.
  bool is_none(std::size_t i) const { return !slot(i) || slot(i) == Py_None; }
  // True when slot i is empty, None, a bool, an exact int or an exact float:
  // converting it runs no Python code.
  bool plain(std::size_t i) const {
    PyObject* obj = slot(i);
    return is_none(i) || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj);
  }
  // Any conversion of an optional slot: left absent when empty or None.
  template <class T, class F>
  bool optional(std::size_t i, F&& extract, std::optional<T>& out) {
    if (is_none(i)) return true;
    T value{};
    if (!convert(i, extract, value)) return false;
    out = value;
    return true;
  }
  // Any conversion of the (required) slot i, annotated like the others.
  // Running out of memory while converting (a copied text, a growing candidate
  // list) is a conversion failure too and carries the same note.
  template <class T, class F>
  bool convert(std::size_t i, F&& extract, T& out) {
    try {
      if (extract(slot(i), out)) return true;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    }
    annotate_argument_error(sig_.params[i]);
    return false;
  }

 private:
  PyObject* slot(std::size_t i) const { return slots_[i].get(); }
  // The steps of both binds: the count of positional arguments, one keyword,
  // and then whether every required parameter has a value.
  bool bind_positional(Py_ssize_t given);
  bool bind_keyword(PyObject* key, PyObject* value);
  bool bound_required();

  const CallSignature& sig_;
  std::array<Ref, kMaxParams> slots_;
};

// Runs a function body so that no C++ exception leaves it: memory exhaustion
// becomes MemoryError, and anything else (a failed internal check, such as
// reading a Result's value when it holds an error) PanicException.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    PyObject* result = body();
    if (!result && !PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return result;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic(nullptr);
  }
}

// As guarded, for the functions of quillmatch_many: the calling thread's C++
// runtime state, where a throw records itself, is made to exist first. The C
// library allocates it on a thread's first throw and ends the process when it
// cannot; made here, a later std::bad_alloc is a MemoryError.
template <class Body>
PyObject* guarded_with_runtime_state(Body&& body) noexcept {
  if (!prepare_thread_locals()) return PyErr_NoMemory();
  return guarded(std::forward<Body>(body));
}

}  // namespace quillmatch::py
