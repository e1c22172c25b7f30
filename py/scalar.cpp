// The three measures of two strings. The lock is held for the whole call,
// however long the texts: the library call is short next to the cost of
// dropping and retaking the lock for a single pair. The texts are read in place
// (see BorrowedText); nothing is copied.
#include "functions.h"

namespace quillmatch::py {

namespace {

template <auto kernel>
PyObject* distance(const CallSignature& sig, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a(sig);
    BorrowedText str_1, str_2;
    std::optional<std::uint64_t> max_len, score_cutoff;
    bool case_insensitive = false;
    if (!a.bind(args, kwargs) || !a.text_borrowed(0, str_1) || !a.text_borrowed(1, str_2) ||
        !a.u64(2, max_len) || !a.flag(3, case_insensitive) || !a.u64(4, score_cutoff))
      return nullptr;
    auto result = kernel(str_1.text, str_2.text, max_len, case_insensitive, score_cutoff);
    if (!result.ok()) return raise_match_error(result.error());
    return PyLong_FromUnsignedLongLong(result.value());
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
