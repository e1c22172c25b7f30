#include "candidates.h"

#include <algorithm>

namespace quillmatch::py {

namespace {

// Reservations from a length the container merely reports are capped, so an
// absurd __len__ costs nothing; exact lists and tuples report their true length
// and are reserved in full (a subclass may override __len__).
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

template <class Item, class Extract>
bool extract_candidates(PyObject* obj, std::vector<Item>& out, Extract&& extract) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyObject* expected = sequence_type();
    return expected ? set_type_error(obj, expected) : false;
  }
  Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj))
    hint = std::min(hint, kMaxHintedReservation);
  out.clear();
  out.reserve(static_cast<std::size_t>(hint));

  Ref iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Ref item{PyIter_Next(iter.get())}) {
    Item entry;
    if (!extract(item.get(), entry)) {
      out.clear();
      return false;
    }
    out.push_back(std::move(entry));
  }
  if (PyErr_Occurred()) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace

bool extract_candidates_borrowed(PyObject* obj, BorrowedCandidates& out) {
  return extract_candidates(obj, out, extract_text_borrowed);
}

bool extract_candidates_owned(PyObject* obj, OwnedCandidates& out) {
  return extract_candidates(obj, out, extract_text_owned);
}

std::vector<TextView> text_views(const BorrowedCandidates& candidates) {
  std::vector<TextView> views;
  views.reserve(candidates.size());
  for (const BorrowedText& c : candidates) views.push_back(c.text);
  return views;
}

}  // namespace quillmatch::py
