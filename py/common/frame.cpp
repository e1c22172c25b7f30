#include "common/frame.h"

#include <array>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace quillmatch::py {

namespace {

constexpr const char* kUnknownTypeName = "<failed to extract type name>";
constexpr const char* kPanicName = "quillmatch_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when native code called from Python panics.\n\n"
    "Like SystemExit, it derives from BaseException, so that it typically propagates all the "
    "way up the stack and makes the interpreter exit.";
constexpr const char* kGenericPanic = "internal fault in native code";

PyObject* intern(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);
  if (!s) throw std::bad_alloc();
  return s;
}

// The type's __qualname__ as a str, or null (with no error set) when it cannot
// be read.
Ref qualname_of(PyObject* type) {
  Ref name(PyObject_GetAttr(type, names().qualname));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return Ref();
  }
  return name;
}

bool set_type_error_named(PyObject* obj, PyObject* expected) {
  Ref message;
  if (obj == Py_None) {
    message = Ref(PyUnicode_FromFormat("'None' is not an instance of '%U'", expected));
  } else if (Ref type_name = qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(obj)))) {
    message = Ref(PyUnicode_FromFormat("'%U' object is not an instance of '%U'", type_name.get(),
                                       expected));
  } else {
    message = Ref(PyUnicode_FromFormat("'%s' object is not an instance of '%U'", kUnknownTypeName,
                                       expected));
  }
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return false;
}

// True when the type's attribute `attr` is a str equal to one of `values`.
// Errors while reading it are discarded.
bool attr_is(PyObject* type, PyObject* attr, std::initializer_list<const char*> values) {
  Ref v(PyObject_GetAttr(type, attr));
  bool found = false;
  if (v && PyUnicode_Check(v.get())) {
    for (const char* s : values) found = found || PyUnicode_CompareWithASCIIString(v.get(), s) == 0;
  }
  PyErr_Clear();
  return found;
}

bool is_numpy_bool_type(PyObject* type) {
  return attr_is(type, names().module, {"numpy"}) && attr_is(type, names().name, {"bool_", "bool"});
}

// The attribute `name` as stored in the type or its bases, in method
// resolution order, without binding it: `out` stays null when no class
// defines it. False with the error set when the lookup itself fails.
bool lookup_in_type(PyObject* type, PyObject* name, Ref& out) {
  Ref mro(PyObject_GetAttrString(type, "__mro__"));
  if (!mro) return false;
  Ref iter(PyObject_GetIter(mro.get()));
  if (!iter) return false;
  while (Ref base{PyIter_Next(iter.get())}) {
    Ref dict(PyObject_GetAttrString(base.get(), "__dict__"));
    if (!dict) return false;
    out = Ref(PyObject_GetItem(dict.get(), name));
    if (out) return true;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
  }
  return !PyErr_Occurred();
}

// Reads an exact bool; anything else is the type error expecting "bool".
bool exact_bool(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  return set_type_error(obj, "bool");
}

// The parameter names of a signature as interned strs, made on first use
// under the interpreter lock and kept for the life of the process. Keywords
// written at a call site are interned too, so a lookup is usually a pointer
// comparison.
const std::array<PyObject*, kMaxParams>& interned_params(const CallSignature& sig) {
  struct Entry {
    const CallSignature* sig;
    std::array<PyObject*, kMaxParams> names;
  };
  static std::array<Entry, 64> table{};  // every signature of both modules, with room to grow
  for (Entry& e : table) {
    if (e.sig == &sig) return e.names;
    if (e.sig) continue;
    for (std::size_t i = 0; i < sig.count; ++i) e.names[i] = intern(sig.params[i]);
    e.sig = &sig;
    return e.names;
  }
  throw std::logic_error("more call signatures than the keyword table holds");
}

// The position of a keyword among the parameters, or -1. The parameter names
// are ASCII, so comparing code points is comparing the UTF-8 bytes exactly; a
// key that is not a str (or holds a lone surrogate) matches nothing, and the
// comparison allocates nothing and cannot fail.
int param_index(const CallSignature& sig, PyObject* key) {
  const auto& interned = interned_params(sig);
  for (std::size_t i = 0; i < sig.count; ++i)
    if (key == interned[i]) return static_cast<int>(i);
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t i = 0; i < sig.count; ++i)
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return static_cast<int>(i);
  return -1;
}

}  // namespace

const std::array<PyObject*, kSmallInts>& small_ints() {
  static const std::array<PyObject*, kSmallInts>* small = [] {
    auto* table = new std::array<PyObject*, kSmallInts>();
    for (std::uint64_t v = 0; v < kSmallInts; ++v) {
      (*table)[v] = PyLong_FromUnsignedLongLong(v);
      if (!(*table)[v]) throw std::bad_alloc();
    }
    return table;
  }();
  return *small;
}

bool is_interned_param(const CallSignature& sig, std::size_t i, PyObject* key) {
  return key == interned_params(sig)[i];
}

const Names& names() {
  // Created under the interpreter lock, which serialises first uses; never
  // released.
  static const Names* cached = nullptr;
  if (!cached) {
    static Names storage{intern("__all__"),    intern("__name__"), intern("__qualname__"),
                         intern("__module__"), intern("__bool__"), intern("add_note"),
                         intern("__get__")};
    cached = &storage;
  }
  return *cached;
}

bool set_type_error(PyObject* obj, const char* expected) {
  Ref name(PyUnicode_FromString(expected));
  if (!name) return false;
  return set_type_error_named(obj, name.get());
}

bool set_type_error(PyObject* obj, PyObject* expected_type) {
  Ref name = qualname_of(expected_type);
  if (!name) name = Ref(PyUnicode_FromString(kUnknownTypeName));
  if (!name) return false;
  return set_type_error_named(obj, name.get());
}

bool running_utf8_in_place() {
  // Py_GetVersion() starts with "major.minor.".
  const char* v = Py_GetVersion();
  char* end = nullptr;
  const long major = std::strtol(v, &end, 10);
  const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
  return major > 3 || (major == 3 && minor >= 10);
}

bool extract_text_borrowed(PyObject* obj, BorrowedText& out) {
  // The exact-type test is inline; the flag test is a call under the stable ABI.
  if (!PyUnicode_CheckExact(obj) && !PyUnicode_Check(obj)) return set_type_error(obj, "str");
  PyObject* owner = nullptr;
  if (!utf8_of(obj, out.text, owner)) return false;
  out.owner = Ref(owner);
  return true;
}

bool extract_u64(PyObject* obj, std::uint64_t& out) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  // All bits set is a value unless the interpreter has set an error.
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool extract_flag(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) return exact_bool(obj, out);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (!is_numpy_bool_type(type)) return set_type_error(obj, "bool");
  Ref method;
  if (!lookup_in_type(type, names().bool_, method)) return false;
  if (!method) {
    Ref type_text(PyObject_Str(type));
    if (type_text)
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                   type_text.get());
    return false;
  }
  // Bind it to the object as attribute access would: through its __get__ when
  // it is a descriptor (functions, slot wrappers, static and class methods).
  Ref getter(PyObject_GetAttr(method.get(), names().get));
  if (getter) {
    method = Ref(PyObject_CallFunctionObjArgs(getter.get(), obj, type, nullptr));
    if (!method) return false;
  } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
  } else {
    return false;
  }
  Ref result(PyObject_CallObject(method.get(), nullptr));
  if (!result) return false;
  return exact_bool(result.get(), out);
}

bool extract_f64(PyObject* obj, double& out) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

void annotate_argument_error(const char* name) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  if (value) {
    if (tb) PyException_SetTraceback(value, tb);
    Ref note(PyUnicode_FromFormat("while processing '%s'", name));
    // Interpreters before 3.11 have no add_note: that failure is discarded and
    // the error goes on unchanged.
    if (note) Ref(PyObject_CallMethodObjArgs(value, names().add_note, note.get(), nullptr));
    PyErr_Clear();
  }
  PyErr_Restore(type, value, tb);
}

PyObject* raise_match_error(const MatchError& error) {
  PyErr_SetString(PyExc_ValueError, error.text().c_str());
  return nullptr;
}

PyObject* raise_panic(const char* message) {
  // Created under the interpreter lock on first use, never released.
  static PyObject* panic_type = nullptr;
  if (!panic_type) {
    PyObject* created =
        PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (!created) return nullptr;
    if (panic_type)
      Py_DECREF(created);
    else
      panic_type = created;
  }
  PyErr_SetString(panic_type, message ? message : kGenericPanic);
  return nullptr;
}

bool Arguments::bind(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0 || !bind_positional(given)) return false;
  for (Py_ssize_t i = 0; i < given; ++i)
    slots_[static_cast<std::size_t>(i)] = Ref::borrow(PyTuple_GetItem(args, i));
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (kwargs && PyDict_Next(kwargs, &pos, &key, &value))
    if (!bind_keyword(key, value)) return false;
  return bound_required();
}

bool Arguments::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_positional(nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) slots_[static_cast<std::size_t>(i)] = Ref::borrow(args[i]);
  const Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k)
    if (!bind_keyword(PyTuple_GetItem(kwnames, k), args[nargs + k])) return false;
  return bound_required();
}

bool Arguments::bind_positional(Py_ssize_t given) {
  const auto max = static_cast<Py_ssize_t>(sig_.count);
  if (given <= max) return true;
  if (sig_.required == sig_.count)
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                 sig_.name, max, given);
  else
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zd positional arguments but %zd were given", sig_.name,
                 sig_.required, max, given);
  return false;
}

bool Arguments::bind_keyword(PyObject* key, PyObject* value) {
  const int index = param_index(sig_, key);
  if (index < 0) {
    Ref key_text(PyObject_Str(key));
    if (key_text)
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig_.name,
                   key_text.get());
    return false;
  }
  Ref& slot = slots_[static_cast<std::size_t>(index)];
  if (slot) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig_.name,
                 sig_.params[static_cast<std::size_t>(index)]);
    return false;
  }
  slot = Ref::borrow(value);
  return true;
}

bool Arguments::bound_required() {
  // The missing names joined as the interpreter joins them: 'a', 'a' and 'b',
  // or 'a', 'b', and 'c'.
  std::size_t n_missing = 0;
  for (std::size_t i = 0; i < sig_.required; ++i) n_missing += !slots_[i];
  if (!n_missing) return true;
  std::string missing;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < sig_.required; ++i) {
    if (slots_[i]) continue;
    if (listed++) missing += n_missing == 2 ? " and " : listed == n_missing ? ", and " : ", ";
    missing += "'";
    missing += sig_.params[i];
    missing += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", sig_.name,
               n_missing, n_missing == 1 ? "argument" : "arguments", missing.c_str());
  return false;
}

}  // namespace quillmatch::py
