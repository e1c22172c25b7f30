// One query against many candidates. The lock is released around the engine
// from kReleaseLockThreshold candidates up; below that the cost of dropping and
// retaking it is not worth paying.
//
// While the lock is released only the view array and the bytes buffers are
// read; both are kept alive by this call's references, and the bytes objects
// are immutable, so other threads mutating the candidate container cannot
// affect the result. No reference count changes without the lock: the
// references are released when the call's holders go out of scope, after the
// lock has been taken back.
#include <vector>

#include "candidates.h"
#include "functions.h"

namespace quillmatch::py {

namespace {

constexpr std::size_t kReleaseLockThreshold = 10'000;

// Runs the engine on the views of the candidates, without the lock when the
// batch is large. An exception leaving the engine retakes the lock first (see
// ReleasedLock).
template <class Engine>
auto run_engine(const BorrowedCandidates& candidates, Engine&& engine) {
  if (candidates.size() < kReleaseLockThreshold) return engine(text_views(candidates));
  ReleasedLock unlocked;
  return engine(text_views(candidates));
}

template <class T, class Convert>
PyObject* build_list(const std::vector<T>& values, Convert&& convert) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = convert(values[i]);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

template <auto engine>
PyObject* distance_batch(const CallSignature& sig, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a(sig);
    BorrowedText query;
    BorrowedCandidates candidates;
    bool case_insensitive = false;
    if (!a.bind(args, kwargs) || !a.text_borrowed(0, query) ||
        !a.convert(1, extract_candidates_borrowed, candidates) || !a.flag(2, case_insensitive))
      return nullptr;
    const std::vector<std::uint64_t> distances =
        run_engine(candidates, [&](const std::vector<TextView>& views) {
          return engine(query.text, views, case_insensitive);
        });
    return build_list(distances, [](std::uint64_t d) { return PyLong_FromUnsignedLongLong(d); });
  });
}

}  // namespace

PyObject* levenshtein_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  return distance_batch<quillmatch::levenshtein_batch>(kLevenshteinBatch, args, kwargs);
}

PyObject* damerau_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  return distance_batch<quillmatch::damerau_batch>(kDamerauBatch, args, kwargs);
}

PyObject* jaro_winkler_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a(kJaroWinklerBatch);
    BorrowedText query;
    BorrowedCandidates candidates;
    std::optional<double> p;
    bool case_insensitive = false;
    if (!a.bind(args, kwargs) || !a.text_borrowed(0, query) ||
        !a.convert(1, extract_candidates_borrowed, candidates) || !a.f64(2, p) ||
        !a.flag(3, case_insensitive))
      return nullptr;
    auto result = run_engine(candidates, [&](const std::vector<TextView>& views) {
      return quillmatch::jaro_winkler_batch(query.text, views, p, case_insensitive);
    });
    if (!result.ok()) return raise_match_error(result.error());
    return build_list(result.value(), [](double s) { return PyFloat_FromDouble(s); });
  });
}

}  // namespace quillmatch::py
