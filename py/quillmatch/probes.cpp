// Probes that take candidates in exactly as the batch functions do and score
// nothing, so the cost of ingestion can be measured on its own. They keep the
// lock for the whole call.
#include "common/candidates.h"
#include "quillmatch/functions.h"

namespace quillmatch::py {

namespace {

template <class Work>
PyObject* probe(const CallSignature& sig, PyObject* args, PyObject* kwargs, Work&& work) {
  return guarded([&]() -> PyObject* {
    Arguments a(sig);
    if (!a.bind(args, kwargs)) return nullptr;
    std::uint64_t result = 0;
    if (!a.convert(0, work, result)) return nullptr;
    return PyLong_FromUnsignedLongLong(result);
  });
}

// The batch functions' own take-in, then `finish` over what it holds.
template <class Finish>
auto borrowing(Finish&& finish) {
  return [finish](PyObject* obj, std::uint64_t& out) {
    CandidateSequence seq;
    HeldTexts held;
    if (!seq.open(obj) || !held.take_all(seq)) return false;
    out = finish(held);
    return true;
  };
}

}  // namespace

PyObject* ingest_owned(PyObject*, PyObject* args, PyObject* kwargs) {
  return probe(kIngestOwned, args, kwargs, [](PyObject* obj, std::uint64_t& out) {
    OwnedCandidates candidates;
    if (!extract_candidates_owned(obj, candidates)) return false;
    out = candidates.size();
    return true;
  });
}

PyObject* ingest_borrow(PyObject*, PyObject* args, PyObject* kwargs) {
  return probe(kIngestBorrow, args, kwargs,
               borrowing([](const HeldTexts& held) -> std::uint64_t { return held.size(); }));
}

PyObject* ingest_borrow_and_deref(PyObject*, PyObject* args, PyObject* kwargs) {
  return probe(kIngestBorrowAndDeref, args, kwargs,
               borrowing([](const HeldTexts& held) -> std::uint64_t {
                 std::uint64_t total = 0;
                 for (const TextView& v : held.views()) total += v.size;
                 return total;
               }));
}

}  // namespace quillmatch::py
