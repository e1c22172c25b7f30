// Probes that take candidates in exactly as the batch functions do and score
// nothing, so the cost of ingestion can be measured on its own. They keep the
// lock for the whole call.
#include "candidates.h"
#include "functions.h"

namespace quillmatch::py {

namespace {

template <class List, class Work>
PyObject* probe(const CallSignature& sig, PyObject* args, PyObject* kwargs,
                bool (*extract)(PyObject*, List&), Work&& work) {
  return guarded([&]() -> PyObject* {
    Arguments a(sig);
    List candidates;
    if (!a.bind(args, kwargs) || !a.convert(0, extract, candidates)) return nullptr;
    return PyLong_FromUnsignedLongLong(work(candidates));
  });
}

std::uint64_t count(const auto& candidates) { return candidates.size(); }

}  // namespace

PyObject* ingest_owned(PyObject*, PyObject* args, PyObject* kwargs) {
  return probe(kIngestOwned, args, kwargs, extract_candidates_owned,
               count<OwnedCandidates>);
}

PyObject* ingest_borrow(PyObject*, PyObject* args, PyObject* kwargs) {
  return probe(kIngestBorrow, args, kwargs, extract_candidates_borrowed,
               count<BorrowedCandidates>);
}

PyObject* ingest_borrow_and_deref(PyObject*, PyObject* args, PyObject* kwargs) {
  return probe(kIngestBorrowAndDeref, args, kwargs, extract_candidates_borrowed,
               [](const BorrowedCandidates& candidates) {
                 std::uint64_t total = 0;
                 for (const TextView& v : text_views(candidates)) total += v.size;
                 return total;
               });
}

}  // namespace quillmatch::py
