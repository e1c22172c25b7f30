// The AVX2 back end of simd.h: one 256-bit register. The library is compiled
// with AVX2, BMI1, BMI2 and POPCNT enabled and checks nothing at run time; the
// module's entry reads the processor before it runs anything of this build
// (py/common/entry.cpp).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace quillmatch::simd {

inline constexpr std::size_t kRegisterBytes = 32;
using Register = __m256i;

namespace reg {
inline Register zero() { return _mm256_setzero_si256(); }
inline Register ones() { return _mm256_set1_epi32(-1); }
inline Register load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
inline void store(void* p, Register a) { _mm256_storeu_si256(static_cast<__m256i*>(p), a); }
inline Register bit_and(Register a, Register b) { return _mm256_and_si256(a, b); }
inline Register bit_or(Register a, Register b) { return _mm256_or_si256(a, b); }
inline Register bit_xor(Register a, Register b) { return _mm256_xor_si256(a, b); }
// a & ~b in one instruction.
inline Register and_not(Register a, Register b) { return _mm256_andnot_si256(b, a); }
}  // namespace reg

// Bytes: splat, add, signed compare, and whether any byte has its top bit.
struct ByteArith {
  static Register splat(char c) { return _mm256_set1_epi8(c); }
  static Register add(Register a, Register b) { return _mm256_add_epi8(a, b); }
  static Register greater(Register a, Register b) { return _mm256_cmpgt_epi8(a, b); }
  static bool any_top_bit(Register a) { return _mm256_movemask_epi8(a) != 0; }
};

// The per-width arithmetic of Lanes<T>. AVX2 has no 8-bit shift, so an 8-bit
// lane shifts by adding itself; every width has an equality compare, which is
// the only compare the steps use (there is no unsigned one). Nor is there an
// 8-bit right shift; the steps that move a top bit down (the block carries) run
// in 64-bit lanes only.
template <class T>
struct LaneArith;

template <>
struct LaneArith<std::uint8_t> {
  static Register splat(std::uint8_t x) { return _mm256_set1_epi8(static_cast<char>(x)); }
  static Register add(Register a, Register b) { return _mm256_add_epi8(a, b); }
  static Register sub(Register a, Register b) { return _mm256_sub_epi8(a, b); }
  static Register eq(Register a, Register b) { return _mm256_cmpeq_epi8(a, b); }
  static Register shl1(Register a) { return _mm256_add_epi8(a, a); }
};

template <>
struct LaneArith<std::uint16_t> {
  static Register splat(std::uint16_t x) { return _mm256_set1_epi16(static_cast<short>(x)); }
  static Register add(Register a, Register b) { return _mm256_add_epi16(a, b); }
  static Register sub(Register a, Register b) { return _mm256_sub_epi16(a, b); }
  static Register eq(Register a, Register b) { return _mm256_cmpeq_epi16(a, b); }
  static Register shl1(Register a) { return _mm256_slli_epi16(a, 1); }
  static Register top_down(Register a) { return _mm256_srli_epi16(a, 15); }
};

template <>
struct LaneArith<std::uint32_t> {
  static Register splat(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
  static Register add(Register a, Register b) { return _mm256_add_epi32(a, b); }
  static Register sub(Register a, Register b) { return _mm256_sub_epi32(a, b); }
  static Register eq(Register a, Register b) { return _mm256_cmpeq_epi32(a, b); }
  static Register shl1(Register a) { return _mm256_slli_epi32(a, 1); }
  static Register top_down(Register a) { return _mm256_srli_epi32(a, 31); }
};

template <>
struct LaneArith<std::uint64_t> {
  static Register splat(std::uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }
  static Register add(Register a, Register b) { return _mm256_add_epi64(a, b); }
  static Register sub(Register a, Register b) { return _mm256_sub_epi64(a, b); }
  static Register eq(Register a, Register b) { return _mm256_cmpeq_epi64(a, b); }
  static Register shl1(Register a) { return _mm256_slli_epi64(a, 1); }
  static Register top_down(Register a) { return _mm256_srli_epi64(a, 63); }
};

// Four rows of 64-bit words to four lanes: out[i].v holds word w + i of rows[0]
// to rows[3] in lanes 0 to 3.
// REQUIRES: words w to w + 3 of every row are readable.
template <class Out>
void transpose_words(const std::uint64_t* const rows[4], std::size_t w, Out* out) {
  auto row = [&](int k) { return reg::load(rows[k] + w); };
  const __m256i r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
  // Within each 128-bit half: {r0[0], r1[0]}, {r0[2], r1[2]} and so on.
  const __m256i lo01 = _mm256_unpacklo_epi64(r0, r1), hi01 = _mm256_unpackhi_epi64(r0, r1);
  const __m256i lo23 = _mm256_unpacklo_epi64(r2, r3), hi23 = _mm256_unpackhi_epi64(r2, r3);
  out[0].v = _mm256_permute2x128_si256(lo01, lo23, 0x20);
  out[1].v = _mm256_permute2x128_si256(hi01, hi23, 0x20);
  out[2].v = _mm256_permute2x128_si256(lo01, lo23, 0x31);
  out[3].v = _mm256_permute2x128_si256(hi01, hi23, 0x31);
}

}  // namespace quillmatch::simd
