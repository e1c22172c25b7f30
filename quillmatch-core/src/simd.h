// Thin value types over one 256-bit AVX2 register, with just the operations the
// scans need, so that they read like their scalar twins: Bytes32 for the text
// scans, Lanes<T> for the bit-parallel steps run in 32 / sizeof(T) lanes.
// The whole library is compiled with AVX2 enabled; there is no run-time check.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace quillmatch::simd {

inline constexpr std::size_t kRegisterBytes = 32;

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

// The per-width arithmetic of Lanes<T>; everything else is width-blind. AVX2
// has no 8-bit shift, so an 8-bit lane shifts by adding itself; every width has
// an equality compare, which is the only compare the steps use (there is no
// unsigned one). Nor is there an 8-bit right shift; the steps that move a top
// bit down (the block carries) run in 64-bit lanes only.
template <class T>
struct LaneArith;

template <>
struct LaneArith<std::uint8_t> {
  static __m256i splat(std::uint8_t x) { return _mm256_set1_epi8(static_cast<char>(x)); }
  static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi8(a, b); }
  static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi8(a, b); }
  static __m256i eq(__m256i a, __m256i b) { return _mm256_cmpeq_epi8(a, b); }
  static __m256i shl1(__m256i a) { return _mm256_add_epi8(a, a); }
};

template <>
struct LaneArith<std::uint16_t> {
  static __m256i splat(std::uint16_t x) { return _mm256_set1_epi16(static_cast<short>(x)); }
  static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
  static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
  static __m256i eq(__m256i a, __m256i b) { return _mm256_cmpeq_epi16(a, b); }
  static __m256i shl1(__m256i a) { return _mm256_slli_epi16(a, 1); }
  static __m256i top_down(__m256i a) { return _mm256_srli_epi16(a, 15); }
};

template <>
struct LaneArith<std::uint32_t> {
  static __m256i splat(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
  static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
  static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
  static __m256i eq(__m256i a, __m256i b) { return _mm256_cmpeq_epi32(a, b); }
  static __m256i shl1(__m256i a) { return _mm256_slli_epi32(a, 1); }
  static __m256i top_down(__m256i a) { return _mm256_srli_epi32(a, 31); }
};

template <>
struct LaneArith<std::uint64_t> {
  static __m256i splat(std::uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }
  static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi64(a, b); }
  static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi64(a, b); }
  static __m256i eq(__m256i a, __m256i b) { return _mm256_cmpeq_epi64(a, b); }
  static __m256i shl1(__m256i a) { return _mm256_slli_epi64(a, 1); }
  static __m256i top_down(__m256i a) { return _mm256_srli_epi64(a, 63); }
};

// kCount lanes of unsigned T. Arithmetic wraps per lane and never carries or
// shifts across a lane boundary, so each lane is its own T-bit machine word.
template <class T>
struct Lanes {
  static constexpr std::size_t kCount = kRegisterBytes / sizeof(T);
  using Arith = LaneArith<T>;
  __m256i v;

  static Lanes zero() { return {_mm256_setzero_si256()}; }
  static Lanes ones() { return {_mm256_set1_epi32(-1)}; }
  static Lanes splat(T x) { return {Arith::splat(x)}; }
  static Lanes load(const T* p) {
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))};
  }
  void store(T* p) const { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

  friend Lanes operator&(Lanes a, Lanes b) { return {_mm256_and_si256(a.v, b.v)}; }
  friend Lanes operator|(Lanes a, Lanes b) { return {_mm256_or_si256(a.v, b.v)}; }
  friend Lanes operator^(Lanes a, Lanes b) { return {_mm256_xor_si256(a.v, b.v)}; }
  friend Lanes operator~(Lanes a) { return a ^ ones(); }
  // a & ~b in one instruction.
  friend Lanes and_not(Lanes a, Lanes b) { return {_mm256_andnot_si256(b.v, a.v)}; }
  friend Lanes operator+(Lanes a, Lanes b) { return {Arith::add(a.v, b.v)}; }
  friend Lanes operator-(Lanes a, Lanes b) { return {Arith::sub(a.v, b.v)}; }
  // a << 1 in every lane.
  friend Lanes shl1(Lanes a) { return {Arith::shl1(a.v)}; }
  // The top bit of every lane moved to bit 0, the rest cleared.
  friend Lanes top_down(Lanes a) { return {Arith::top_down(a.v)}; }
  // All ones (T(-1)) in each lane where a == b, zero elsewhere.
  friend Lanes operator==(Lanes a, Lanes b) { return {Arith::eq(a.v, b.v)}; }
};

// Four rows of 64-bit words to four lanes: out[i] holds word w + i of rows[0],
// rows[1], rows[2], rows[3] in lanes 0 to 3.
// REQUIRES: words w to w + 3 of every row are readable.
inline void transpose_4x4(const std::uint64_t* const rows[4], std::size_t w,
                          Lanes<std::uint64_t>* out) {
  auto row = [&](int k) { return Lanes<std::uint64_t>::load(rows[k] + w).v; };
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
