// A pattern of at most 32 bytes held whole, and the positions where it holds a
// given byte: bit i of matches(c) is set exactly when byte i of the pattern
// is c, for i below the pattern's length; the bits from the length up are
// unspecified. With AVX2 that is one compare of the register against the byte
// repeated and one movemask; elsewhere a loop over the bytes, which is the
// definition.
#pragma once

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

#if defined(QUILLMATCH_SIMD_AVX2)

class BytePattern {
 public:
  // The n bytes at p, lowered (ascii_lower) when `fold`.
  // REQUIRES: n <= kPatternBytes.
  BytePattern(const unsigned char* p, std::size_t n, bool fold) : v_(load(p, n)) {
    if (fold) v_ = ascii_lower(Bytes{v_}).v;
  }
  std::uint32_t matches(unsigned char c) const {
    const __m256i eq = _mm256_cmpeq_epi8(v_, _mm256_set1_epi8(static_cast<char>(c)));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(eq));
  }

 private:
  // Read whole, from the text itself when its page holds 32 bytes from p (see
  // within_page in quillmatch.h): a copy would be two stores that one load
  // reads, which the processor cannot forward and waits on.
  __attribute__((no_sanitize("address"))) static __m256i load(const unsigned char* p, std::size_t n) {
    // An empty pattern's p may be one past its text's last byte, where no
    // byte need be readable.
    if (n == 0) return _mm256_setzero_si256();
    if (within_page(p, kPatternBytes)) return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    unsigned char held[kPatternBytes] = {};
    std::memcpy(held, p, n);
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(held));
  }

  __m256i v_;
};

#else

class BytePattern {
 public:
  BytePattern(const unsigned char* p, std::size_t n, bool fold) : n_(n) {
    for (std::size_t i = 0; i < n; ++i) bytes_[i] = fold ? quillmatch::ascii_lower(p[i]) : p[i];
  }
  std::uint32_t matches(unsigned char c) const {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < n_; ++i) bits |= static_cast<std::uint32_t>(bytes_[i] == c) << i;
    return bits;
  }

 private:
  unsigned char bytes_[kPatternBytes];
  std::size_t n_;
};

#endif

}  // namespace quillmatch::simd
