// Patterns of 32 bytes in all held in one register: one of at most 32 bytes,
// or two of at most 16, one in each half. scan() compares them with the
// bytes of a text, one position per step: with one pattern, bit i of a
// step's mask is set exactly when byte i of the pattern is the text's byte;
// with two, bits 0-15 compare the first pattern with the first text and
// bits 16-31 the second with the second. Bits past a pattern's length, and
// a half's bits past its text's length, are unspecified. With AVX2 a load
// brings sixteen text positions (of each text) and a step is one byte
// shuffle, one compare and one movemask; elsewhere a loop over the bytes,
// which is the definition.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quillmatch/quillmatch.h"
#include "text/text.h"

#if defined(QUILLMATCH_SIMD_AVX2)
#include <immintrin.h>
#endif

namespace quillmatch::simd {

inline constexpr std::size_t kPatternBytes = 32;
// scan() emits the positions of a text in runs of this many (a divisor of 16).
inline constexpr std::size_t kScanStride = 4;

#if defined(QUILLMATCH_SIMD_AVX2)

class PatternRegister {
 public:
  // One pattern: the n bytes at p, lowered (ascii_lower) when `fold`, as are
  // the texts scanned. REQUIRES: n <= kPatternBytes.
  PatternRegister(const unsigned char* p, std::size_t n, bool fold) : fold_(fold) {
    v_ = n <= 16 ? _mm256_castsi128_si256(load16(p, n))
                 : _mm256_inserti128_si256(_mm256_castsi128_si256(load16(p, 16)), load16(p + 16, n - 16), 1);
    lower();
  }
  // Two patterns, a in the low half and b in the high.
  // REQUIRES: na <= 16 and nb <= 16.
  PatternRegister(const unsigned char* a, std::size_t na, const unsigned char* b, std::size_t nb, bool fold)
      : fold_(fold) {
    v_ = _mm256_inserti128_si256(_mm256_castsi128_si256(load16(a, na)), load16(b, nb), 1);
    lower();
  }

  // emit(j, mask) for j below max(la, lb) rounded up to a multiple of
  // kScanStride: the masks of position j of the la bytes at ta and the lb
  // bytes at tb (the same text twice for one pattern); those from max(la, lb)
  // on are unspecified.
  template <class Emit>
  void scan(const unsigned char* ta, std::size_t la, const unsigned char* tb, std::size_t lb, Emit&& emit) const {
    const std::size_t steps = std::max(la, lb);
    for (std::size_t at = 0; at < steps; at += 16) {
      __m256i t = _mm256_inserti128_si256(_mm256_castsi128_si256(load16(ta, la, at)), load16(tb, lb, at), 1);
      if (fold_) t = ascii_lower(Bytes{t}).v;
      const std::size_t count = std::min<std::size_t>(16, steps - at);
      // Byte j of each half, in every byte of that half; kScanStride
      // positions an iteration, which a multiple of it ending at 16 keeps
      // within the load.
      __m256i index = _mm256_setzero_si256();
      for (std::size_t j = 0; j < count; j += kScanStride) {
        for (std::size_t u = 0; u < kScanStride; ++u) {
          const __m256i eq = _mm256_cmpeq_epi8(v_, _mm256_shuffle_epi8(t, index));
          emit(at + j + u, static_cast<std::uint32_t>(_mm256_movemask_epi8(eq)));
          index = _mm256_add_epi8(index, _mm256_set1_epi8(1));
        }
      }
    }
  }

 private:
  void lower() {
    if (fold_) v_ = ascii_lower(Bytes{v_}).v;
  }
  // The 16 bytes from byte `at` of the n at p; those past n unspecified.
  // Read whole, from the text itself when its page holds 16 bytes from
  // there (see within_page in quillmatch.h): a copy would be stores that one
  // load reads, which the processor cannot forward and waits on.
  __attribute__((no_sanitize("address"))) static __m128i load16(const unsigned char* p, std::size_t n,
                                                                std::size_t at = 0) {
    // Nothing left (an empty text's p may be one past its last byte, where
    // no byte need be readable).
    if (n <= at) return _mm_setzero_si128();
    p += at;
    if (within_page(p, 16)) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    unsigned char held[16] = {};
    std::memcpy(held, p, std::min<std::size_t>(16, n - at));
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(held));
  }

  __m256i v_;
  const bool fold_;
};

#else

class PatternRegister {
 public:
  PatternRegister(const unsigned char* p, std::size_t n, bool fold) : fold_(fold), halves_(false) { take(p, n, 0); }
  PatternRegister(const unsigned char* a, std::size_t na, const unsigned char* b, std::size_t nb, bool fold)
      : fold_(fold), halves_(true) {
    take(a, na, 0);
    take(b, nb, 1);
  }

  template <class Emit>
  void scan(const unsigned char* ta, std::size_t la, const unsigned char* tb, std::size_t lb, Emit&& emit) const {
    const std::size_t steps = (std::max(la, lb) + kScanStride - 1) / kScanStride * kScanStride;
    for (std::size_t j = 0; j < steps; ++j) {
      std::uint32_t bits = 0;
      if (j < la) bits |= matches(0, lowered(ta[j]));
      if (halves_ && j < lb) bits |= matches(1, lowered(tb[j]));
      emit(j, bits);
    }
  }

 private:
  void take(const unsigned char* p, std::size_t n, int half) {
    n_[half] = n;
    for (std::size_t i = 0; i < n; ++i) bytes_[16 * half + i] = lowered(p[i]);
  }
  unsigned char lowered(unsigned char c) const { return fold_ ? quillmatch::ascii_lower(c) : c; }
  std::uint32_t matches(int half, unsigned char c) const {
    std::uint32_t bits = 0;
    for (std::size_t i = 16 * half; i < 16 * half + n_[half]; ++i) bits |= static_cast<std::uint32_t>(bytes_[i] == c) << i;
    return bits;
  }

  unsigned char bytes_[kPatternBytes] = {};
  std::size_t n_[2] = {};
  const bool fold_, halves_;
};

#endif

}  // namespace quillmatch::simd
