// The three measures of two strings. The lock is held for the whole call,
// however long the texts: the library call is short next to the cost of
// dropping and retaking the lock for a single pair. The texts are read in place
// (see BorrowedText); nothing is copied.
#include "quillmatch/functions.h"

namespace quillmatch::py {

namespace {

// The calls most code makes: two exact str by position, and at most the case
// flag as a keyword holding True or False. Read here without the general
// binding, on interpreters that expose UTF-8 in place; any other call goes
// through the binding, and so does this one when a text fails to convert: the
// binding then converts it again and reports the failure with its note, so the
// error seen is the same either way.
struct CommonCall {
  TextView str_1, str_2;
  bool case_insensitive = false;
};

bool common_call(const CallSignature& sig, std::size_t flag, PyObject* args, PyObject* kwargs,
                 CommonCall& out) {
  if (!utf8_in_place() || PyTuple_Size(args) != 2) return false;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    if (PyDict_Size(kwargs) != 1 || !PyDict_Next(kwargs, &pos, &key, &value) ||
        !is_interned_param(sig, flag, key) || (value != Py_True && value != Py_False))
      return false;
    out.case_insensitive = value == Py_True;
  }
  PyObject* a = PyTuple_GetItem(args, 0);
  PyObject* b = PyTuple_GetItem(args, 1);
  if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return false;
  Py_ssize_t n1 = 0, n2 = 0;
  const char* d1 = PyUnicode_AsUTF8AndSize(a, &n1);
  const char* d2 = d1 ? PyUnicode_AsUTF8AndSize(b, &n2) : nullptr;
  if (!d2) {
    PyErr_Clear();
    return false;
  }
  out.str_1 = TextView(d1, static_cast<std::size_t>(n1));
  out.str_2 = TextView(d2, static_cast<std::size_t>(n2));
  return true;
}

// Where each signature keeps its case flag.
constexpr std::size_t kDistanceFlag = 3;
constexpr std::size_t kJaroWinklerFlag = 4;

template <auto kernel>
PyObject* distance(const CallSignature& sig, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    // The texts stay alive in `args` for the whole call.
    if (CommonCall c; common_call(sig, kDistanceFlag, args, kwargs, c))
      return distance_to_python(
          kernel(c.str_1, c.str_2, std::nullopt, c.case_insensitive, std::nullopt).value());
    Arguments a(sig);
    BorrowedText str_1, str_2;
    std::optional<std::uint64_t> max_len, score_cutoff;
    bool case_insensitive = false;
    if (!a.bind(args, kwargs) || !a.text_borrowed(0, str_1) || !a.text_borrowed(1, str_2) ||
        !a.u64(2, max_len) || !a.flag(3, case_insensitive) || !a.u64(4, score_cutoff))
      return nullptr;
    auto result = kernel(str_1.text, str_2.text, max_len, case_insensitive, score_cutoff);
    if (!result.ok()) return raise_match_error(result.error());
    return distance_to_python(result.value());
  });
}

}  // namespace

PyObject* levenshtein_bp(PyObject*, PyObject* args, PyObject* kwargs) {
  return distance<quillmatch::levenshtein_bp>(kLevenshteinBp, args, kwargs);
}

PyObject* damerau_bp(PyObject*, PyObject* args, PyObject* kwargs) {
  return distance<quillmatch::damerau_bp>(kDamerauBp, args, kwargs);
}

PyObject* jaro_winkler_similarity(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (CommonCall c; common_call(kJaroWinklerSimilarity, kJaroWinklerFlag, args, kwargs, c)) {
      auto result = quillmatch::jaro_winkler(c.str_1, c.str_2, std::nullopt, std::nullopt,
                                             c.case_insensitive, std::nullopt);
      if (!result.ok()) return raise_match_error(result.error());
      return PyFloat_FromDouble(result.value());
    }
    Arguments a(kJaroWinklerSimilarity);
    BorrowedText str_1, str_2;
    std::optional<double> p, score_cutoff;
    std::optional<std::uint64_t> max_len;
    bool case_insensitive = false;
    if (!a.bind(args, kwargs) || !a.text_borrowed(0, str_1) || !a.text_borrowed(1, str_2) ||
        !a.f64(2, p) || !a.u64(3, max_len) || !a.flag(4, case_insensitive) ||
        !a.f64(5, score_cutoff))
      return nullptr;
    auto result =
        quillmatch::jaro_winkler(str_1.text, str_2.text, p, max_len, case_insensitive,
                                 score_cutoff);
    if (!result.ok()) return raise_match_error(result.error());
    return PyFloat_FromDouble(result.value());
  });
}

}  // namespace quillmatch::py
