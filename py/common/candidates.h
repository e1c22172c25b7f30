// Taking a candidate sequence in: the conversions the batch functions and the
// probes share, and the held texts the engines read.
//
// Every function here needs the interpreter lock, except reading the views of
// a HeldTexts that the call keeps alive.
#pragma once

#include <Python.h>

#include <array>
#include <span>
#include <vector>

#include "common/big_blocks.h"
#include "common/frame.h"

namespace quillmatch::py {

// The objects of a large list lie far apart: asking for the one some entries
// ahead overlaps its cache miss with the work on the entries between. Each
// entry takes about 10 ns here, and a miss to memory several times that, so
// the request goes 32 entries ahead. Asking for many at once would not help:
// the processor keeps only about ten misses in flight, and the rest of the
// requests would wait in line with nothing else running.
inline constexpr std::size_t kObjectPrefetchAhead = 32;

// Past the last text of a part taken in while a run reads the part before
// (HeldTexts::start_taking), this many bytes are left unwritten: a reader
// loads at most kShortTextBytes from a copied text's start (short_ascii, the
// narrowing, the pattern registers: see within_page), so what it loads past
// the part's end is never being written by the taking of the next.
inline constexpr std::size_t kPartGapBytes = 2 * kShortTextBytes;

// Gives up owners[0, count), calling step(k) just before owner k goes, so that
// other work over the same candidates can share the pass (its misses overlap
// the releases'). Stops calling step after the first false; releases every
// owner anyway, and returns whether every step succeeded. Needs the lock.
template <class Step>
bool release_each(PyObject* const* owners, std::size_t count, Step step) {
  bool ok = true;
  for (std::size_t k = 0; k < count; ++k) {
    if (k + kObjectPrefetchAhead < count) __builtin_prefetch(owners[k + kObjectPrefetchAhead], 1);
    ok = ok && step(k);
    Py_DECREF(owners[k]);
  }
  return ok;
}

// The candidates argument once it has passed the container checks: a str is
// refused ("Can't extract `str` to `Vec`") and so is anything that is not a
// sequence. An exact list or tuple is read by index, which is what its own
// iterator does; nothing taking a str in runs Python code, so the container
// cannot change while its items are read. Any other sequence is iterated.
class CandidateSequence {
 public:
  // False with the Python error set when the object is refused.
  bool open(PyObject* obj);

  // The item count of an exact list or tuple, or -1 for a sequence that must
  // be iterated.
  Py_ssize_t indexed_size() const { return indexed_size_; }

  // Items [begin, begin + count) of an exact list or tuple, borrowed.
  // REQUIRES: indexed_size() >= begin + count.
  void items(Py_ssize_t begin, std::size_t count, PyObject** out) const;

  PyObject* object() const { return obj_; }

 private:
  PyObject* obj_ = nullptr;
  Py_ssize_t indexed_size_ = -1;
  bool is_list_ = false;
};

// One candidate's UTF-8 bytes and a new reference keeping them alive (see
// BorrowedText). A non-str item is the type error expecting "str".
bool take_text(PyObject* item, PyObject*& owner, TextView& text);

// Whether an item of a column of texts stands for a missing text: None, a
// float NaN (pandas' marker in object columns; numpy's float64 is a float)
// or pandas.NA (known by its type, without importing pandas).
bool is_missing_text(PyObject* item);

// Candidates taken in, in iteration order: their views, all released when the
// holder ends. A text is either kept alive by a reference or, when it is short
// and read from an exact list or tuple where the str itself keeps it (3.10 and
// later), copied into the holder's own bytes, end to end. A copy is as good a
// snapshot as a reference and leaves nothing to give back: a long list of
// short words is then read where the interpreter keeps it once, and scored
// from packed copies, and its release touches no str again.
// Destroying it needs the lock; reading views() does not.
class HeldTexts {
 public:
  HeldTexts() = default;
  HeldTexts(const HeldTexts&) = delete;
  HeldTexts& operator=(const HeldTexts&) = delete;
  ~HeldTexts() { release(); }

  std::span<const TextView> views() const { return views_; }
  std::size_t size() const { return views_.size(); }
  // The size in bytes of the longest text held.
  std::size_t longest() const { return longest_; }

  // Takes every candidate of the sequence in, before anything else reads one:
  // this is the snapshot a call works on. False with the Python error set
  // (and nothing held) when an item or the iteration fails.
  // interruptible: runs the signal handlers between chunks of items, and
  // fails with the exception of one that raised (Ctrl-C while a long list is
  // taken in).
  bool take_all(const CandidateSequence& seq, bool interruptible = false);

  // take_all of an exact list or tuple in parts, so that a run can score the
  // rows taken while the rest are taken: start_taking makes room for every
  // item (`parts`: at most how many take_until calls follow), and each
  // take_until takes the items from size() up to `end`. arriving() has a view
  // per item from the start; views [0, size()) are written, and neither they
  // nor the bytes they show move or change while more are taken, nor does
  // anything a reader of a text may load past its end (kPartGapBytes).
  // On a failure, release() (with any reader of arriving() stopped first).
  // REQUIRES: seq.indexed_size() >= 0; end <= that size.
  bool start_taking(const CandidateSequence& seq, bool interruptible, std::size_t parts);
  bool take_until(const CandidateSequence& seq, std::size_t end);
  std::span<const TextView> arriving() const { return {views_.data(), expected_}; }
  // Whether the last failure was a signal handler's exception (Ctrl-C), not
  // an item's.
  bool signalled() const { return signalled_; }

  // From then on take_all takes a missing text (is_missing_text) as the
  // empty text, and lists its position in null_rows(), in order.
  void accept_nulls() { accept_nulls_ = true; }
  std::span<const std::size_t> null_rows() const { return null_rows_; }

  void release();

  // Calls step(k) for each k < size() in order, stopping at the first that
  // returns false, and releases the held texts; returns whether every step
  // succeeded. When every text is held by a reference, step(k) runs just
  // before candidate k's is given up, so that a batch's result is built in
  // the pass that releases (its misses overlapping the releases').
  template <class Step>
  bool release_with(Step step) {
    bool ok = true;
    if (owners_.size() == views_.size()) {
      ok = release_each(owners_.data(), owners_.size(), step);
      owners_.clear();
    } else {
      for (std::size_t k = 0; ok && k < views_.size(); ++k) ok = step(k);
    }
    release();
    return ok;
  }

 private:
  // Gives up what is held and starts a new taking in.
  void restart(bool interruptible);
  bool take_copying(const CandidateSequence& seq, std::size_t begin, std::size_t count);
  bool take_referenced(const CandidateSequence& seq, std::size_t begin, std::size_t count);
  bool take_iterated(const CandidateSequence& seq);

  std::vector<PyObject*, BigBlockAllocator<PyObject*>> owners_;
  std::vector<TextView, BigBlockAllocator<TextView>> views_;
  // The copies, when copying: room for every candidate at its longest, of
  // which the pages past the last copy are never touched.
  BigArray<char> copies_;
  char* next_copy_ = nullptr;
  std::size_t expected_ = 0;  // the items of the sequence being taken
  std::size_t longest_ = 0;
  bool signalled_ = false;
  bool interruptible_ = false;
  bool accept_nulls_ = false;
  std::vector<std::size_t> null_rows_;
};

// A fixed run of candidates taken in together and released together, for
// scoring a list in one pass while its texts are still in cache.
class TextChunk {
 public:
  static constexpr std::size_t kCapacity = 256;

  TextChunk() = default;
  TextChunk(const TextChunk&) = delete;
  TextChunk& operator=(const TextChunk&) = delete;
  ~TextChunk() { release(); }

  // Takes items [begin, begin + count) of an indexed sequence in, replacing
  // what the chunk held. REQUIRES: count <= kCapacity.
  bool take(const CandidateSequence& seq, Py_ssize_t begin, std::size_t count);
  std::span<const TextView> views() const { return {views_.data(), count_}; }
  void release();

 private:
  std::array<PyObject*, kCapacity> owners_{};
  std::array<TextView, kCapacity> views_{};
  std::size_t count_ = 0;
};

// The copying conversion of the _ingest_owned probe.
using OwnedCandidates = std::vector<OwnedText>;
bool extract_candidates_owned(PyObject* obj, OwnedCandidates& out);

}  // namespace quillmatch::py
