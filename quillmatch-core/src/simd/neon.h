// The NEON back end of simd.h (AArch64): one 128-bit register, so half the
// lanes of the AVX2 back end. NEON is part of every AArch64 processor; there is
// nothing to check at run time.
#pragma once

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

namespace quillmatch::simd {

inline constexpr std::size_t kRegisterBytes = 16;
// Kept as bytes; each width's arithmetic reinterprets it, which costs nothing.
using Register = uint8x16_t;

namespace reg {
inline Register zero() { return vdupq_n_u8(0); }
inline Register ones() { return vdupq_n_u8(0xFF); }
inline Register load(const void* p) { return vld1q_u8(static_cast<const std::uint8_t*>(p)); }
inline void store(void* p, Register a) { vst1q_u8(static_cast<std::uint8_t*>(p), a); }
inline Register bit_and(Register a, Register b) { return vandq_u8(a, b); }
inline Register bit_or(Register a, Register b) { return vorrq_u8(a, b); }
inline Register bit_xor(Register a, Register b) { return veorq_u8(a, b); }
// a & ~b in one instruction (BIC).
inline Register and_not(Register a, Register b) { return vbicq_u8(a, b); }

inline uint16x8_t u16(Register a) { return vreinterpretq_u16_u8(a); }
inline uint32x4_t u32(Register a) { return vreinterpretq_u32_u8(a); }
inline uint64x2_t u64(Register a) { return vreinterpretq_u64_u8(a); }
inline Register bytes(uint16x8_t a) { return vreinterpretq_u8_u16(a); }
inline Register bytes(uint32x4_t a) { return vreinterpretq_u8_u32(a); }
inline Register bytes(uint64x2_t a) { return vreinterpretq_u8_u64(a); }
}  // namespace reg

// Bytes: splat, add, signed compare, and whether any byte has its top bit.
struct ByteArith {
  static Register splat(char c) { return vdupq_n_u8(static_cast<std::uint8_t>(c)); }
  static Register add(Register a, Register b) { return vaddq_u8(a, b); }
  static Register greater(Register a, Register b) {
    return vcgtq_s8(vreinterpretq_s8_u8(a), vreinterpretq_s8_u8(b));
  }
  static bool any_top_bit(Register a) { return vmaxvq_u8(a) >= 0x80; }
};

// The per-width arithmetic of Lanes<T>. NEON has shifts and compares at every
// width; the 8-bit shift left stays an add, as in the AVX2 back end.
template <class T>
struct LaneArith;

template <>
struct LaneArith<std::uint8_t> {
  static Register splat(std::uint8_t x) { return vdupq_n_u8(x); }
  static Register add(Register a, Register b) { return vaddq_u8(a, b); }
  static Register sub(Register a, Register b) { return vsubq_u8(a, b); }
  static Register eq(Register a, Register b) { return vceqq_u8(a, b); }
  static Register shl1(Register a) { return vaddq_u8(a, a); }
  static Register top_down(Register a) { return vshrq_n_u8(a, 7); }
};

template <>
struct LaneArith<std::uint16_t> {
  static Register splat(std::uint16_t x) { return reg::bytes(vdupq_n_u16(x)); }
  static Register add(Register a, Register b) { return reg::bytes(vaddq_u16(reg::u16(a), reg::u16(b))); }
  static Register sub(Register a, Register b) { return reg::bytes(vsubq_u16(reg::u16(a), reg::u16(b))); }
  static Register eq(Register a, Register b) { return reg::bytes(vceqq_u16(reg::u16(a), reg::u16(b))); }
  static Register shl1(Register a) { return reg::bytes(vshlq_n_u16(reg::u16(a), 1)); }
  static Register top_down(Register a) { return reg::bytes(vshrq_n_u16(reg::u16(a), 15)); }
};

template <>
struct LaneArith<std::uint32_t> {
  static Register splat(std::uint32_t x) { return reg::bytes(vdupq_n_u32(x)); }
  static Register add(Register a, Register b) { return reg::bytes(vaddq_u32(reg::u32(a), reg::u32(b))); }
  static Register sub(Register a, Register b) { return reg::bytes(vsubq_u32(reg::u32(a), reg::u32(b))); }
  static Register eq(Register a, Register b) { return reg::bytes(vceqq_u32(reg::u32(a), reg::u32(b))); }
  static Register shl1(Register a) { return reg::bytes(vshlq_n_u32(reg::u32(a), 1)); }
  static Register top_down(Register a) { return reg::bytes(vshrq_n_u32(reg::u32(a), 31)); }
};

template <>
struct LaneArith<std::uint64_t> {
  static Register splat(std::uint64_t x) { return reg::bytes(vdupq_n_u64(x)); }
  static Register add(Register a, Register b) { return reg::bytes(vaddq_u64(reg::u64(a), reg::u64(b))); }
  static Register sub(Register a, Register b) { return reg::bytes(vsubq_u64(reg::u64(a), reg::u64(b))); }
  static Register eq(Register a, Register b) { return reg::bytes(vceqq_u64(reg::u64(a), reg::u64(b))); }
  static Register shl1(Register a) { return reg::bytes(vshlq_n_u64(reg::u64(a), 1)); }
  static Register top_down(Register a) { return reg::bytes(vshrq_n_u64(reg::u64(a), 63)); }
};

// Two rows of 64-bit words to two lanes: out[i].v holds word w + i of rows[0]
// and rows[1] in lanes 0 and 1.
// REQUIRES: words w and w + 1 of both rows are readable.
template <class Out>
void transpose_words(const std::uint64_t* const rows[2], std::size_t w, Out* out) {
  const uint64x2_t r0 = vld1q_u64(rows[0] + w), r1 = vld1q_u64(rows[1] + w);
  out[0].v = reg::bytes(vzip1q_u64(r0, r1));
  out[1].v = reg::bytes(vzip2q_u64(r0, r1));
}

}  // namespace quillmatch::simd
