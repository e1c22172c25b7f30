// What the lane engines share on the way from candidate texts to lanes: the
// walk over a long list one slice at a time, with the next slice's texts
// fetched while this one is scored, and the copy of a text's table entries
// into its lane's column of a block.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "quillmatch/quillmatch.h"
#include "simd.h"

namespace quillmatch {

// The texts of a long list lie scattered and long out of cache. Asking for all
// of the next slice's first bytes at once stalls: the processor keeps only
// about ten misses in flight, so the later requests wait for the earlier ones
// and nothing else runs meanwhile. Asking for a few at a time, spread over
// this slice's work, overlaps the misses with it instead.
class SliceAhead {
 public:
  SliceAhead(std::span<const TextView> candidates, std::size_t begin, std::size_t end)
      : candidates_(candidates), next_(begin), end_(end) {}

  // Asks for the first bytes of up to `count` more texts of the next slice.
  void fetch(std::size_t count) {
    const std::size_t stop = std::min(end_, next_ + count);
    for (; next_ < stop; ++next_) __builtin_prefetch(candidates_[next_].data);
  }
  void fetch_rest() { fetch(end_ - next_); }

 private:
  std::span<const TextView> candidates_;
  std::size_t next_;
  std::size_t end_;
};

// Calls score_slice(begin, count, ahead) for consecutive slices of at most
// `slice` candidates, in order; score_slice calls ahead.fetch as it goes.
template <class ScoreSlice>
void for_each_slice(std::span<const TextView> candidates, std::size_t slice,
                    ScoreSlice score_slice) {
  for (std::size_t base = 0; base < candidates.size(); base += slice) {
    const std::size_t n = std::min(slice, candidates.size() - base);
    SliceAhead ahead(candidates, base + n, std::min(base + n + slice, candidates.size()));
    score_slice(base, n, ahead);
    ahead.fetch_rest();
  }
}

// Writes table[bytes[j]] to column[j * stride] for every j < n and returns the
// OR of the bytes (0x80 and above when a byte is not ASCII). Four bytes a
// round: the loop's own counting would otherwise cost as much as the copy.
template <class T>
unsigned char fill_column(const unsigned char* bytes, std::size_t n, const T* table, T* column,
                          std::size_t stride) {
  unsigned char seen = 0;
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4, column += 4 * stride) {
    const unsigned char b0 = bytes[j], b1 = bytes[j + 1], b2 = bytes[j + 2], b3 = bytes[j + 3];
    seen |= static_cast<unsigned char>(b0 | b1 | b2 | b3);
    column[0] = table[b0];
    column[stride] = table[b1];
    column[2 * stride] = table[b2];
    column[3 * stride] = table[b3];
  }
  for (; j < n; ++j, column += stride) {
    seen |= bytes[j];
    *column = table[bytes[j]];
  }
  return seen;
}

// fill_column for a whole group of lanes 8 or 16 bits wide, sixteen text
// positions at a time, in vector registers: each lane's next sixteen bytes are
// loaded as one row, the sixteen rows transposed, and each transposed row (one
// byte per lane) looked up in the table all at once. The lookup splits a byte
// into its high and low nibble: for each high nibble H under which the table has
// a nonzero entry, a byte shuffle reads the sixteen entries H0..HF by the low
// nibble, kept where the high nibble is H. Every other byte reads zero, as its
// table entry is. So each row in a lane's length holds exactly what fill_column
// would write; rows past a lane's end hold the entry of byte 0, and no engine
// reads those.
template <class T>
class NibbleFill {
  static_assert(std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t>);

 public:
  using V = simd::Lanes<T>;
  static constexpr std::size_t kLanes = V::kCount;
  static constexpr std::size_t kRowSteps = 16;
  // More high nibbles and the scalar copy is as fast.
  static constexpr std::size_t kMaxNibbles = 4;

  // ready() tells whether the table's nonzero entries fall under at most
  // kMaxNibbles high nibbles.
  explicit NibbleFill(const T* table) {
    for (unsigned h = 0; h < 16; ++h) {
      bool used = false;
      for (unsigned l = 0; l < 16; ++l) used = used || table[h * 16 + l] != 0;
      if (!used) continue;
      if (nibbles_ == kMaxNibbles) {
        nibbles_ = kMaxNibbles + 1;
        return;
      }
      alignas(16) unsigned char bytes[sizeof(T)][16];
      for (unsigned l = 0; l < 16; ++l)
        for (std::size_t b = 0; b < sizeof(T); ++b)
          bytes[b][l] = static_cast<unsigned char>(table[h * 16 + l] >> (8 * b));
      high_[nibbles_] = _mm256_set1_epi8(static_cast<char>(h));
      for (std::size_t b = 0; b < sizeof(T); ++b)
        entries_[nibbles_][b] = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i*>(bytes[b])));
      ++nibbles_;
    }
  }

  bool ready() const { return nibbles_ <= kMaxNibbles; }

  // Rows j0 .. j0 + rows - 1 of a group's block (row j at
  // block + (j - j0) * kLanes), and maybe the row after them; lanes from
  // `count` up, like rows past a lane's end, get byte 0's entry. high[k] gets
  // 0x80 when lane k has a byte of 0x80 or above among its bytes
  // j0 .. j0 + kRowSteps - 1.
  // texts[k] has lengths[k] bytes.
  // REQUIRES: ready(), 1 <= rows <= kRowSteps, and room for kRowSteps rows.
  template <class Length>
  void fill_rows(const unsigned char* const* texts, const Length* lengths, std::size_t count,
                 std::size_t j0, std::size_t rows, T* block, unsigned char* high) const {
    __m128i in[2][16];  // [lanes / 16][lane % 16], then [lanes / 16][step]
    for (std::size_t k = 0; k < kLanes; ++k) {
      const std::size_t length = k < count ? static_cast<std::size_t>(lengths[k]) : 0;
      const __m128i row = length > j0 ? load_row(texts[k] + j0, length - j0) : _mm_setzero_si128();
      in[k / 16][k % 16] = row;
      if (k < count && _mm_movemask_epi8(row) != 0) high[k] |= 0x80;
    }
    __m256i planes[sizeof(T)];
    if constexpr (sizeof(T) == 1) {
      // Steps j of lanes 0..15 and 16..31 side by side: one row.
      transpose_16x16(in[0]);
      transpose_16x16(in[1]);
      for (std::size_t j = 0; j < rows; ++j) {
        lookup(_mm256_inserti128_si256(_mm256_castsi128_si256(in[0][j]), in[1][j], 1), planes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + j * kLanes), planes[0]);
      }
    } else {
      // Steps j and j + 1 of the sixteen lanes side by side, looked up as
      // bytes, then each entry's two bytes interleaved into its lane.
      transpose_16x16(in[0]);
      for (std::size_t j = 0; j < rows; j += 2) {
        lookup(_mm256_inserti128_si256(_mm256_castsi128_si256(in[0][j]), in[0][j + 1], 1), planes);
        const __m256i lo = _mm256_unpacklo_epi8(planes[0], planes[1]);  // lanes 0..7 of each step
        const __m256i hi = _mm256_unpackhi_epi8(planes[0], planes[1]);  // lanes 8..15
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + j * kLanes),
                            _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + (j + 1) * kLanes),
                            _mm256_permute2x128_si256(lo, hi, 0x31));
      }
    }
  }

 private:
  // Up to sixteen bytes of a text as a row, zero past its end, in one load:
  // short texts are most texts, and copying one through a buffer costs more
  // than the rest of its fill. The load may read past the text (see
  // within_page): sixteen bytes from its start when they stay in its first
  // page, else the sixteen ending at its end, which start in that page (the
  // text starts in its last 15 bytes).
  __attribute__((no_sanitize("address"))) static __m128i load_row(const unsigned char* p,
                                                                   std::size_t n) {
    if (n >= 16) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (n == 0) return _mm_setzero_si128();
    if (within_page(p, 16)) {
      // kKeep + 16 - n: n bytes of 0xFF, then zeros.
      const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeep + 16 - n));
      return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), keep);
    }
    // The text's n bytes end up at buf[32 - n, 32), zeros after them.
    alignas(16) unsigned char buf[48] = {};
    _mm_store_si128(reinterpret_cast<__m128i*>(buf + 16),
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)));
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 32 - n));
  }

  static constexpr unsigned char kKeep[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

  // Row j of the result holds byte j of every input row, in row order.
  static void transpose_16x16(__m128i (&r)[16]) {
    __m128i b[16], c[16];
    for (int i = 0; i < 8; ++i) {  // byte pairs of rows 2i, 2i + 1
      b[2 * i] = _mm_unpacklo_epi8(r[2 * i], r[2 * i + 1]);
      b[2 * i + 1] = _mm_unpackhi_epi8(r[2 * i], r[2 * i + 1]);
    }
    for (int i = 0; i < 4; ++i) {  // bytes j of rows 4i .. 4i + 3, j in fours
      c[4 * i] = _mm_unpacklo_epi16(b[4 * i], b[4 * i + 2]);
      c[4 * i + 1] = _mm_unpackhi_epi16(b[4 * i], b[4 * i + 2]);
      c[4 * i + 2] = _mm_unpacklo_epi16(b[4 * i + 1], b[4 * i + 3]);
      c[4 * i + 3] = _mm_unpackhi_epi16(b[4 * i + 1], b[4 * i + 3]);
    }
    for (int h = 0; h < 2; ++h) {  // bytes j of rows 8h .. 8h + 7, j in pairs
      for (int q = 0; q < 4; ++q) {
        b[8 * h + 2 * q] = _mm_unpacklo_epi32(c[8 * h + q], c[8 * h + 4 + q]);
        b[8 * h + 2 * q + 1] = _mm_unpackhi_epi32(c[8 * h + q], c[8 * h + 4 + q]);
      }
    }
    for (int m = 0; m < 8; ++m) {  // b[m] and b[8 + m] hold bytes 2m and 2m + 1
      r[2 * m] = _mm_unpacklo_epi64(b[m], b[8 + m]);
      r[2 * m + 1] = _mm_unpackhi_epi64(b[m], b[8 + m]);
    }
  }

  // For each byte value of x, byte b of its table entry in planes[b].
  void lookup(__m256i x, __m256i (&planes)[sizeof(T)]) const {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);
    const __m256i low = _mm256_and_si256(x, nibble);
    for (__m256i& plane : planes) plane = _mm256_setzero_si256();
    for (std::size_t g = 0; g < nibbles_; ++g) {
      const __m256i here = _mm256_cmpeq_epi8(high, high_[g]);
      for (std::size_t b = 0; b < sizeof(T); ++b)
        planes[b] = _mm256_or_si256(
            planes[b], _mm256_and_si256(_mm256_shuffle_epi8(entries_[g][b], low), here));
    }
  }

  std::size_t nibbles_ = 0;
  __m256i high_[kMaxNibbles];
  __m256i entries_[kMaxNibbles][sizeof(T)];
};

// Lanes of 32 and 64 bits keep fill_column.
struct NoNibbleFill {
  static constexpr std::size_t kRowSteps = 16;
  explicit NoNibbleFill(const void*) {}
  bool ready() const { return false; }
  template <class T, class Length>
  void fill_rows(const unsigned char* const*, const Length*, std::size_t, std::size_t,
                 std::size_t, T*, unsigned char*) const {}
};

// What a lane engine of T-bit lanes fills rows with, when ready().
template <class T>
using LaneFill = std::conditional_t<sizeof(T) <= 2, NibbleFill<T>, NoNibbleFill>;

// Rows j0 .. j1 - 1 of a group's block (row j at block + (j - j0) * kLanes)
// from the lanes' texts, through `fill` when it is ready, else fill_column
// lane by lane;
// high[k] gets the OR of (at least) lane k's bytes among them, as to 0x80.
// REQUIRES: room for the rows up to j0 + kRowSteps past the last one filled.
template <class T, class Length>
void fill_rows(const LaneFill<T>& fill, const T* table, const unsigned char* const* texts,
               const Length* lengths, std::size_t count, std::size_t j0, std::size_t j1,
               T* block, unsigned char* high) {
  constexpr std::size_t kLanes = simd::Lanes<T>::kCount;
  if (fill.ready()) {
    for (std::size_t s = j0; s < j1; s += LaneFill<T>::kRowSteps)
      fill.fill_rows(texts, lengths, count, s, std::min(LaneFill<T>::kRowSteps, j1 - s),
                     block + (s - j0) * kLanes, high);
    return;
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t end = std::min<std::size_t>(lengths[k], j1);
    if (end > j0) high[k] |= fill_column(texts[k] + j0, end - j0, table, block + k, kLanes);
  }
}

}  // namespace quillmatch
