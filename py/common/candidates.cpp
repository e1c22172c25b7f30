#include "common/candidates.h"

#include <algorithm>
#include <cmath>

namespace quillmatch::py {

namespace {

// Reservations from a length that a container merely reports (any sequence
// that is iterated: a subclass may override __len__) are capped, so an absurd
// __len__ costs nothing; the holder grows as items arrive.
constexpr Py_ssize_t kMaxHintedReservation = Py_ssize_t{1} << 16;

// collections.abc.Sequence, imported the first time the error message needs
// it. Kept for the life of the process; the import runs under the lock.
PyObject* sequence_type() {
  static PyObject* cached = nullptr;
  if (!cached) {
    Ref abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return nullptr;
    PyObject* type = PyObject_GetAttrString(abc.get(), "Sequence");
    if (!type) return nullptr;
    if (cached)
      Py_DECREF(type);
    else
      cached = type;
  }
  return cached;
}

void release_all(PyObject** owners, std::size_t count) {
  release_each(owners, count, [](std::size_t) { return true; });
}

// Calls take(k, item) for items [begin, begin + count) of an indexed
// sequence, in order, until one returns false; `items` is scratch for count
// borrowed pointers. The item pointers are fetched first, so that each object
// can be asked for a few entries before it is taken.
template <class Take>
bool take_items(const CandidateSequence& seq, Py_ssize_t begin, std::size_t count,
                PyObject** items, Take take) {
  seq.items(begin, count, items);
  // Both of an object's first two lines: a short str's bytes follow its
  // header and often start or end in the second.
  auto fetch = [](const PyObject* item) {
    __builtin_prefetch(item);
    __builtin_prefetch(reinterpret_cast<const char*>(item) + 64);
  };
  for (std::size_t k = 0; k < std::min(count, kObjectPrefetchAhead); ++k) fetch(items[k]);
  for (std::size_t k = 0; k < count; ++k) {
    if (k + kObjectPrefetchAhead < count) fetch(items[k + kObjectPrefetchAhead]);
    if (!take(k, items[k])) return false;
  }
  return true;
}

// The text of a missing item: empty, at a readable byte.
constexpr TextView kMissingText("", 0);

// take_text, or, with `nulls`, a missing text taken as the empty text (its
// owner a new reference to the item) and `row` appended to them.
bool take_text_or_null(PyObject* item, std::size_t row, std::vector<std::size_t>* nulls,
                       PyObject*& owner, TextView& text) {
  if (!nulls || PyUnicode_Check(item) || !is_missing_text(item)) return take_text(item, owner, text);
  Py_INCREF(item);
  owner = item;
  text = kMissingText;
  nulls->push_back(row);
  return true;
}

// Takes items [begin, begin + count) of an indexed sequence in: owners[k] and
// views[k] for item begin + k (missing texts too, with `nulls`). On failure
// the owners already made are released.
bool take_range(const CandidateSequence& seq, Py_ssize_t begin, std::size_t count,
                PyObject** owners, TextView* views, std::vector<std::size_t>* nulls = nullptr) {
  // owners[] first holds the borrowed items; entry k becomes the owner when
  // item k is taken, so on failure at k only [0, k) hold references.
  return take_items(seq, begin, count, owners, [&](std::size_t k, PyObject* item) {
    if (take_text_or_null(item, static_cast<std::size_t>(begin) + k, nulls, owners[k], views[k])) return true;
    release_all(owners, k);
    return false;
  });
}

}  // namespace

bool CandidateSequence::open(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyObject* expected = sequence_type();
    return expected ? set_type_error(obj, expected) : false;
  }
  obj_ = obj;
  is_list_ = PyList_CheckExact(obj);
  if (is_list_)
    indexed_size_ = PyList_Size(obj);
  else if (PyTuple_CheckExact(obj))
    indexed_size_ = PyTuple_Size(obj);
  return true;
}

void CandidateSequence::items(Py_ssize_t begin, std::size_t count, PyObject** out) const {
  for (std::size_t k = 0; k < count; ++k) {
    const Py_ssize_t i = begin + static_cast<Py_ssize_t>(k);
    out[k] = is_list_ ? PyList_GetItem(obj_, i) : PyTuple_GetItem(obj_, i);
  }
}

bool take_text(PyObject* item, PyObject*& owner, TextView& text) {
  if (!PyUnicode_CheckExact(item) && !PyUnicode_Check(item)) return set_type_error(item, "str");
  return utf8_of(item, text, owner);
}

bool is_missing_text(PyObject* item) {
  if (item == Py_None) return true;
  if (PyFloat_Check(item)) return std::isnan(PyFloat_AsDouble(item));
  // pandas.NA's type says it is pandas' NAType (its __module__ moved between
  // versions, all under pandas).
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(item));
  Ref name(PyObject_GetAttr(type, names().name));
  Ref module(name ? PyObject_GetAttr(type, names().module) : nullptr);
  Ref pandas(module ? PyUnicode_FromString("pandas") : nullptr);
  const bool na = pandas && PyUnicode_Check(name.get()) && PyUnicode_Check(module.get()) &&
                  PyUnicode_CompareWithASCIIString(name.get(), "NAType") == 0 &&
                  PyUnicode_Tailmatch(module.get(), pandas.get(), 0, PY_SSIZE_T_MAX, -1) == 1;
  PyErr_Clear();
  return na;
}

bool HeldTexts::take_all(const CandidateSequence& seq, bool interruptible) {
  bool ok = false;
  if (seq.indexed_size() >= 0) {
    ok = start_taking(seq, interruptible, 1) && take_until(seq, static_cast<std::size_t>(seq.indexed_size()));
  } else {
    restart(interruptible);
    ok = take_iterated(seq);
  }
  if (!ok) release();
  return ok;
}

void HeldTexts::restart(bool interruptible) {
  release();
  null_rows_.clear();
  interruptible_ = interruptible;
  signalled_ = false;
}

bool HeldTexts::start_taking(const CandidateSequence& seq, bool interruptible, std::size_t parts) {
  restart(interruptible);
  expected_ = static_cast<std::size_t>(seq.indexed_size());
  // Reserved, not resized: the entries are written once, in order, and
  // appending within the reservation neither moves them nor throws once
  // references are made.
  views_.reserve(expected_);
  if (utf8_in_place()) {
    copies_.reset(expected_ * kShortTextBytes + parts * kPartGapBytes);
    next_copy_ = copies_.data();
  } else {
    owners_.reserve(expected_);
  }
  return true;
}

bool HeldTexts::take_until(const CandidateSequence& seq, std::size_t end) {
  for (std::size_t begin = views_.size(); begin < end; begin += TextChunk::kCapacity) {
    const std::size_t count = std::min(TextChunk::kCapacity, end - begin);
    if (interruptible_ && PyErr_CheckSignals() < 0) {
      signalled_ = true;
      return false;
    }
    if (!(utf8_in_place() ? take_copying(seq, begin, count) : take_referenced(seq, begin, count))) return false;
  }
  // The next part's copies start past what a reader of this part's last text
  // may load beyond its end.
  if (next_copy_) next_copy_ += kPartGapBytes;
  return true;
}

bool HeldTexts::take_referenced(const CandidateSequence& seq, std::size_t begin, std::size_t count) {
  std::array<PyObject*, TextChunk::kCapacity> owners;
  std::array<TextView, TextChunk::kCapacity> views;
  // A failed range has released its own references.
  if (!take_range(seq, static_cast<Py_ssize_t>(begin), count, owners.data(), views.data(),
                  accept_nulls_ ? &null_rows_ : nullptr))
    return false;
  owners_.insert(owners_.end(), owners.begin(), owners.begin() + count);
  views_.insert(views_.end(), views.begin(), views.begin() + count);
  for (std::size_t k = 0; k < count; ++k) longest_ = std::max(longest_, views[k].size);
  return true;
}

bool HeldTexts::take_copying(const CandidateSequence& seq, std::size_t begin, std::size_t count) {
  std::array<PyObject*, TextChunk::kCapacity> items;
  char* next = next_copy_;
  // Kept as the texts pass, where its compares hide behind their misses.
  std::size_t longest = longest_;
  const auto take = [&](std::size_t, PyObject* item) {
    if (!PyUnicode_CheckExact(item) && !PyUnicode_Check(item)) {
      if (!accept_nulls_ || !is_missing_text(item)) return set_type_error(item, "str");
      null_rows_.push_back(views_.size());
      views_.push_back(kMissingText);
      return true;
    }
    const TextView text = utf8_kept_by(item);
    if (!text.data) return false;
    longest = std::max(longest, text.size);
    if (text.size <= kShortTextBytes) {
      // Copy j starts within j * kShortTextBytes bytes and a gap per part
      // before it, so its full width fits in the room made. The view is made
      // in place from the two values, not copied from a temporary (see
      // utf8_kept_by).
      copy_short_text(text, next);
      views_.emplace_back(next, text.size);
      next += text.size;
      return true;
    }
    // Room first: nothing may throw once the reference is made.
    if (owners_.size() == owners_.capacity()) owners_.reserve(2 * owners_.size() + 64);
    Py_INCREF(item);
    owners_.push_back(item);
    views_.push_back(text);
    return true;
  };
  const bool ok = take_items(seq, static_cast<Py_ssize_t>(begin), count, items.data(), take);
  next_copy_ = next;
  longest_ = longest;
  return ok;
}

bool HeldTexts::take_iterated(const CandidateSequence& seq) {
  Py_ssize_t hint = PyObject_Size(seq.object());
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  hint = std::min(hint, kMaxHintedReservation);
  owners_.reserve(static_cast<std::size_t>(hint));
  views_.reserve(static_cast<std::size_t>(hint));

  Ref iter(PyObject_GetIter(seq.object()));
  if (!iter) return false;
  while (Ref item{PyIter_Next(iter.get())}) {
    // Room first: once take_text has made a reference, nothing may throw
    // before it is stored.
    if (owners_.size() == owners_.capacity()) {
      owners_.reserve(owners_.size() * 2 + 1);
      views_.reserve(owners_.capacity());
    }
    PyObject* owner = nullptr;
    TextView view;
    if (interruptible_ && views_.size() % TextChunk::kCapacity == 0 && PyErr_CheckSignals() < 0) return false;
    if (!take_text_or_null(item.get(), views_.size(), accept_nulls_ ? &null_rows_ : nullptr, owner, view))
      return false;
    owners_.push_back(owner);
    views_.push_back(view);
    longest_ = std::max(longest_, view.size);
  }
  return !PyErr_Occurred();
}

void HeldTexts::release() {
  release_all(owners_.data(), owners_.size());
  owners_.clear();
  views_.clear();
  copies_.reset(0);
  next_copy_ = nullptr;
  expected_ = 0;
  longest_ = 0;
}

bool TextChunk::take(const CandidateSequence& seq, Py_ssize_t begin, std::size_t count) {
  release();
  if (!take_range(seq, begin, count, owners_.data(), views_.data())) return false;
  count_ = count;
  return true;
}

void TextChunk::release() {
  release_all(owners_.data(), count_);
  count_ = 0;
}

bool extract_candidates_owned(PyObject* obj, OwnedCandidates& out) {
  CandidateSequence seq;
  HeldTexts held;
  if (!seq.open(obj) || !held.take_all(seq)) return false;
  out.clear();
  out.reserve(held.size());
  for (const TextView& v : held.views()) out.push_back(OwnedText{std::string(v.view())});
  return true;
}

}  // namespace quillmatch::py
