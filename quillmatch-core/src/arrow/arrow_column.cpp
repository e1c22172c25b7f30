// Reading Arrow string columns in place (see arrow_column.h for the contract).
//
// A chunk is read in a fixed order, which is also the order in which its
// faults are reported: the structure (lengths, buffer counts and pointers),
// then for a plain chunk the nulls (the first null row), then for utf8 and
// large_utf8 all the offsets before any byte, for utf8_view each row's view
// and bytes in one pass (the first row failing either). The rows of a long
// chunk are read in parts on several threads; the fault reported is still the
// first, as every part reads its rows in order up to its own first fault.
// A dictionary chunk checks the dictionary's structure, then goes through its
// rows in order, stopping at the first that is null, has an index out of range
// or an entry of invalid UTF-8; each entry is validated the first time a row
// uses it.
// In the null mode a chunk with a null row first marks its null rows (of the
// struct, the column or the index) in the column's mask; the rows are then
// read as above in runs between null rows, each null row an empty text, and
// a dictionary row using a null entry is marked as it is met.
#include "quillmatch/arrow_column.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#if defined(QUILLMATCH_SIMD_AVX2)
#include <immintrin.h>
#endif

#include "simd/simd.h"
#include "text/text.h"
#include "many/thread_pool.h"

namespace quillmatch {

namespace {

using Kind = ArrowReadError::Kind;
using Strings = TextColumn::Strings;
using Layout = TextColumn::Layout;

constexpr std::size_t kViewBytes = 16;    // one utf8_view entry
// The vector readers store a TextView as two 64-bit lanes: its data, then its size.
static_assert(sizeof(TextView) == 16 && offsetof(TextView, data) == 0 && offsetof(TextView, size) == 8);
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

// The validity bitmap of an array, or null when no slot is null: without a
// bitmap, or with a null count of 0 (a bitmap then is not to be read).
const unsigned char* validity_of(const ArrowArray& a) {
  return a.null_count == 0 ? nullptr : static_cast<const unsigned char*>(a.buffers[0]);
}

// The first row of the range whose validity bit is clear, or range.length.
std::uint64_t first_null(const Range& r) {
  const unsigned char* bits = validity_of(*r.array);
  if (!bits || r.length == 0) return r.length;
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

// Sets out[i] to 1 for each row i of the range whose validity bit is clear;
// leaves the others as they are.
void mark_nulls(const Range& r, std::uint8_t* out) {
  const unsigned char* bits = validity_of(*r.array);
  if (!bits) return;
  for (std::uint64_t i = 0; i < r.length; ++i) {
    const std::uint64_t k = r.first + i;
    out[i] |= static_cast<std::uint8_t>(((bits[k >> 3] >> (k & 7)) & 1) ^ 1);
  }
}

// The text of a null row: empty, at a readable byte (a short text may be
// loaded whole from the page of its first byte).
constexpr TextView kNullText("", 0);

template <class Offset>
const Offset* offsets_of(const Range& r) {
  return static_cast<const Offset*>(r.array->buffers[1]) + r.first;
}

// The buffers of a utf8_view array.
struct ViewBuffers {
  explicit ViewBuffers(const Range& r)
      : a(*r.array),
        views(static_cast<const char*>(a.buffers[1]) + r.first * kViewBytes),
        sizes(static_cast<const char*>(a.buffers[a.n_buffers - 1])),
        variadic(a.n_buffers - 3) {}
  const ArrowArray& a;
  const char* views;  // of the range's first row
  const char* sizes;
  std::int64_t variadic;
};

// The text of row i of a utf8_view array, and whether its view is sound (lies
// within the buffers the array declares). It lies in the view (bytes 4 .. 4 +
// size - 1) when it has at most 12 bytes, else in a variadic buffer. Read
// without a branch on which, a coin toss on texts of mixed lengths: both
// places are computed from in-range loads and one is picked. (Returned in
// parts: a TextView assembled on the stack from two stores and copied out in
// one load stalls the store forwarding.)
inline bool view_text(const ViewBuffers& v, std::uint64_t i, const char*& data, std::size_t& size) {
  static_assert(kViewBytes == 16);
  const char* view = v.views + i * kViewBytes;
  const auto bytes = load<std::int32_t>(view, 0);
  const auto buffer = load<std::int32_t>(view + 8, 0);
  const auto offset = load<std::int32_t>(view + 12, 0);
  const bool in_view = static_cast<std::uint32_t>(bytes) <= kInlineBytes;
  // Buffer 0 stands in for an index out of range, so every load is in range.
  const bool indexed = static_cast<std::uint64_t>(static_cast<std::uint32_t>(buffer)) <
                       static_cast<std::uint64_t>(v.variadic);
  const std::size_t b = indexed ? static_cast<std::size_t>(buffer) : 0;
  const char* base = v.variadic > 0 ? static_cast<const char*>(v.a.buffers[2 + b]) : nullptr;
  const std::int64_t room = v.variadic > 0 ? load<std::int64_t>(v.sizes, b) : 0;
  // Bitwise, not short-circuit: every term is cheap and none is a branch.
  const bool placed = indexed & (base != nullptr) & (offset >= 0) & (bytes >= 0) &
                      (std::int64_t{offset} + bytes <= room);
  const std::uintptr_t pick = std::uintptr_t{0} - std::uintptr_t{in_view};
  data = reinterpret_cast<const char*>(
      (reinterpret_cast<std::uintptr_t>(view + 4) & pick) |
      ((reinterpret_cast<std::uintptr_t>(base) + static_cast<std::uint32_t>(offset)) & ~pick));
  size = static_cast<std::uint32_t>(bytes);
  return in_view | placed;
}

// What view_texts_in_one_buffer found of a block: whether every row is sound
// and, of the sound rows it could test side by side (the first `ascii_rows`),
// that their texts are ASCII and the longest of them. A row beyond those is
// left for the caller to test.
struct BlockViews {
  bool sound = true;
  std::size_t ascii_rows = 0;
  std::size_t longest = 0;
};

#if defined(QUILLMATCH_SIMD_AVX2)
// The rows of view_texts_in_one_buffer eight at a time, as many as there are
// whole eights. The checks take the eight views' fields a lane each (a 4 x 4
// transpose of 32-bit fields within each half of the registers); the texts
// take two views a register, where a view's 16 bytes become its TextView's.
// Of sound rows, the texts beyond their views are bounded by one span of the
// buffer, [first, end), and the texts in their views are ASCII if bytes 4 to
// 15 of those views are: producers pad a short text with zeros, and a view
// whose padding is not (or whose text is not ASCII) only sends the block to
// the row by row test.
struct ViewRowsAvx2 {
  std::size_t rows = 0;
  bool sound = true;
  bool inline_ascii = true;
  std::uint32_t first = 0xFFFFFFFF;  // no text beyond its view: an empty span
  std::uint32_t end = 0;
  std::uint32_t longest = 0;
};
inline ViewRowsAvx2 view_texts_in_one_buffer_avx2(const char* views, std::size_t n, std::uint32_t buffer,
                                                  std::uintptr_t base, std::int64_t room, TextView* out) {
  // Offsets and sizes that pass the sign tests sum to under 2^32, so the
  // room compares as 32 bits once clamped.
  const __m256i room32 = _mm256_set1_epi32(
      static_cast<int>(static_cast<std::uint32_t>(std::clamp<std::int64_t>(room, 0, 0xFFFFFFFF))));
  const __m256i inline_max = _mm256_set1_epi32(kInlineBytes);
  const __m256i one_buffer = _mm256_set1_epi32(static_cast<int>(buffer));
  const __m256i minus_one = _mm256_set1_epi32(-1);
  const __m256i bases = _mm256_set_epi64x(0, static_cast<std::int64_t>(base), 0, static_cast<std::int64_t>(base));
  // A view's bytes to its TextView's beyond the view: [offset, 0, size, 0] as
  // 32-bit fields, that is [offset, size] as 64-bit ones (-1 zeroes a byte).
  const __m256i to_fields = _mm256_setr_epi8(12, 13, 14, 15, -1, -1, -1, -1, 0, 1, 2, 3, -1, -1, -1, -1,
                                             12, 13, 14, 15, -1, -1, -1, -1, 0, 1, 2, 3, -1, -1, -1, -1);
  // The texts in the views of a register's two views, as 64-bit lanes.
  const auto at = reinterpret_cast<std::int64_t>(views) + 4;
  __m256i within = _mm256_set_epi64x(0, at + 16, 0, at);
  const __m256i next_two = _mm256_set_epi64x(0, 32, 0, 32);
  // u <= v as unsigned 32-bit lanes.
  const auto at_most = [](__m256i u, __m256i v) { return _mm256_cmpeq_epi32(_mm256_min_epu32(u, v), u); };
  __m256i all_sound = minus_one, high_bits = _mm256_setzero_si256();
  __m256i first = minus_one, end = _mm256_setzero_si256(), longest = _mm256_setzero_si256();
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    const char* p = views + k * kViewBytes;
    __m256i a[4];
    for (int j = 0; j < 4; ++j) a[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * j));
    // Lanes in the order of views 0 2 4 6 | 1 3 5 7.
    const __m256i t0 = _mm256_unpacklo_epi32(a[0], a[1]), t1 = _mm256_unpackhi_epi32(a[0], a[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(a[2], a[3]), t3 = _mm256_unpackhi_epi32(a[2], a[3]);
    const __m256i size = _mm256_unpacklo_epi64(t0, t2);
    const __m256i prefix = _mm256_unpackhi_epi64(t0, t2);
    const __m256i in = _mm256_unpacklo_epi64(t1, t3);
    const __m256i offset = _mm256_unpackhi_epi64(t1, t3);
    const __m256i in_view = at_most(size, inline_max);
    const __m256i stop = _mm256_add_epi32(offset, size);
    const __m256i placed = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpeq_epi32(in, one_buffer), _mm256_cmpgt_epi32(offset, minus_one)),
        _mm256_and_si256(_mm256_cmpgt_epi32(size, minus_one), at_most(stop, room32)));
    all_sound = _mm256_and_si256(all_sound, _mm256_or_si256(in_view, placed));
    high_bits = _mm256_or_si256(
        high_bits, _mm256_and_si256(in_view, _mm256_or_si256(_mm256_or_si256(prefix, in), offset)));
    first = _mm256_min_epu32(first, _mm256_or_si256(offset, in_view));
    end = _mm256_max_epu32(end, _mm256_andnot_si256(in_view, stop));
    longest = _mm256_max_epu32(longest, size);
    for (int j = 0; j < 4; ++j) {
      const __m256i fields = _mm256_shuffle_epi8(a[j], to_fields);
      const __m256i beyond = _mm256_add_epi64(fields, bases);
      const __m256i here = _mm256_blend_epi32(fields, within, 0b00110011);
      // Signed: a size of 2^31 or more is unsound, and then the caller judges
      // the block again row by row.
      const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(kInlineBytes + 1),
                                                _mm256_shuffle_epi32(a[j], _MM_SHUFFLE(0, 0, 0, 0)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k + 2 * j),
                          _mm256_blendv_epi8(beyond, here, inside));
      within = _mm256_add_epi64(within, next_two);
    }
  }
  ViewRowsAvx2 got;
  got.rows = k;
  got.sound = _mm256_testc_si256(all_sound, minus_one);
  got.inline_ascii = _mm256_testz_si256(high_bits, _mm256_set1_epi8(static_cast<char>(0x80)));
  alignas(32) std::uint32_t lanes[3][8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), first);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), end);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[2]), longest);
  got.first = *std::min_element(lanes[0], lanes[0] + 8);
  got.end = *std::max_element(lanes[1], lanes[1] + 8);
  got.longest = *std::max_element(lanes[2], lanes[2] + 8);
  return got;
}
#endif

#if defined(QUILLMATCH_SIMD_AVX2)
// A span of a buffer holding a block's texts beyond their views is tested for
// ASCII whole when it is at most this many bytes a row; a wider one (long
// texts, or texts far apart) leaves them to be tested one by one.
constexpr std::uint32_t kSpanBytesPerRow = 64;
#endif

// Rows [b0, b1) of a utf8_view array into out[b0 .. b1), when every text of
// them lies in its view or in one variadic buffer: the one the first text
// beyond its view names. Producers fill their buffers in row order, so a short
// run of rows nearly always shares one. With the buffer fixed, a row takes
// loads, compares and a select, and no load depends on another: the AVX2
// build takes eight rows at a time, and tests their texts side by side.
// Sound when every row is sound so, with each text as view_text gives it;
// otherwise the rows are left for view_text to judge.
inline BlockViews view_texts_in_one_buffer(const ViewBuffers& v, std::uint64_t b0, std::uint64_t b1,
                                           TextView* out) {
  static_assert(kViewBytes == 16);
  const char* views = v.views + b0 * kViewBytes;
  const std::size_t n = static_cast<std::size_t>(b1 - b0);
  std::size_t first = 0;  // the first row whose text lies beyond its view, or n
  while (first < n && static_cast<std::uint32_t>(load<std::int32_t>(views + first * kViewBytes, 0)) <=
                          static_cast<std::uint32_t>(kInlineBytes))
    ++first;
  std::uint32_t buffer = 0;
  std::uintptr_t base = 0;
  std::int64_t room = -1;  // no text beyond its view fits: none is expected
  if (first < n) {
    buffer = static_cast<std::uint32_t>(load<std::int32_t>(views + first * kViewBytes + 8, 0));
    if (buffer >= static_cast<std::uint64_t>(std::max<std::int64_t>(v.variadic, 0))) return {false};
    base = reinterpret_cast<std::uintptr_t>(v.a.buffers[2 + buffer]);
    if (base == 0) return {false};
    room = load<std::int64_t>(v.sizes, buffer);
  }
  BlockViews got;
  std::size_t k = 0;
#if defined(QUILLMATCH_SIMD_AVX2)
  const ViewRowsAvx2 vec = view_texts_in_one_buffer_avx2(views, n, buffer, base, room, out);
  k = vec.rows;
  got.sound = vec.sound;
  // A sound row's text beyond its view lies within the buffer, so the span does.
  if (vec.sound && vec.inline_ascii &&
      (vec.first > vec.end ||
       (vec.end - vec.first <= kSpanBytesPerRow * k &&
        is_ascii({reinterpret_cast<const char*>(base) + vec.first, vec.end - vec.first})))) {
    got.ascii_rows = k;
    got.longest = vec.longest;
  }
#endif
  for (; k < n; ++k) {
    const char* view = views + k * kViewBytes;
    const auto bytes = load<std::int32_t>(view, 0);
    const auto in = static_cast<std::uint32_t>(load<std::int32_t>(view + 8, 0));
    const auto offset = load<std::int32_t>(view + 12, 0);
    const bool in_view = static_cast<std::uint32_t>(bytes) <= static_cast<std::uint32_t>(kInlineBytes);
    const bool placed = (in == buffer) & (offset >= 0) & (bytes >= 0) &
                        (std::int64_t{offset} + bytes <= room);
    got.sound &= in_view | placed;
    const std::uintptr_t pick = std::uintptr_t{0} - std::uintptr_t{in_view};
    out[k].data = reinterpret_cast<const char*>(
        (reinterpret_cast<std::uintptr_t>(view + 4) & pick) |
        ((base + static_cast<std::uint32_t>(offset)) & ~pick));
    out[k].size = static_cast<std::uint32_t>(bytes);
  }
  return got.sound ? got : BlockViews{false};
}

// The views of n rows of a utf8 or large_utf8 array whose offsets are checked:
// row j is data[o[j] .. o[j + 1]).
template <class Offset>
void offset_views(const char* data, const Offset* o, std::size_t n, TextView* out) {
  std::size_t j = 0;
#if defined(QUILLMATCH_SIMD_AVX2)
  // Four rows a step: their offsets and sizes widened to 64 bits, then each
  // row's pair interleaved into its TextView.
  const __m256i base = _mm256_set1_epi64x(reinterpret_cast<std::int64_t>(data));
  for (; j + 4 <= n; j += 4) {
    __m256i from, size;
    if constexpr (sizeof(Offset) == 4) {
      const __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o + j));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o + j + 1));
      from = _mm256_cvtepi32_epi64(cur);
      size = _mm256_cvtepu32_epi64(_mm_sub_epi32(next, cur));
    } else {
      from = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + j));
      size = _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + j + 1)), from);
    }
    const __m256i at = _mm256_add_epi64(base, from);
    const __m256i even = _mm256_unpacklo_epi64(at, size);  // rows 0 and 2
    const __m256i odd = _mm256_unpackhi_epi64(at, size);   // rows 1 and 3
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_permute2x128_si256(even, odd, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j + 2), _mm256_permute2x128_si256(even, odd, 0x31));
  }
#endif
  for (; j < n; ++j) out[j] = TextView(data + o[j], static_cast<std::size_t>(o[j + 1] - o[j]));
}

// A utf8_view array declares its variadic buffers' sizes in its last buffer.
std::optional<ArrowReadError> check_variadic_sizes(const ArrowArray& a) {
  if (a.n_buffers > 3 && !a.buffers[a.n_buffers - 1]) return malformed("missing variadic buffer sizes");
  return std::nullopt;
}

// A string array (u, U, vu) whose structure has been checked: entry(i) is the
// text of physical row r.first + i, not yet known to be valid UTF-8.
class StringEntries {
 public:
  // Checks the structure of rows [0, r.length): offsets or views (of the
  // rows not null only, with `skip_nulls`). `bad` is the first faulty row
  // when the fault has a row.
  std::optional<ArrowReadError> check(Strings s, const Range& r, std::uint64_t base,
                                      bool skip_nulls = false) {
    s_ = s;
    r_ = r;
    const ArrowArray& a = *r.array;
    if (r.length == 0) return std::nullopt;
    if (!a.buffers[1]) return malformed("missing offsets or views buffer");
    if (s == Strings::kUtf8) return check_offsets<std::int32_t>(base);
    if (s == Strings::kLargeUtf8) return check_offsets<std::int64_t>(base);
    return check_views(base, skip_nulls);
  }

  TextView entry(std::uint64_t i) const {
    if (s_ == Strings::kView) {
      TextView t;
      view_text(ViewBuffers(r_), i, t.data, t.size);
      return t;
    }
    const auto [from, to] = bounds(i);
    return TextView(static_cast<const char*>(r_.array->buffers[2]) + from, to - from);
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
    // One compare per row, counted so that the loop has no early exit and
    // vectorises; the faulty row is searched for only on failure.
    std::uint64_t falls = 0;
    for (std::uint64_t i = 0; i < r_.length; ++i) falls += o[i] > o[i + 1];
    if (falls) {
      std::uint64_t i = 0;
      while (o[i] <= o[i + 1]) ++i;
      return at(Kind::kBadOffsets, base + i);
    }
    if (o[r_.length] > o[0] && !r_.array->buffers[2]) return malformed("missing data buffer");
    return std::nullopt;
  }

  std::optional<ArrowReadError> check_views(std::uint64_t base, bool skip_nulls) {
    if (auto e = check_variadic_sizes(*r_.array)) return e;
    const ViewBuffers buffers(r_);
    std::vector<std::uint8_t> null(skip_nulls ? static_cast<std::size_t>(r_.length) : 0);
    if (skip_nulls) mark_nulls(r_, null.data());
    TextView t;
    for (std::uint64_t i = 0; i < r_.length; ++i)
      if ((null.empty() || !null[i]) && !view_text(buffers, i, t.data, t.size))
        return at(Kind::kBadView, base + i);
    return std::nullopt;
  }

  Strings s_ = Strings::kUtf8;
  Range r_{};
};

bool valid_utf8(TextView t) { return is_ascii(t.view()) || utf8_valid_prefix(t.view()) == t.size; }

std::int64_t buffers_of(Strings s) { return s == Strings::kView ? -3 : 3; }

// What reading rows [lo, hi) of a chunk found: the first faulty row (kNoRow
// when none), its fault, and the size of the longest text read before it.
constexpr std::uint64_t kNoRow = std::numeric_limits<std::uint64_t>::max();
struct RowsRead {
  std::uint64_t fault_row = kNoRow;
  Kind fault = Kind::kInvalidUtf8;
  std::size_t longest = 0;
};

// Rows [lo, hi) of a utf8 or large_utf8 array: its offsets first, which must
// rise from o[lo] >= 0 (else the fault is the first row that falls, or row lo,
// and no byte is read); then each row's view (into out, unless it is null),
// its bytes tested in one pass over the range's data when they are well
// formed, text by text otherwise. A fall before lo is left to the block that
// holds it: the caller takes the least faulty row of all.
template <class Offset>
RowsRead read_offset_block(const Range& r, std::uint64_t lo, std::uint64_t hi, TextView* out) {
  const Offset* o = offsets_of<Offset>(r);
  const char* data = static_cast<const char*>(r.array->buffers[2]);
  RowsRead got;
  if (lo == hi) return got;
  // Separate loops, so that those without an exit vectorise. The sizes are
  // taken modulo 2^bits, defined even where offsets fall, and then unused.
  using Size = std::make_unsigned_t<Offset>;
  Size longest = 0;
  std::uint32_t falls = o[lo] < 0;
  for (std::uint64_t i = lo; i < hi; ++i) {
    longest = std::max(longest, static_cast<Size>(static_cast<Size>(o[i + 1]) - static_cast<Size>(o[i])));
    falls |= static_cast<std::uint32_t>(o[i] > o[i + 1]);
  }
  if (falls) {
    got.fault = Kind::kBadOffsets;
    got.fault_row = lo;
    if (o[lo] >= 0)
      while (o[got.fault_row] <= o[got.fault_row + 1]) ++got.fault_row;
    return got;
  }
  got.longest = static_cast<std::size_t>(longest);
  if (out)
    for (std::uint64_t i = lo; i < hi; ++i)
      out[i] = TextView(data + o[i], static_cast<std::size_t>(o[i + 1] - o[i]));
  const std::string_view whole(data + o[lo], static_cast<std::size_t>(o[hi] - o[lo]));
  // Valid as a whole, the texts are each valid exactly when none starts on a
  // continuation byte: then every text is whole sequences, and a text that
  // is valid starts on a lead byte or is empty. One pass over the range
  // decides it; only a fault sends the loop below to find its row.
  const Utf8Form form = utf8_form(whole);
  if (form == Utf8Form::kAscii) return got;
  if (form == Utf8Form::kUtf8) {
    bool split = false;
    for (std::uint64_t i = lo + 1; i < hi; ++i)
      split |= o[i] < o[hi] && is_continuation(static_cast<unsigned char>(data[o[i]]));
    if (!split) return got;
  }
  for (std::uint64_t i = lo; i < hi; ++i) {
    if (!valid_utf8(TextView(data + o[i], static_cast<std::size_t>(o[i + 1] - o[i])))) {
      got.fault_row = i;
      break;
    }
  }
  return got;
}

// read_offset_block over [lo, hi) a block at a time, up to the first fault:
// a block's offsets and bytes, which each of its passes reads again, stay in
// the core's cache, where a part's (a few megabytes) would come from memory
// at every pass.
template <class Offset>
RowsRead read_offset_rows(const Range& r, std::uint64_t lo, std::uint64_t hi, TextView* out) {
  constexpr std::uint64_t kBlockRows = 4096;
  RowsRead got;
  for (std::uint64_t b0 = lo; b0 < hi; b0 += kBlockRows) {
    const RowsRead block = read_offset_block<Offset>(r, b0, std::min(hi, b0 + kBlockRows), out);
    got = RowsRead{block.fault_row, block.fault, std::max(got.longest, block.longest)};
    if (got.fault_row != kNoRow) break;
  }
  return got;
}

// Rows [lo, hi) of a utf8_view array: each row's view checked, then its bytes;
// the first row failing either is the fault. Rows go in blocks: first every
// view of the block (side by side when the block's texts share a buffer,
// which tests their bytes too; else each text's first bytes asked for as it
// is found), then the bytes of every text not yet tested, so that the loads
// of a block's texts overlap.
RowsRead read_view_rows(const Range& r, std::uint64_t lo, std::uint64_t hi, TextView* out) {
  constexpr std::uint64_t kBlock = 64;
  const ViewBuffers buffers(r);
  RowsRead got;
  std::size_t longest = 0;
  for (std::uint64_t b0 = lo; b0 < hi; b0 += kBlock) {
    const std::uint64_t b1 = std::min(hi, b0 + kBlock);
    std::uint64_t sound_to = b1;  // the first row whose view is not sound, or b1
    const BlockViews block = view_texts_in_one_buffer(buffers, b0, b1, out + b0);
    longest = std::max(longest, block.longest);
    if (!block.sound) {
      for (std::uint64_t i = b0; i < b1; ++i) {
        if (!view_text(buffers, i, out[i].data, out[i].size)) {
          sound_to = i;
          break;
        }
        __builtin_prefetch(out[i].data);
      }
    }
    for (std::uint64_t i = b0 + block.ascii_rows; i < sound_to; ++i) {
      const TextView t = out[i];
      longest = std::max(longest, t.size);
      if (!short_ascii(t.data, t.size) && utf8_valid_prefix(t.view()) != t.size) {
        got.fault_row = i;
        return got;
      }
    }
    if (sound_to < b1) {
      got.fault_row = sound_to;
      got.fault = Kind::kBadView;
      return got;
    }
  }
  got.longest = longest;
  return got;
}

// Rows [lo, hi) of a chunk with null rows (nulls[i] set): each run of rows
// not null read by read(a, b), in order up to the first fault, and each null
// row's view (into out, unless it is null) the null text. A run's bytes are
// its rows' alone, so no byte of a null row is read.
template <class Read>
RowsRead read_valid_runs(const std::uint8_t* nulls, std::uint64_t lo, std::uint64_t hi, TextView* out,
                         Read read) {
  RowsRead all;
  for (std::uint64_t i = lo; i < hi;) {
    for (; i < hi && nulls[i]; ++i)
      if (out) out[i] = kNullText;
    std::uint64_t j = i;
    while (j < hi && !nulls[j]) ++j;
    if (i < j) {
      const RowsRead f = read(i, j);
      all = RowsRead{f.fault_row, f.fault, std::max(all.longest, f.longest)};
      if (f.fault_row != kNoRow) return all;
    }
    i = j;
  }
  return all;
}

// A chunk's rows are read in parts of at least this many rows, several parts
// a worker so that one slow part does not hold the rest up, and of at most
// kRowsPerLook rows, between which the caller may stop the reading.
constexpr std::uint64_t kRowsPerPart = std::uint64_t{1} << 15;
constexpr std::size_t kPartsPerWorker = 4;
constexpr std::uint64_t kRowsPerLook = std::uint64_t{1} << 20;
constexpr std::chrono::milliseconds kLookInterval{50};

// Reads rows [0, length) through read(lo, hi), in parts on up to `workers`
// threads. The first faulty row of all is the one the parts' first faults
// have least: a part stops at its own first fault, and every row before it
// in the other parts is read. `stopped` is called on this thread between
// parts, or about every kLookInterval while the workers read; once it says
// true, the rest is left unread and `*was_stopped` set.
template <class Read>
RowsRead read_rows(std::uint64_t length, std::size_t workers, const std::function<bool()>& stopped,
                   bool* was_stopped, Read read) {
  const std::uint64_t parts = std::max(
      std::clamp<std::uint64_t>(length / kRowsPerPart, 1, std::max<std::size_t>(workers, 1) * kPartsPerWorker),
      (length + kRowsPerLook - 1) / kRowsPerLook);
  const auto bound = [&](std::uint64_t k) { return length * k / parts; };
  if (parts == 1 || workers <= 1) {
    RowsRead all;
    for (std::uint64_t k = 0; k < parts; ++k) {
      if (k && stopped && (*was_stopped = stopped())) return all;
      const RowsRead f = read(bound(k), bound(k + 1));
      all = RowsRead{f.fault_row, f.fault, std::max(all.longest, f.longest)};
      if (f.fault_row != kNoRow) return all;
    }
    return all;
  }
  std::vector<RowsRead> found(parts);
  ThreadPool pool(workers, parts, [&](std::size_t k, const ThreadPool&) {
    found[k] = read(bound(k), bound(k + 1));
  });
  while (!pool.wait_for(kLookInterval, stopped))
    if (stopped && (*was_stopped = stopped())) pool.request_stop();
  pool.finish();
  *was_stopped = *was_stopped || !pool.completed();
  RowsRead all;
  for (const RowsRead& f : found) {
    if (f.fault_row < all.fault_row) all = RowsRead{f.fault_row, f.fault, all.longest};
    all.longest = std::max(all.longest, f.longest);
  }
  return all;
}

// The rows of a dictionary chunk, for index type I: out[i] is row i's code,
// given to each entry on its first use, when it is validated and appended to
// `texts`. `code_of` maps entries to codes (kUnseen before their first use).
// Without `nulls`, the row `null_row` and a row using a null entry are
// faults. With them (the null mode), a row marked there, whose index is not
// read, and a row using a null entry, then marked, get `null_code`, the code
// of the null text, which joins `texts` on its first use.
constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();
template <class I>
std::optional<ArrowReadError> read_codes(const Range& r, std::uint64_t null_row,
                                         const Range& dict, const StringEntries& entries,
                                         std::uint64_t base, std::vector<std::uint32_t>& code_of,
                                         RowBuffer<TextView>& texts, std::uint32_t* out,
                                         std::uint8_t* nulls, std::uint32_t& null_code) {
  const void* indices = r.array->buffers[1];
  const auto add = [&](TextView t, std::uint32_t& code) {
    const std::size_t seen = texts.rows().size();
    if (seen >= kUnseen) return false;
    code = static_cast<std::uint32_t>(seen);
    *texts.extend(1) = t;
    return true;
  };
  const auto null_text = [&](std::uint64_t i) {
    if (null_code == kUnseen && !add(kNullText, null_code)) return false;
    out[i] = null_code;
    return true;
  };
  for (std::uint64_t i = 0; i < r.length; ++i) {
    if (nulls && nulls[i]) {
      if (!null_text(i)) return malformed("more distinct texts than a column holds");
      continue;
    }
    if (i == null_row) return at(Kind::kNull, base + i);
    const I k = load<I>(indices, static_cast<std::size_t>(r.first + i));
    if constexpr (std::is_signed_v<I>) {
      if (k < 0) return at(Kind::kBadIndex, base + i);
    }
    if (static_cast<std::uint64_t>(k) >= dict.length) return at(Kind::kBadIndex, base + i);
    std::uint32_t& code = code_of[static_cast<std::size_t>(k)];
    if (code == kUnseen) {
      const Range entry{dict.array, dict.first + static_cast<std::uint64_t>(k), 1};
      if (first_null(entry) == 0) {
        if (!nulls) return at(Kind::kNull, base + i);
        nulls[i] = 1;
        if (!null_text(i)) return malformed("more distinct texts than a column holds");
        continue;
      }
      const TextView t = entries.entry(static_cast<std::uint64_t>(k));
      if (!valid_utf8(t)) return at(Kind::kInvalidUtf8, base + i);
      if (!add(t, code)) return malformed("more distinct texts than a column holds");
    }
    out[i] = code;
  }
  return std::nullopt;
}

// A dictionary chunk whose rows are all sound (no null row, every index in
// range, every entry not null and valid UTF-8) read in whole passes: every
// entry joins `texts`, in dictionary order, and a row's code is its index
// plus the code of entry 0, written to `out` (unless it is null: the caller
// then takes the indices themselves as the codes). `longest` grows to the
// longest entry a row uses; entries no row uses stay among `texts` but are no
// row's text. Taken when the dictionary is no longer than the chunk, so its
// entries cost no more than its rows. Returns false, with nothing appended to
// `texts`, when the chunk is not sound: the row-by-row reading then finds its
// first fault.
// kMasked (the null mode, with `nulls` marking the null rows): a null row is
// sound, its index not read, and its code `null_code`, given to the null text
// after the entries if it has none yet. REQUIRES: `out` when kMasked.
template <class I, bool kMasked>
bool read_sound_codes(const Range& r, std::uint64_t null_row, const Range& dict,
                      const StringEntries& entries, RowBuffer<TextView>& texts,
                      std::uint32_t* out, std::size_t& longest, const std::uint8_t* nulls,
                      std::uint32_t& null_code) {
  const std::size_t first = texts.rows().size();
  if ((!kMasked && null_row < r.length) || dict.length > r.length || dict.length + kMasked >= kUnseen - first)
    return false;
  if (first_null(dict) < dict.length) return false;
  const std::string_view data = entries.data();
  const bool all_ascii = !data.empty() && is_ascii(data);
  // The longest entry, which nearly always is the longest a row uses.
  std::uint64_t top = 0;
  std::size_t top_size = 0;
  for (std::uint64_t k = 0; k < dict.length; ++k) {
    const TextView t = entries.entry(k);
    if (!all_ascii && !valid_utf8(t)) return false;
    if (t.size > top_size) top = k, top_size = t.size;
  }
  // Local copies: the loops below store bytes, which could alias the structs.
  const auto* indices = static_cast<const unsigned char*>(r.array->buffers[1]) + r.first * sizeof(I);
  const std::uint64_t rows = r.length;
  // A null row's index, which may be anything, reads as 0 (a select, not a
  // branch, so that the loops still vectorise).
  const auto index = [indices, nulls](std::uint64_t i) {
    const I k = load<I>(indices, static_cast<std::size_t>(i));
    if constexpr (kMasked) {
      return nulls[i] ? I{0} : k;
    } else {
      (void)nulls;
      return k;
    }
  };
  // One pass for the range and the uses of the longest entry, without an
  // early exit, so that it vectorises; the uses counted in 32 bits a block of
  // rows, so that the counts take lanes as narrow as 32-bit indices.
  I least = 0, most = 0;
  const auto wanted = static_cast<I>(top);
  std::uint64_t uses = 0;
  constexpr std::uint64_t kCountBlock = std::uint64_t{1} << 16;
  for (std::uint64_t b = 0; b < rows; b += kCountBlock) {
    const std::uint64_t end = std::min(rows, b + kCountBlock);
    std::uint32_t block_uses = 0;
    for (std::uint64_t i = b; i < end; ++i) {
      least = std::min(least, index(i));
      most = std::max(most, index(i));
      if constexpr (kMasked) {
        block_uses += (index(i) == wanted) & (nulls[i] == 0);
      } else {
        block_uses += index(i) == wanted;
      }
    }
    uses += block_uses;
  }
  if constexpr (std::is_signed_v<I>) {
    if (least < 0) return false;
  }
  if (static_cast<std::uint64_t>(most) >= dict.length) return false;
  // The null text, when it is new, follows the entries, in the same extent
  // (extending again could move them).
  const bool new_null_text = kMasked && null_code == kUnseen;
  TextView* added = texts.extend(static_cast<std::size_t>(dict.length) + new_null_text);
  for (std::uint64_t k = 0; k < dict.length; ++k) added[k] = entries.entry(k);
  const auto code0 = static_cast<std::uint32_t>(first);
  if (new_null_text) {
    added[dict.length] = kNullText;
    null_code = code0 + static_cast<std::uint32_t>(dict.length);
  }
  if constexpr (kMasked) {
    for (std::uint64_t i = 0; i < rows; ++i)
      out[i] = nulls[i] ? null_code : code0 + static_cast<std::uint32_t>(index(i));
  } else if (out) {
    for (std::uint64_t i = 0; i < rows; ++i) out[i] = code0 + static_cast<std::uint32_t>(index(i));
  }
  if (uses) {
    longest = std::max(longest, top_size);
    return true;
  }
  // No row uses the longest entry: every row's entry is marked, a store a row.
  std::vector<unsigned char> used(static_cast<std::size_t>(dict.length));
  unsigned char* marks = used.data();
  for (std::uint64_t i = 0; i < rows; ++i)
    if (!kMasked || !nulls[i]) marks[static_cast<std::size_t>(index(i))] = 1;
  for (std::uint64_t k = 0; k < dict.length; ++k)
    if (used[k]) longest = std::max(longest, added[k].size);
  return true;
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
  layout.all_null = nulls_as_empty_ && !layout.index && s->format && std::string_view(s->format, strnlen(s->format, 2)) == "n";
  if ((!strings && !layout.all_null) || s->dictionary) return unsupported(s->format);
  layout.strings = strings.value_or(Strings::kUtf8);
  layout_ = layout;
  coded_ = layout.index != 0;
  return std::nullopt;
}

void TextColumn::reserve(std::uint64_t rows) {
  if (!coded_ && !on_demand_) texts_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(rows, kMaxEntries)));
}

std::optional<ArrowReadError> TextColumn::append(const ArrowArray& array, std::size_t workers,
                                                 const std::function<bool()>& stopped) {
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
  // The null type has no buffer, though some producers list a validity
  // buffer for it (never read).
  const std::int64_t n_buffers = layout_.all_null ? (a->n_buffers == 1 ? 1 : 0)
                                 : layout_.index  ? 2
                                                  : buffers_of(layout_.strings);
  if (auto e = check_array(*a, n_buffers, start, length, r)) return e;
  if (layout_.all_null) {  // every row null, of an array with no buffer at all
    std::fill_n(chunk_nulls(length), length, std::uint8_t{1});
    std::fill_n(texts_.extend(length), length, kNullText);
    count_nulls(length);
    rows_ += length;
    return std::nullopt;
  }
  null_row = std::min(null_row, first_null(r));
  // The null mode's mask of this chunk, when a row of it is null.
  if (!nulls_.empty()) nulls_.resize(static_cast<std::size_t>(rows_ + length));
  std::uint8_t* nulls = nullptr;
  if (nulls_as_empty_ && null_row < length) {
    nulls = chunk_nulls(length);
    if (layout_.in_struct) mark_nulls(outer, nulls);
    mark_nulls(r, nulls);
  }

  if (!layout_.index) {
    if (null_row < length && !nulls) return at(Kind::kNull, base + null_row);
    if (length == 0) return std::nullopt;
    // The structure of every row comes first. A utf8 or large_utf8 chunk's
    // offsets are checked by its reading, a block's before its bytes, in the
    // same pass that finds its longest text; where that cannot be (a null
    // row's offsets are not read, nor a missing data buffer's texts), and
    // after any fault, the chunk's offsets are checked whole, so that a fall
    // anywhere is the error, as it is before any byte is read.
    if (!r.array->buffers[1]) return malformed("missing offsets or views buffer");
    StringEntries entries;
    const bool offsets = layout_.strings != Strings::kView;
    if (!offsets) {
      if (auto e = check_variadic_sizes(*r.array)) return e;
    } else if (nulls || !r.array->buffers[2]) {
      if (auto e = entries.check(layout_.strings, r, base)) return e;
    }
    TextView* out = on_demand_ ? nullptr : texts_.extend(length);
    const auto read = [&](auto read_part) {
      return read_rows(length, workers, stopped, &stopped_, [&](std::uint64_t lo, std::uint64_t hi) {
        if (!nulls) return read_part(r, lo, hi, out);
        return read_valid_runs(nulls, lo, hi, out,
                               [&](std::uint64_t i, std::uint64_t j) { return read_part(r, i, j, out); });
      });
    };
    RowsRead got{};
    switch (layout_.strings) {
      case Strings::kUtf8: got = read(read_offset_rows<std::int32_t>); break;
      case Strings::kLargeUtf8: got = read(read_offset_rows<std::int64_t>); break;
      case Strings::kView: got = read(read_view_rows); break;
    }
    if (stopped_) return std::nullopt;
    if (got.fault_row != kNoRow) {
      if (offsets)
        if (auto e = entries.check(layout_.strings, r, base)) return e;
      return at(got.fault, base + got.fault_row);
    }
    if (on_demand_) chunks_.push_back(Chunk{r.array, r.first, base, length});
    longest_ = std::max(longest_, got.longest);
    count_nulls(length);
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
  if (auto fault = entries.check(layout_.strings, d, 0, nulls_as_empty_)) {
    // A fault of the dictionary itself has no row of the column.
    return fault->kind == Kind::kMalformed ? fault : std::optional(malformed("invalid dictionary"));
  }
  // Codes lent by an earlier chunk are copied before this one's follow them.
  if (!lent_.empty()) {
    std::copy(lent_.begin(), lent_.end(), codes_.extend(lent_.size()));
    lent_ = {};
  }
  // The first chunk's 32-bit indices, when its rows are all sound, are its
  // codes (its entries are the first texts): they are lent, not copied.
  const void* indices = length ? static_cast<const char*>(a->buffers[1]) + r.first * 4 : nullptr;
  const bool lend = (layout_.index == 'i' || layout_.index == 'I') && codes_.rows().empty() &&
                    texts_.rows().empty() && length && !nulls &&
                    reinterpret_cast<std::uintptr_t>(indices) % alignof(std::uint32_t) == 0;
  const std::size_t distinct_before = texts_.rows().size();
  std::uint32_t* out = lend ? nullptr : codes_.extend(length);
  std::optional<ArrowReadError> e;
  const auto read = [&](auto index) {
    using I = decltype(index);
    if (nulls ? read_sound_codes<I, true>(r, null_row, d, entries, texts_, out, longest_, nulls, null_code_)
              : read_sound_codes<I, false>(r, null_row, d, entries, texts_, out, longest_, nulls, null_code_)) {
      if (!out) lent_ = {static_cast<const std::uint32_t*>(indices), static_cast<std::size_t>(length)};
      return;
    }
    if (!out) out = codes_.extend(length);
    // In the null mode a row may yet use a null entry: the mask is made.
    if (nulls_as_empty_ && !nulls) nulls = chunk_nulls(length);
    std::vector<std::uint32_t> code_of(dict_length, kUnseen);
    e = read_codes<I>(r, null_row, d, entries, base, code_of, texts_, out, nulls, null_code_);
    if (!e)
      for (const TextView& t : texts_.rows().subspan(distinct_before))
        longest_ = std::max(longest_, t.size);
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
  count_nulls(length);
  rows_ += length;
  return std::nullopt;
}

std::uint8_t* TextColumn::chunk_nulls(std::uint64_t length) {
  nulls_.resize(static_cast<std::size_t>(rows_ + length));
  return nulls_.data() + rows_;
}

void TextColumn::count_nulls(std::uint64_t length) {
  if (nulls_.empty()) return;
  const std::uint8_t* chunk = nulls_.data() + rows_;
  null_rows_ += static_cast<std::uint64_t>(std::count(chunk, chunk + length, std::uint8_t{1}));
  if (null_rows_ == 0) std::vector<std::uint8_t>().swap(nulls_);
}

void TextColumn::views(std::size_t first, std::span<TextView> out) const {
  if (coded_) {
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = texts()[codes()[first + k]];
    return;
  }
  if (!on_demand_) {
    std::copy_n(texts().begin() + static_cast<std::ptrdiff_t>(first), out.size(), out.begin());
    return;
  }
  // The chunk of row `first`: the last that starts at or before it.
  auto c = std::upper_bound(chunks_.begin(), chunks_.end(), first,
                            [](std::uint64_t row, const Chunk& k) { return row < k.base; });
  for (std::size_t done = 0; done < out.size(); ++c) {
    const Chunk& k = *(c - 1);
    const std::uint64_t i = first + done - k.base;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - done, k.length - i));
    const Range r{k.array, k.first, k.length};
    TextView* to = out.data() + done;
    if (layout_.strings == Strings::kView) {
      const ViewBuffers buffers(r);
      for (std::size_t j = 0; j < n; ++j) view_text(buffers, i + j, to[j].data, to[j].size);
    } else {
      const char* data = static_cast<const char*>(k.array->buffers[2]);
      if (layout_.strings == Strings::kUtf8)
        offset_views(data, offsets_of<std::int32_t>(r) + i, n, to);
      else
        offset_views(data, offsets_of<std::int64_t>(r) + i, n, to);
    }
    done += n;
  }
  // A null row's offsets make a view of bytes that are not its text.
  if (!nulls_.empty())
    for (std::size_t k = 0; k < out.size(); ++k)
      if (nulls_[first + k]) out[k] = kNullText;
}

std::vector<TextView> TextColumn::row_views() const {
  std::vector<TextView> out(static_cast<std::size_t>(rows_));
  views(0, out);
  return out;
}

}  // namespace quillmatch
