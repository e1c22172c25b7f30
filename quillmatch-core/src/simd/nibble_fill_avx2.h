// The AVX2 NibbleFill of batch/slices.h: sixteen bytes of every lane at a time,
// transposed and looked up in the lane table with byte shuffles.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "simd/fill_column.h"
#include "quillmatch/quillmatch.h"
#include "simd/simd.h"

namespace quillmatch {

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
    __m128i in[2][16];  // [lanes / 16][lane % 16]
    // Unrolled, so that the rows stay in registers (clang keeps the loop
    // and passes them through memory).
#pragma GCC unroll 32
    for (std::size_t k = 0; k < kLanes; ++k) {
      const std::size_t length = k < count ? static_cast<std::size_t>(lengths[k]) : 0;
      in[k / 16][k % 16] = length > j0 ? load_row(texts[k] + j0, length - j0) : _mm_setzero_si128();
    }
    __m256i planes[sizeof(T)];
    if constexpr (sizeof(T) == 1) {
      // Step j of lanes 0..15 and 16..31 side by side: one row, each half
      // the transpose of sixteen lanes.
      __m256i r[16];
      for (int i = 0; i < 16; ++i) r[i] = _mm256_set_m128i(in[1][i], in[0][i]);
      transpose_bytes<16>(r);
      mark_high(_mm256_movemask_epi8(any_of(r)), high);
      for (std::size_t j = 0; j < rows; ++j) {
        lookup(r[j], planes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + j * kLanes), planes[0]);
      }
    } else {
      // Steps j and j + 1 of the sixteen lanes side by side, looked up as
      // bytes, then each entry's two bytes interleaved into its lane. Lanes
      // 0..7 and 8..15 go through the halves of the registers: after the
      // transpose, r[m] holds steps 2m and 2m + 1 of lanes 0..7, then of lanes
      // 8..15, eight bytes each; one permutation puts each step's together.
      __m256i r[8];
      for (int i = 0; i < 8; ++i) r[i] = _mm256_set_m128i(in[0][i + 8], in[0][i]);
      transpose_bytes<8>(r);
      for (__m256i& x : r) x = _mm256_permute4x64_epi64(x, _MM_SHUFFLE(3, 1, 2, 0));
      const __m256i any = any_of(r);
      mark_high(_mm_movemask_epi8(_mm_or_si128(_mm256_castsi256_si128(any),
                                               _mm256_extracti128_si256(any, 1))), high);
      for (std::size_t j = 0; j < rows; j += 2) {
        lookup(r[j / 2], planes);
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

  // Within each half of the registers, the transpose of N rows of sixteen
  // bytes. For N = 16, half h of r[j] becomes byte j of half h of every input
  // row, in row order. For N = 8, half h of r[m] becomes bytes 2m, then bytes
  // 2m + 1, of half h of the eight input rows: eight bytes each.
  template <int N>
  static void transpose_bytes(__m256i (&r)[N]) {
    static_assert(N == 8 || N == 16);
    __m256i b[N], c[N];
    for (int i = 0; i < N / 2; ++i) {  // bytes of rows 2i, 2i + 1 in pairs
      b[2 * i] = _mm256_unpacklo_epi8(r[2 * i], r[2 * i + 1]);
      b[2 * i + 1] = _mm256_unpackhi_epi8(r[2 * i], r[2 * i + 1]);
    }
    for (int i = 0; i < N / 4; ++i) {  // bytes j of rows 4i .. 4i + 3, j in fours
      c[4 * i] = _mm256_unpacklo_epi16(b[4 * i], b[4 * i + 2]);
      c[4 * i + 1] = _mm256_unpackhi_epi16(b[4 * i], b[4 * i + 2]);
      c[4 * i + 2] = _mm256_unpacklo_epi16(b[4 * i + 1], b[4 * i + 3]);
      c[4 * i + 3] = _mm256_unpackhi_epi16(b[4 * i + 1], b[4 * i + 3]);
    }
    for (int h = 0; h < N / 8; ++h) {  // bytes j of rows 8h .. 8h + 7, j in pairs
      for (int q = 0; q < 4; ++q) {
        b[8 * h + 2 * q] = _mm256_unpacklo_epi32(c[8 * h + q], c[8 * h + 4 + q]);
        b[8 * h + 2 * q + 1] = _mm256_unpackhi_epi32(c[8 * h + q], c[8 * h + 4 + q]);
      }
    }
    if constexpr (N == 8) {
      for (int m = 0; m < 8; ++m) r[m] = b[m];
    } else {
      for (int m = 0; m < 8; ++m) {  // b[m] and b[8 + m] hold bytes 2m and 2m + 1
        r[2 * m] = _mm256_unpacklo_epi64(b[m], b[8 + m]);
        r[2 * m + 1] = _mm256_unpackhi_epi64(b[m], b[8 + m]);
      }
    }
  }

  template <int N>
  static __m256i any_of(const __m256i (&r)[N]) {
    __m256i any = r[0];
    for (int j = 1; j < N; ++j) any = _mm256_or_si256(any, r[j]);
    return any;
  }

  // high[k] |= 0x80 for each bit k of `lanes`: the lanes with a byte of 0x80
  // or above (lanes past the group have zeros only).
  static void mark_high(int lanes, unsigned char* high) {
    for (auto bits = static_cast<unsigned>(lanes); bits; bits &= bits - 1)
      high[std::countr_zero(bits)] |= 0x80;
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

}  // namespace quillmatch
