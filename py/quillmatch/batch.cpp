// One query against many candidates.
//
// Below kReleaseLockThreshold candidates the whole call holds the lock, and an
// exact list or tuple is scored in one pass: each chunk of candidates is taken
// in and scored at once, while its texts are still in cache. That needs the
// flag (and p) before the candidates are converted, so the one pass is taken
// only when reading them early cannot be observed (absent, None, an exact bool
// or float); otherwise, and for any other sequence, every candidate is taken in
// first and the later arguments converted after, in parameter order.
//
// From kReleaseLockThreshold candidates up, every text is taken in first (the
// call's snapshot: later changes to the container cannot reach the result),
// then the lock is released around the scoring alone. Without the lock only the
// view array and the bytes it points into are read; the call holds the
// references that keep them alive, and releases them after the lock is back.
#include <array>
#include <bit>
#include <memory>
#include <type_traits>
#include <vector>

#include "common/candidates.h"
#include "quillmatch/functions.h"

namespace quillmatch::py {

namespace {

constexpr std::size_t kReleaseLockThreshold = 10'000;

class IntBoxes {
 public:
  explicit IntBoxes(std::size_t) : small_(small_ints()) {}
  PyObject* operator()(std::uint64_t d) const { return distance_to_python(d, small_); }

 private:
  const std::array<PyObject*, kSmallInts>& small_;
};

// Within one call, equal similarities share one float object. A batch over
// short words yields a few hundred distinct values; a float per entry would
// cost an allocation now, a free when the list dies and 24 bytes an entry.
// Floats are immutable, so sharing is invisible to every use but `is`.
// A direct-mapped cache keyed by the value's bits: a collision only replaces
// the slot. Small batches skip it (its table would cost more than it saves).
// Holds a reference per filled slot; needs the lock, as does its destructor.
class FloatBoxes {
 public:
  explicit FloatBoxes(std::size_t entries) : cached_(entries >= kMinEntries) {
    if (cached_) slots_ = std::make_unique<Slot[]>(kSlots);
  }
  FloatBoxes(const FloatBoxes&) = delete;
  FloatBoxes& operator=(const FloatBoxes&) = delete;
  ~FloatBoxes() {
    if (!cached_) return;
    for (std::size_t k = 0; k < kSlots; ++k) Py_XDECREF(slots_[k].obj);
  }

  PyObject* operator()(double s) {
    if (!cached_) return PyFloat_FromDouble(s);
    const auto bits = std::bit_cast<std::uint64_t>(s);
    // Fibonacci hashing: the top bits of the product mix every bit of the value.
    Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15u) >> (64 - kLogSlots)];
    if (slot.obj == nullptr || slot.bits != bits) {
      PyObject* obj = PyFloat_FromDouble(s);
      if (!obj) return nullptr;
      Py_XDECREF(slot.obj);
      slot = {bits, obj};
    }
    Py_INCREF(slot.obj);
    return slot.obj;
  }

 private:
  static constexpr unsigned kLogSlots = 10;
  static constexpr std::size_t kSlots = std::size_t{1} << kLogSlots;
  static constexpr std::size_t kMinEntries = 256;
  struct Slot {
    std::uint64_t bits = 0;
    PyObject* obj = nullptr;
  };
  bool cached_;
  std::unique_ptr<Slot[]> slots_;
};

template <class Value>
using Boxes = std::conditional_t<std::is_same_v<Value, double>, FloatBoxes, IntBoxes>;

bool open_candidates(PyObject* obj, CandidateSequence& out) { return out.open(obj); }

template <class Value>
bool set_items(PyObject* list, Py_ssize_t begin, std::span<const Value> values,
               Boxes<Value>& box) {
  for (std::size_t k = 0; k < values.size(); ++k) {
    PyObject* item = box(values[k]);
    if (!item) return false;
    PyList_SetItem(list, begin + static_cast<Py_ssize_t>(k), item);  // steals item
  }
  return true;
}

// The one pass over an exact list or tuple below the threshold.
template <class Value, class Scorer>
PyObject* score_in_one_pass(const CallSignature& sig, const CandidateSequence& seq,
                            const Scorer& scorer) {
  const Py_ssize_t n = seq.indexed_size();
  Ref list(PyList_New(n));
  if (!list) return nullptr;
  TextChunk chunk;
  std::array<Value, TextChunk::kCapacity> values;
  Boxes<Value> box(static_cast<std::size_t>(n));
  for (Py_ssize_t begin = 0; begin < n; begin += TextChunk::kCapacity) {
    const auto count =
        static_cast<std::size_t>(std::min<Py_ssize_t>(TextChunk::kCapacity, n - begin));
    if (!chunk.take(seq, begin, count)) {
      annotate_argument_error(sig.params[1]);
      return nullptr;
    }
    const std::span<Value> out(values.data(), count);
    scorer.score(chunk.views(), out);
    if (!set_items<Value>(list.get(), begin, out, box)) return nullptr;
  }
  return list.release();
}

// Scores a snapshot, without the lock when it is large.
template <class Value, class Scorer>
PyObject* score_held(HeldTexts& held, const Scorer& scorer) {
  BigArray<Value> result(held.size());
  const std::span<Value> values(result.data(), result.size());
  if (held.size() < kReleaseLockThreshold) {
    scorer.score(held.views(), values);
  } else {
    ReleasedLock unlocked;
    scorer.score(held.views(), values);
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  Boxes<Value> box(values.size());
  const bool ok = held.release_with([&](std::size_t k) {
    PyObject* item = box(values[k]);
    if (!item) return false;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item);  // steals item
    return true;
  });
  return ok ? list.release() : nullptr;
}

// The snapshot, converted as the candidates argument: failures carry its note.
bool take_all(Arguments& a, const CandidateSequence& seq, HeldTexts& held) {
  return a.convert(1, [&](PyObject*, HeldTexts& out) { return out.take_all(seq); }, held);
}

bool below_threshold(const CandidateSequence& seq) {
  return seq.indexed_size() >= 0 &&
         static_cast<std::size_t>(seq.indexed_size()) < kReleaseLockThreshold;
}

template <DistanceScorer (*make)(TextView, bool)>
PyObject* distance_batch(const CallSignature& sig, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a(sig);
    BorrowedText query;
    CandidateSequence seq;
    if (!a.bind(args, kwargs) || !a.text_borrowed(0, query) ||
        !a.convert(1, open_candidates, seq))
      return nullptr;
    if (const std::optional<bool> early = a.flag_without_effects(2); early && below_threshold(seq))
      return score_in_one_pass<std::uint64_t>(sig, seq, make(query.text, *early));

    HeldTexts held;
    if (!take_all(a, seq, held)) return nullptr;
    bool case_insensitive = false;
    if (!a.flag(2, case_insensitive)) return nullptr;
    return score_held<std::uint64_t>(held, make(query.text, case_insensitive));
  });
}

}  // namespace

PyObject* levenshtein_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  return distance_batch<DistanceScorer::levenshtein>(kLevenshteinBatch, args, kwargs);
}

PyObject* damerau_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  return distance_batch<DistanceScorer::damerau>(kDamerauBatch, args, kwargs);
}

PyObject* jaro_winkler_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  const CallSignature& sig = kJaroWinklerBatch;
  return guarded([&]() -> PyObject* {
    Arguments a(sig);
    BorrowedText query;
    CandidateSequence seq;
    if (!a.bind(args, kwargs) || !a.text_borrowed(0, query) ||
        !a.convert(1, open_candidates, seq))
      return nullptr;
    // A p out of range is reported after the candidates, so an early p that
    // fails the check leaves the one pass to the two-pass path.
    const std::optional<std::optional<double>> early_p = a.f64_without_effects(2);
    const std::optional<bool> early_flag = a.flag_without_effects(3);
    if (early_p && early_flag && below_threshold(seq)) {
      Result<JaroWinklerScorer> scorer = JaroWinklerScorer::make(query.text, *early_p, *early_flag);
      if (scorer.ok()) return score_in_one_pass<double>(sig, seq, scorer.value());
    }

    HeldTexts held;
    if (!take_all(a, seq, held)) return nullptr;
    std::optional<double> p;
    bool case_insensitive = false;
    if (!a.f64(2, p) || !a.flag(3, case_insensitive)) return nullptr;
    Result<JaroWinklerScorer> scorer = JaroWinklerScorer::make(query.text, p, case_insensitive);
    if (!scorer.ok()) return raise_match_error(scorer.error());
    return score_held<double>(held, scorer.value());
  });
}

}  // namespace quillmatch::py
