// A thin value type over one 256-bit AVX2 register holding 32 bytes, with just
// the operations the text scans need, so that they read like their scalar twins.
// The whole library is compiled with AVX2 enabled; there is no run-time check.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace quillmatch::simd {

struct Bytes32 {
  static constexpr std::size_t kSize = 32;
  __m256i v;

  static Bytes32 load(const void* p) {
    return {_mm256_loadu_si256(static_cast<const __m256i*>(p))};
  }
  static Bytes32 splat(char c) { return {_mm256_set1_epi8(c)}; }
  void store(void* p) const { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

  // One bit per byte: bit k is the top bit of byte k.
  std::uint32_t top_bits() const { return static_cast<std::uint32_t>(_mm256_movemask_epi8(v)); }

  friend Bytes32 operator|(Bytes32 a, Bytes32 b) { return {_mm256_or_si256(a.v, b.v)}; }
  friend Bytes32 operator&(Bytes32 a, Bytes32 b) { return {_mm256_and_si256(a.v, b.v)}; }
  friend Bytes32 operator+(Bytes32 a, Bytes32 b) { return {_mm256_add_epi8(a.v, b.v)}; }
  // Signed byte compare: 0xFF where a > b.
  friend Bytes32 operator>(Bytes32 a, Bytes32 b) { return {_mm256_cmpgt_epi8(a.v, b.v)}; }
};

// ASCII A..Z to a..z on 32 bytes that are all below 0x80. A byte is a capital
// letter exactly when b > 'A' - 1 and 'Z' + 1 > b; both compares are signed,
// which is right because every byte here is non-negative.
inline Bytes32 ascii_lower(Bytes32 b) {
  Bytes32 upper = (b > Bytes32::splat('A' - 1)) & (Bytes32::splat('Z' + 1) > b);
  return b + (upper & Bytes32::splat(0x20));
}

}  // namespace quillmatch::simd
