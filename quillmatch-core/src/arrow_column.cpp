// Reading Arrow string columns in place (see arrow_column.h for the contract).
//
// A chunk is read in a fixed order, which is also the order in which its
// faults are reported: the structure (lengths, buffer counts and pointers),
// then for a plain chunk the nulls (the first null row), then for utf8 and
// large_utf8 all the offsets before any byte, for utf8_view each row's view
// and bytes in one pass (the first row failing either). A dictionary chunk checks the dictionary's
// structure, then goes through its rows in order, stopping at the first that
// is null, has an index out of range or an entry of invalid UTF-8; each entry
// is validated the first time a row uses it.
#include "quillmatch/arrow_column.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include "text.h"

namespace quillmatch {

namespace {

using Kind = ArrowReadError::Kind;
using Strings = TextColumn::Strings;
using Layout = TextColumn::Layout;

constexpr std::size_t kViewBytes = 16;    // one utf8_view entry
constexpr std::int32_t kInlineBytes = 12;  // texts up to this long sit in the view
constexpr std::size_t kMaxFormatShown = 32;
constexpr std::uint64_t kMaxEntries = std::uint64_t{1} << 48;

ArrowReadError at(Kind kind, std::uint64_t position) {
  ArrowReadError e;
  e.kind = kind;
  e.position = position;
  return e;
}
ArrowReadError malformed(const char* what) {
  ArrowReadError e;
  e.kind = Kind::kMalformed;
  e.detail = what;
  return e;
}
ArrowReadError unsupported(const char* format) {
  ArrowReadError e;
  e.kind = Kind::kUnsupportedFormat;
  e.detail = format ? std::string(format, strnlen(format, kMaxFormatShown)) : "(none)";
  return e;
}

bool is_index_format(std::string_view f) {
  return f.size() == 1 && std::string_view("cCsSiIlL").find(f[0]) != std::string_view::npos;
}

std::optional<Strings> strings_of(const char* format) {
  if (!format) return std::nullopt;
  const std::string_view f(format, strnlen(format, 3));
  if (f == "u") return Strings::kUtf8;
  if (f == "U") return Strings::kLargeUtf8;
  if (f == "vu") return Strings::kView;
  return std::nullopt;
}

template <class T>
T load(const void* base, std::size_t index) {
  T v;
  std::memcpy(&v, static_cast<const unsigned char*>(base) + index * sizeof(T), sizeof(T));
  return v;
}

// The part of an array a read covers: rows [start, start + length) of its
// logical rows, which sit at physical index array.offset + start + i.
// A struct's rows are its child's rows shifted by the struct's own offset.
struct Range {
  const ArrowArray* array;
  std::uint64_t first;  // physical index of the first row
  std::uint64_t length;
};

// Checks what every array shares and that rows [start, start + length) exist.
std::optional<ArrowReadError> check_array(const ArrowArray& a, std::int64_t n_buffers,
                                          std::uint64_t start, std::uint64_t length,
                                          Range& out) {
  if (a.length < 0 || a.offset < 0) return malformed("negative length or offset");
  if (a.n_buffers != n_buffers && !(n_buffers < 0 && a.n_buffers >= -n_buffers))
    return malformed("unexpected number of buffers");
  if (a.n_buffers > 0 && !a.buffers) return malformed("missing buffer list");
  const auto alen = static_cast<std::uint64_t>(a.length);
  if (start > alen || length > alen - start) return malformed("child shorter than its parent");
  // No buffer reaches past 2**48 entries, so positions stay far from overflow
  // even as byte offsets of 16-byte views.
  const auto offset = static_cast<std::uint64_t>(a.offset);
  if (offset >= kMaxEntries || alen >= kMaxEntries - offset) return malformed("offset past any buffer");
  out = Range{&a, offset + start, length};
  return std::nullopt;
}

// The first row of the range whose validity bit is clear, or range.length.
std::uint64_t first_null(const Range& r) {
  const ArrowArray& a = *r.array;
  if (a.null_count == 0 || r.length == 0) return r.length;
  const auto* bits = static_cast<const unsigned char*>(a.buffers[0]);
  if (!bits) return r.length;  // no bitmap: no nulls
  std::uint64_t i = 0;
  const auto bit = [&](std::uint64_t k) { return (bits[(r.first + k) >> 3] >> ((r.first + k) & 7)) & 1; };
  for (; i < r.length && ((r.first + i) & 7) != 0; ++i)
    if (!bit(i)) return i;
  // Whole bytes from here, eight at a time while they last.
  for (; r.length - i >= 64; i += 64) {
    const auto w = load<std::uint64_t>(bits + ((r.first + i) >> 3), 0);
    if (w != ~std::uint64_t{0}) break;
  }
  for (; i < r.length; ++i)
    if (!bit(i)) return i;
  return r.length;
}

template <class Offset>
const Offset* offsets_of(const Range& r) {
  return static_cast<const Offset*>(r.array->buffers[1]) + r.first;
}

// A string array (u, U, vu) whose structure has been checked: entry(i) is the
// text of physical row r.first + i, not yet known to be valid UTF-8.
class StringEntries {
 public:
  // Checks the structure of rows [0, r.length): offsets or views. `bad` is
  // the first faulty row when the fault has a row.
  std::optional<ArrowReadError> check(Strings s, const Range& r, std::uint64_t base) {
    s_ = s;
    r_ = r;
    const ArrowArray& a = *r.array;
    if (r.length == 0) return std::nullopt;
    if (!a.buffers[1]) return malformed("missing offsets or views buffer");
    if (s == Strings::kUtf8) return check_offsets<std::int32_t>(base);
    if (s == Strings::kLargeUtf8) return check_offsets<std::int64_t>(base);
    return check_views(base);
  }

  TextView entry(std::uint64_t i) const {
    const ArrowArray& a = *r_.array;
    if (s_ == Strings::kView) {
      const auto* view = static_cast<const char*>(a.buffers[1]) + (r_.first + i) * kViewBytes;
      const auto size = load<std::int32_t>(view, 0);
      if (size <= kInlineBytes) return TextView(view + 4, static_cast<std::size_t>(size));
      const auto buffer = load<std::int32_t>(view + 8, 0);
      const auto offset = load<std::int32_t>(view + 12, 0);
      return TextView(static_cast<const char*>(a.buffers[2 + buffer]) + offset,
                      static_cast<std::size_t>(size));
    }
    const auto [from, to] = bounds(i);
    return TextView(static_cast<const char*>(a.buffers[2]) + from, to - from);
  }

  // The data bytes [first offset, last offset) of u and U, or nothing.
  std::string_view data() const {
    if (s_ == Strings::kView || r_.length == 0) return {};
    const auto from = bounds(0).first, to = bounds(r_.length - 1).second;
    return {static_cast<const char*>(r_.array->buffers[2]) + from, to - from};
  }

 private:
  std::pair<std::size_t, std::size_t> bounds(std::uint64_t i) const {
    if (s_ == Strings::kUtf8) {
      const auto* o = offsets_of<std::int32_t>(r_);
      return {static_cast<std::size_t>(o[i]), static_cast<std::size_t>(o[i + 1])};
    }
    const auto* o = offsets_of<std::int64_t>(r_);
    return {static_cast<std::size_t>(o[i]), static_cast<std::size_t>(o[i + 1])};
  }

  template <class Offset>
  std::optional<ArrowReadError> check_offsets(std::uint64_t base) {
    const Offset* o = offsets_of<Offset>(r_);
    if (o[0] < 0) return at(Kind::kBadOffsets, base);
    // One compare per row, folded into a flag so the loop has no early exit
    // to block vectorisation; the faulty row is searched for only on failure.
    bool ok = true;
    for (std::uint64_t i = 0; i < r_.length; ++i) ok &= o[i] <= o[i + 1];
    if (!ok) {
      std::uint64_t i = 0;
      while (o[i] <= o[i + 1]) ++i;
      return at(Kind::kBadOffsets, base + i);
    }
    if (o[r_.length] > o[0] && !r_.array->buffers[2]) return malformed("missing data buffer");
    return std::nullopt;
  }

  std::optional<ArrowReadError> check_views(std::uint64_t base) {
    const ArrowArray& a = *r_.array;
    const std::int64_t variadic = a.n_buffers - 3;
    const void* sizes = a.buffers[a.n_buffers - 1];
    if (variadic > 0 && !sizes) return malformed("missing variadic buffer sizes");
    const auto* views = static_cast<const char*>(a.buffers[1]) + r_.first * kViewBytes;
    for (std::uint64_t i = 0; i < r_.length; ++i) {
      const char* view = views + i * kViewBytes;
      const auto size = load<std::int32_t>(view, 0);
      if (size < 0) return at(Kind::kBadView, base + i);
      if (size <= kInlineBytes) continue;
      const auto buffer = load<std::int32_t>(view + 8, 0);
      const auto offset = load<std::int32_t>(view + 12, 0);
      if (buffer < 0 || buffer >= variadic || offset < 0 || !a.buffers[2 + buffer] ||
          std::int64_t{offset} + size > load<std::int64_t>(sizes, static_cast<std::size_t>(buffer)))
        return at(Kind::kBadView, base + i);
    }
    return std::nullopt;
  }

  Strings s_ = Strings::kUtf8;
  Range r_{};
};

bool valid_utf8(TextView t) { return is_ascii(t.view()) || utf8_valid_prefix(t.view()) == t.size; }

std::int64_t buffers_of(Strings s) { return s == Strings::kView ? -3 : 3; }

// The rows of a utf8 or large_utf8 array: all offsets checked first, then the
// bytes, in one pass over the chunk's data when it is all ASCII.
template <class Offset>
std::optional<ArrowReadError> read_offsets(Strings s, const Range& r, std::uint64_t base,
                                           TextView* out) {
  StringEntries entries;
  if (auto e = entries.check(s, r, base)) return e;
  if (r.length == 0) return std::nullopt;
  const Offset* o = offsets_of<Offset>(r);
  const char* data = static_cast<const char*>(r.array->buffers[2]);
  const bool all_ascii = is_ascii(entries.data());
  for (std::uint64_t i = 0; i < r.length; ++i) {
    out[i] = TextView(data + o[i], static_cast<std::size_t>(o[i + 1] - o[i]));
    if (!all_ascii && !valid_utf8(out[i])) return at(Kind::kInvalidUtf8, base + i);
  }
  return std::nullopt;
}

// Whether any of bytes [from, from + n) of the 8 * kWords readable bytes at
// p has its top bit set. Each word is read in one load (little-endian: byte k
// of a word is its bits 8k .. 8k + 7), the bytes outside the range masked off.
template <std::size_t kWords>
__attribute__((no_sanitize("address"))) inline bool top_bit_in(const char* p, std::size_t from,
                                                              std::size_t n) {
  std::uint64_t any = 0;
  for (std::size_t k = 0; k < kWords; ++k) {
    std::uint64_t w;
    __builtin_memcpy(&w, p + 8 * k, 8);
    const std::size_t lo = std::clamp<std::size_t>(from, 8 * k, 8 * k + 8) - 8 * k;
    const std::size_t hi = std::clamp<std::size_t>(from + n, 8 * k, 8 * k + 8) - 8 * k;
    const std::uint64_t below_hi = hi == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * hi)) - 1;
    const std::uint64_t below_lo = lo == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * lo)) - 1;
    any |= w & (below_hi & ~below_lo);
  }
  return (any & 0x8080808080808080ULL) != 0;
}

// Whether the n bytes at p are ASCII. A text of up to 32 bytes whose first 32
// bytes stay in its page is read in four word loads, the bytes past its end
// masked off (see within_page in quillmatch.h).
inline bool short_ascii(const char* p, std::size_t n) {
  if (n > kShortTextBytes || !within_page(p, kShortTextBytes)) return is_ascii({p, n});
  static_assert(kShortTextBytes == 32);
  return !top_bit_in<4>(p, 0, n);
}

// The rows of a utf8_view array, in one pass: each row's view is checked, then
// its bytes, and the first row that fails either is reported. A text inline
// in its view is tested for ASCII by the sign bits of the view's own bytes.
std::optional<ArrowReadError> read_views(const Range& r, std::uint64_t base, TextView* out) {
  const ArrowArray& a = *r.array;
  if (r.length == 0) return std::nullopt;
  if (!a.buffers[1]) return malformed("missing offsets or views buffer");
  const std::int64_t variadic = a.n_buffers - 3;
  const void* sizes = a.buffers[a.n_buffers - 1];
  if (variadic > 0 && !sizes) return malformed("missing variadic buffer sizes");
  const auto* views = static_cast<const char*>(a.buffers[1]) + r.first * kViewBytes;
  for (std::uint64_t i = 0; i < r.length; ++i) {
    const char* view = views + i * kViewBytes;
    const auto size = load<std::int32_t>(view, 0);
    if (size >= 0 && size <= kInlineBytes) {
      // The text is bytes 4 .. 4 + size - 1 of the view.
      static_assert(kViewBytes == 16);
      out[i] = TextView(view + 4, static_cast<std::size_t>(size));
      if (top_bit_in<2>(view, 4, out[i].size) && utf8_valid_prefix(out[i].view()) != out[i].size)
        return at(Kind::kInvalidUtf8, base + i);
      continue;
    }
    const auto buffer = load<std::int32_t>(view + 8, 0);
    const auto offset = load<std::int32_t>(view + 12, 0);
    if (size < 0 || buffer < 0 || buffer >= variadic || offset < 0 || !a.buffers[2 + buffer] ||
        std::int64_t{offset} + size > load<std::int64_t>(sizes, static_cast<std::size_t>(buffer)))
      return at(Kind::kBadView, base + i);
    out[i] = TextView(static_cast<const char*>(a.buffers[2 + buffer]) + offset,
                      static_cast<std::size_t>(size));
    if (!short_ascii(out[i].data, out[i].size) && utf8_valid_prefix(out[i].view()) != out[i].size)
      return at(Kind::kInvalidUtf8, base + i);
  }
  return std::nullopt;
}

// The rows of a dictionary chunk, for index type I: out[i] is row i's code,
// given to each entry on its first use, when it is validated and appended to
// `texts`. `code_of` maps entries to codes (kUnseen before their first use).
constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();
template <class I>
std::optional<ArrowReadError> read_codes(const Range& r, std::uint64_t null_row,
                                         const Range& dict, const StringEntries& entries,
                                         std::uint64_t base, std::vector<std::uint32_t>& code_of,
                                         std::vector<TextView>& texts, std::uint32_t* out) {
  const void* indices = r.array->buffers[1];
  for (std::uint64_t i = 0; i < r.length; ++i) {
    if (i == null_row) return at(Kind::kNull, base + i);
    const I k = load<I>(indices, static_cast<std::size_t>(r.first + i));
    if constexpr (std::is_signed_v<I>) {
      if (k < 0) return at(Kind::kBadIndex, base + i);
    }
    if (static_cast<std::uint64_t>(k) >= dict.length) return at(Kind::kBadIndex, base + i);
    std::uint32_t& code = code_of[static_cast<std::size_t>(k)];
    if (code == kUnseen) {
      const Range entry{dict.array, dict.first + static_cast<std::uint64_t>(k), 1};
      if (first_null(entry) == 0) return at(Kind::kNull, base + i);
      const TextView t = entries.entry(static_cast<std::uint64_t>(k));
      if (!valid_utf8(t)) return at(Kind::kInvalidUtf8, base + i);
      if (texts.size() >= kUnseen) return malformed("more distinct texts than a column holds");
      code = static_cast<std::uint32_t>(texts.size());
      texts.push_back(t);
    }
    out[i] = code;
  }
  return std::nullopt;
}

}  // namespace

std::string ArrowReadError::text(std::string_view argument) const {
  const std::string arg = "'" + std::string(argument) + "'";
  const std::string pos = std::to_string(position);
  switch (kind) {
    case Kind::kUnsupportedFormat:
      return arg + " has Arrow format '" + detail +
             "', which is not text (expected 'u', 'U', 'vu' or a dictionary of them)";
    case Kind::kSeveralColumns:
      return arg + " has " + std::to_string(count) + " columns; pass one column of texts";
    case Kind::kNull:
      return arg + " holds a null at position " + pos;
    case Kind::kInvalidUtf8:
      return arg + " holds invalid UTF-8 at position " + pos;
    case Kind::kBadOffsets:
      return arg + " has Arrow offsets out of order at position " + pos;
    case Kind::kBadView:
      return arg + " has an Arrow string view out of its buffer at position " + pos;
    case Kind::kBadIndex:
      return arg + " has a dictionary index out of range at position " + pos;
    case Kind::kMalformed:
      break;
  }
  return arg + " is a malformed Arrow array: " + detail;
}

std::optional<ArrowReadError> TextColumn::read_schema(const ArrowSchema& schema) {
  Layout layout;
  const ArrowSchema* s = &schema;
  if (s->format && std::string_view(s->format, strnlen(s->format, 3)) == "+s") {
    if (s->n_children != 1) {
      ArrowReadError e;
      e.kind = Kind::kSeveralColumns;
      e.count = static_cast<std::uint64_t>(s->n_children < 0 ? 0 : s->n_children);
      return e;
    }
    if (!s->children || !s->children[0]) return malformed("missing child schema");
    s = s->children[0];
    layout.in_struct = true;
  }
  if (s->dictionary) {
    if (!s->format || !is_index_format(std::string_view(s->format, strnlen(s->format, 2))))
      return unsupported(s->format);
    layout.index = s->format[0];
    s = s->dictionary;
  }
  const std::optional<Strings> strings = strings_of(s->format);
  if (!strings || s->dictionary) return unsupported(s->format);
  layout.strings = *strings;
  layout_ = layout;
  coded_ = layout.index != 0;
  return std::nullopt;
}

std::optional<ArrowReadError> TextColumn::append(const ArrowArray& array) {
  const std::uint64_t base = rows_;
  // The rows of this chunk, with the struct's own range and nulls if any.
  Range outer{}, r{};
  const ArrowArray* a = &array;
  std::uint64_t start = 0;
  if (array.length < 0) return malformed("negative length");
  std::uint64_t length = static_cast<std::uint64_t>(array.length);
  std::uint64_t null_row = length;
  if (layout_.in_struct) {
    if (auto e = check_array(array, 1, 0, length, outer)) return e;
    if (array.n_children != 1 || !array.children || !array.children[0])
      return malformed("a struct of one column without its child");
    null_row = first_null(outer);
    start = outer.first;
    a = array.children[0];
  }
  const std::int64_t n_buffers = layout_.index ? 2 : buffers_of(layout_.strings);
  if (auto e = check_array(*a, n_buffers, start, length, r)) return e;
  null_row = std::min(null_row, first_null(r));

  if (!layout_.index) {
    if (null_row < length) return at(Kind::kNull, base + null_row);
    const std::size_t before = texts_.size();
    texts_.resize(before + length);
    TextView* out = texts_.data() + before;
    std::optional<ArrowReadError> e;
    switch (layout_.strings) {
      case Strings::kUtf8: e = read_offsets<std::int32_t>(layout_.strings, r, base, out); break;
      case Strings::kLargeUtf8: e = read_offsets<std::int64_t>(layout_.strings, r, base, out); break;
      case Strings::kView: e = read_views(r, base, out); break;
    }
    if (e) return e;
    rows_ += length;
    return std::nullopt;
  }

  // A dictionary chunk: the dictionary's structure, then the rows in order,
  // each entry validated (and given a code) on first use. A row is null when
  // its struct slot, its index or its dictionary entry is.
  if (length > 0 && !a->buffers[1]) return malformed("missing index buffer");
  const ArrowArray* dict = a->dictionary;
  if (!dict) return malformed("dictionary-encoded array without its dictionary");
  if (dict->length < 0) return malformed("negative length");
  Range d{};
  const auto dict_length = static_cast<std::uint64_t>(dict->length);
  if (auto e = check_array(*dict, buffers_of(layout_.strings), 0, dict_length, d)) return e;
  StringEntries entries;
  if (auto fault = entries.check(layout_.strings, d, 0)) {
    // A fault of the dictionary itself has no row of the column.
    return fault->kind == Kind::kMalformed ? fault : std::optional(malformed("invalid dictionary"));
  }
  std::vector<std::uint32_t> code_of(dict_length, kUnseen);
  const std::size_t before = codes_.size();
  codes_.resize(before + length);
  std::uint32_t* out = codes_.data() + before;
  std::optional<ArrowReadError> e;
  const auto read = [&](auto index) {
    e = read_codes<decltype(index)>(r, null_row, d, entries, base, code_of, texts_, out);
  };
  switch (layout_.index) {
    case 'c': read(std::int8_t{}); break;
    case 'C': read(std::uint8_t{}); break;
    case 's': read(std::int16_t{}); break;
    case 'S': read(std::uint16_t{}); break;
    case 'i': read(std::int32_t{}); break;
    case 'I': read(std::uint32_t{}); break;
    case 'l': read(std::int64_t{}); break;
    default: read(std::uint64_t{}); break;
  }
  if (e) return e;
  rows_ += length;
  return std::nullopt;
}

std::vector<TextView> TextColumn::row_views() const {
  if (!coded_) return texts_;
  std::vector<TextView> out;
  out.reserve(codes_.size());
  for (const std::uint32_t c : codes_) out.push_back(texts_[c]);
  return out;
}

}  // namespace quillmatch
