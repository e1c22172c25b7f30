// key_rows and bucket_pairs: the two native steps of the keyed self join
// (quillmatch/keyed.h) that a cluster's shuffle runs between.
//
// Arguments are taken in with the lock held, in parameter order; the keying
// or scoring then runs on this thread with the lock released (it reads only
// the held views and columns and writes only its own vectors), and the result
// arrays are filled with the lock held again. A call covers one partition or
// one group of a distributed run, so it does not look for signals.
#include <array>
#include <initializer_list>
#include <cstring>

#include "quillmatch/keyed.h"
#include "quillmatch_many/arrays.h"
#include "quillmatch_many/functions.h"
#include "quillmatch_many/inputs.h"
#include "quillmatch_many/released.h"

namespace quillmatch::py {

namespace {

constexpr Element kKeyElement{"uint64", "Q", 8};
constexpr Element kRoleElement{"int8", "b", 1};

bool extract_measure(PyObject* obj, Measure& out) {
  if (!PyUnicode_Check(obj)) return set_type_error(obj, "str");
  if (PyUnicode_CompareWithASCIIString(obj, "levenshtein") == 0) out = Measure::kLevenshtein;
  else if (PyUnicode_CompareWithASCIIString(obj, "damerau") == 0) out = Measure::kDamerau;
  else {
    PyErr_Format(PyExc_ValueError, "measure must be 'levenshtein' or 'damerau', not %R", obj);
    return false;
  }
  return true;
}

bool extract_key_bits(PyObject* obj, unsigned& out) {
  std::uint64_t bits = 0;
  if (!extract_u64(obj, bits)) return false;
  if (bits < 1 || bits > 64) {
    PyErr_SetString(PyExc_ValueError, "key_bits must lie in [1, 64]");
    return false;
  }
  out = static_cast<unsigned>(bits);
  return true;
}

// The measure, cutoff, folding, key bits, longest and normalized, in the
// slots they share: the measure at `at`, then score_cutoff, then (after
// `skip` other slots) case_insensitive, key_bits, longest and normalized,
// which is read first as the cutoff's type depends on it.
bool convert_join(Arguments& a, std::size_t at, std::size_t skip, KeyedJoin& out) {
  bool normalized = false;
  if (!a.flag(at + 5 + skip, normalized) || !a.convert(at, extract_measure, out.measure)) return false;
  if (normalized) {
    double c = 0;
    if (!a.convert(at + 1, extract_normalized_cutoff, c)) return false;
    out.min_similarity = c;
  } else if (!a.convert(at + 1, extract_u64, out.max_distance)) {
    return false;
  }
  if (!a.flag(at + 2 + skip, out.case_insensitive)) return false;
  std::optional<unsigned> bits;
  if (!a.optional(at + 3 + skip, extract_key_bits, bits)) return false;
  out.key_bits = bits.value_or(64);
  std::optional<std::uint64_t> longest;
  if (!a.u64(at + 4 + skip, longest)) return false;
  if (normalized && !longest) {
    PyErr_SetString(PyExc_TypeError, "with normalized=True, longest is required");
    return false;
  }
  out.longest = longest.value_or(UINT32_MAX);
  return true;
}

// A column's entries as T, whatever their width and sign (the same bits for
// 8-byte entries: a uint64 key may arrive as int64).
template <class T>
std::vector<T> entries(const IndexColumn& c) {
  std::vector<T> out(c.size);
  const auto* bytes = static_cast<const unsigned char*>(c.data);
  for (std::size_t k = 0; k < c.size; ++k) {
    std::uint64_t u = 0;
    std::int64_t s = 0;
    switch (c.width) {
      case 1: { std::int8_t v; std::memcpy(&v, bytes + k, 1); s = v; u = static_cast<std::uint8_t>(v); break; }
      case 2: { std::int16_t v; std::memcpy(&v, bytes + 2 * k, 2); s = v; u = static_cast<std::uint16_t>(v); break; }
      case 4: { std::int32_t v; std::memcpy(&v, bytes + 4 * k, 4); s = v; u = static_cast<std::uint32_t>(v); break; }
      default: { std::memcpy(&u, bytes + 8 * k, 8); s = static_cast<std::int64_t>(u); break; }
    }
    out[k] = static_cast<T>(c.is_signed || c.width == 8 ? static_cast<std::uint64_t>(s) : u);
  }
  return out;
}

// A result column: its entries, copied into a fresh array.
struct Column {
  Element element;
  const void* data;
  std::size_t size;
  template <class T>
  Column(Element e, const std::vector<T>& v) : element(e), data(v.data()), size(v.size()) {}
};

// The columns as a tuple of arrays.
PyObject* arrays_of(std::initializer_list<Column> columns) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
  if (!tuple) return nullptr;
  Py_ssize_t at = 0;
  for (const Column& c : columns) {
    OutArray array;
    if (!array.allocate(c.element, c.size, 0, false)) return nullptr;
    if (c.size) std::memcpy(array.data(), c.data, c.size * c.element.size);
    PyObject* item = array.release_as_python();
    if (!item || PyTuple_SetItem(tuple.get(), at++, item) < 0) return nullptr;  // steals item
  }
  return tuple.release();
}

// rows: the (keys, ids, roles) that key_rows() returns, or any sequence of
// three integer columns.
bool take_rows(PyObject* obj, std::array<Indices, 3>& out) {
  if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PySequence_Size(obj) != 3) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "rows must be a (keys, ids, roles) sequence");
    return false;
  }
  for (Py_ssize_t k = 0; k < 3; ++k) {
    Ref column(PySequence_GetItem(obj, k));
    if (!column || !take_indices(column.get(), out[static_cast<std::size_t>(k)])) return false;
  }
  return true;
}

}  // namespace

PyObject* key_rows(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    Arguments a(kKeyRows);
    Texts texts;
    Indices ids;
    KeyedJoin join;
    if (!a.bind(args, kwargs) || !a.convert(0, take_texts, texts) || !convert_join(a, 1, 1, join)) return nullptr;
    const bool given = !a.is_none(3);
    if (given && !a.convert(3, take_indices, ids)) return nullptr;
    if (!read_arrow({{&texts, "texts"}}, true, 1)) return nullptr;
    const auto views = texts.views();
    if (given && ids.column.size != views.size()) {
      PyErr_Format(PyExc_ValueError, "ids has %zu entries and texts %zu", ids.column.size, views.size());
      return nullptr;
    }
    const std::vector<std::int64_t> id_values = given ? entries<std::int64_t>(ids.column) : std::vector<std::int64_t>();
    KeyRows rows;
    std::optional<std::size_t> too_long;
    {
      Unlocked unlocked;
      too_long = quillmatch::key_rows(join, views, id_values, rows);
    }
    if (too_long) {
      PyErr_Format(PyExc_ValueError, "texts[%zu] is longer than longest = %llu code points", *too_long,
                   static_cast<unsigned long long>(join.longest));
      return nullptr;
    }
    return arrays_of({{kKeyElement, rows.keys}, {kIndexElement, rows.ids}, {kRoleElement, rows.roles}});
  });
}

PyObject* bucket_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    Arguments a(kBucketPairs);
    std::array<Indices, 3> columns;
    Texts texts;
    KeyedJoin join;
    if (!a.bind(args, kwargs) || !a.convert(0, take_rows, columns) || !a.convert(1, take_texts, texts) ||
        !convert_join(a, 2, 0, join) || !read_arrow({{&texts, "texts"}}, true, 1))
      return nullptr;
    const auto views = texts.views();
    const std::size_t n = views.size();
    if (columns[0].column.size != n || columns[1].column.size != n || columns[2].column.size != n) {
      PyErr_Format(PyExc_ValueError, "rows have %zu, %zu and %zu entries and texts %zu", columns[0].column.size,
                   columns[1].column.size, columns[2].column.size, n);
      return nullptr;
    }
    const auto keys = entries<std::uint64_t>(columns[0].column);
    const auto ids = entries<std::int64_t>(columns[1].column);
    const auto roles = entries<std::int8_t>(columns[2].column);
    KeyedPairs pairs;
    {
      Unlocked unlocked;
      quillmatch::bucket_pairs(join, keys, ids, roles, views, pairs);
    }
    if (join.min_similarity)
      return arrays_of({{kIndexElement, pairs.left}, {kIndexElement, pairs.right},
                        {element_of(ScoreType::F64), pairs.similarities}});
    return arrays_of({{kIndexElement, pairs.left}, {kIndexElement, pairs.right}, {kKeyElement, pairs.distances}});
  });
}

}  // namespace quillmatch::py
