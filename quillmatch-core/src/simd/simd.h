// Thin value types over one vector register, with just the operations the scans
// need, so that they read like their scalar twins: Bytes for the text scans,
// Lanes<T> for the bit-parallel steps run in kRegisterBytes / sizeof(T) lanes.
//
// The register and its primitives come from one back end, chosen when the
// library is built (QUILLMATCH_SIMD in CMake): AVX2 (simd/avx2.h), NEON
// (simd/neon.h) or plain C++ (simd/portable.h). Each back end defines
// kRegisterBytes, Register, the bitwise reg:: functions, ByteArith,
// LaneArith<T> for T of 8 to 64 bits (top_down from 16 bits up), and
// transpose_words. Everything written over these types is the same code on
// every back end.
#pragma once

#if defined(QUILLMATCH_SIMD_AVX2)
#include "simd/avx2.h"
#elif defined(QUILLMATCH_SIMD_NEON)
#include "simd/neon.h"
#elif defined(QUILLMATCH_SIMD_PORTABLE)
#include "simd/portable.h"
#else
#error "define one of QUILLMATCH_SIMD_AVX2, QUILLMATCH_SIMD_NEON and QUILLMATCH_SIMD_PORTABLE"
#endif

#include <cstddef>
#include <cstdint>

namespace quillmatch::simd {

// kSize bytes of text.
struct Bytes {
  static constexpr std::size_t kSize = kRegisterBytes;
  Register v;

  static Bytes load(const void* p) { return {reg::load(p)}; }
  static Bytes splat(char c) { return {ByteArith::splat(c)}; }
  void store(void* p) const { reg::store(p, v); }

  // Whether any byte is 0x80 or above.
  bool any_top_bit() const { return ByteArith::any_top_bit(v); }

  friend Bytes operator|(Bytes a, Bytes b) { return {reg::bit_or(a.v, b.v)}; }
  friend Bytes operator&(Bytes a, Bytes b) { return {reg::bit_and(a.v, b.v)}; }
  friend Bytes operator+(Bytes a, Bytes b) { return {ByteArith::add(a.v, b.v)}; }
  // Signed byte compare: 0xFF where a > b.
  friend Bytes operator>(Bytes a, Bytes b) { return {ByteArith::greater(a.v, b.v)}; }
};

// ASCII A..Z to a..z on bytes that are all below 0x80. A byte is a capital
// letter exactly when b > 'A' - 1 and 'Z' + 1 > b; both compares are signed,
// which is right because every byte here is non-negative.
inline Bytes ascii_lower(Bytes b) {
  Bytes upper = (b > Bytes::splat('A' - 1)) & (Bytes::splat('Z' + 1) > b);
  return b + (upper & Bytes::splat(0x20));
}

// kCount lanes of unsigned T. Arithmetic wraps per lane and never carries or
// shifts across a lane boundary, so each lane is its own T-bit machine word.
template <class T>
struct Lanes {
  static constexpr std::size_t kCount = kRegisterBytes / sizeof(T);
  using Arith = LaneArith<T>;
  Register v;

  static Lanes zero() { return {reg::zero()}; }
  static Lanes ones() { return {reg::ones()}; }
  static Lanes splat(T x) { return {Arith::splat(x)}; }
  static Lanes load(const T* p) { return {reg::load(p)}; }
  void store(T* p) const { reg::store(p, v); }

  friend Lanes operator&(Lanes a, Lanes b) { return {reg::bit_and(a.v, b.v)}; }
  friend Lanes operator|(Lanes a, Lanes b) { return {reg::bit_or(a.v, b.v)}; }
  friend Lanes operator^(Lanes a, Lanes b) { return {reg::bit_xor(a.v, b.v)}; }
  friend Lanes operator~(Lanes a) { return a ^ ones(); }
  // a & ~b, in one instruction where the back end has one.
  friend Lanes and_not(Lanes a, Lanes b) { return {reg::and_not(a.v, b.v)}; }
  friend Lanes operator+(Lanes a, Lanes b) { return {Arith::add(a.v, b.v)}; }
  friend Lanes operator-(Lanes a, Lanes b) { return {Arith::sub(a.v, b.v)}; }
  // a << 1 in every lane.
  friend Lanes shl1(Lanes a) { return {Arith::shl1(a.v)}; }
  // The top bit of every lane moved to bit 0, the rest cleared.
  friend Lanes top_down(Lanes a) { return {Arith::top_down(a.v)}; }
  // All ones (T(-1)) in each lane where a == b, zero elsewhere.
  friend Lanes operator==(Lanes a, Lanes b) { return {Arith::eq(a.v, b.v)}; }
};

// A square of 64-bit words turned into lanes: with n = Lanes<std::uint64_t>::kCount,
// out[i] holds word w + i of rows[0] .. rows[n - 1] in lanes 0 .. n - 1.
// REQUIRES: words w to w + n - 1 of every row are readable.
inline void transpose_square(const std::uint64_t* const* rows, std::size_t w,
                             Lanes<std::uint64_t>* out) {
  transpose_words(rows, w, out);
}

}  // namespace quillmatch::simd
