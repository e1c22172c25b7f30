// A pattern of at most 32 bytes held whole, and the positions where it holds a
// given byte: bit i of matches(c) is set exactly when byte i of the pattern
// is c. With AVX2 that is one compare of the register against the byte
// repeated and one movemask; elsewhere a loop over the 32 bytes, which is the
// definition.
#pragma once

#include <cstdint>

#if defined(QUILLMATCH_SIMD_AVX2)
#include <immintrin.h>
#endif

namespace quillmatch::simd {

#if defined(QUILLMATCH_SIMD_AVX2)

class BytePattern {
 public:
  // REQUIRES: 32 readable bytes at p.
  explicit BytePattern(const unsigned char* p) : v_(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))) {}
  std::uint32_t matches(unsigned char c) const {
    const __m256i eq = _mm256_cmpeq_epi8(v_, _mm256_set1_epi8(static_cast<char>(c)));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(eq));
  }

 private:
  __m256i v_;
};

#else

class BytePattern {
 public:
  explicit BytePattern(const unsigned char* p) {
    for (int i = 0; i < 32; ++i) bytes_[i] = p[i];
  }
  std::uint32_t matches(unsigned char c) const {
    std::uint32_t bits = 0;
    for (int i = 0; i < 32; ++i) bits |= static_cast<std::uint32_t>(bytes_[i] == c) << i;
    return bits;
  }

 private:
  unsigned char bytes_[32];
};

#endif

}  // namespace quillmatch::simd
