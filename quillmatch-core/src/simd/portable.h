// The portable back end of simd.h: plain C++, no intrinsics, for any processor.
// A register is 32 bytes in memory, as wide as the AVX2 back end's, so the
// engines group candidates the same way; each operation is a loop over the
// lanes, which the compiler may turn into whatever vector code the target has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillmatch::simd {

inline constexpr std::size_t kRegisterBytes = 32;
struct Register {
  alignas(16) std::uint64_t w[kRegisterBytes / 8];
};

namespace reg {
inline constexpr std::size_t kWords = kRegisterBytes / 8;

template <class F>
Register wordwise(Register a, Register b, F f) {
  for (std::size_t i = 0; i < kWords; ++i) a.w[i] = f(a.w[i], b.w[i]);
  return a;
}

inline Register zero() { return {}; }
inline Register ones() { return wordwise({}, {}, [](std::uint64_t, std::uint64_t) { return ~std::uint64_t{0}; }); }
inline Register load(const void* p) {
  Register a;
  std::memcpy(&a, p, kRegisterBytes);
  return a;
}
inline void store(void* p, Register a) { std::memcpy(p, &a, kRegisterBytes); }
inline Register bit_and(Register a, Register b) {
  return wordwise(a, b, [](std::uint64_t x, std::uint64_t y) { return x & y; });
}
inline Register bit_or(Register a, Register b) {
  return wordwise(a, b, [](std::uint64_t x, std::uint64_t y) { return x | y; });
}
inline Register bit_xor(Register a, Register b) {
  return wordwise(a, b, [](std::uint64_t x, std::uint64_t y) { return x ^ y; });
}
// a & ~b.
inline Register and_not(Register a, Register b) {
  return wordwise(a, b, [](std::uint64_t x, std::uint64_t y) { return x & ~y; });
}

// f applied to each pair of T-bit lanes of a and b, its result cut to T bits.
template <class T, class F>
Register lanewise(Register a, Register b, F f) {
  constexpr std::size_t n = kRegisterBytes / sizeof(T);
  T x[n], y[n];
  std::memcpy(x, &a, kRegisterBytes);
  std::memcpy(y, &b, kRegisterBytes);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<T>(f(x[i], y[i]));
  std::memcpy(&a, x, kRegisterBytes);
  return a;
}
}  // namespace reg

// Lanes of unsigned T; the shifts are by constants, so each lane is one plain
// T-bit machine word.
template <class T>
struct LaneArith {
  static constexpr T kAll = T(~T{0});
  static Register splat(T v) {
    return reg::lanewise<T>({}, {}, [v](T, T) { return v; });
  }
  static Register add(Register a, Register b) {
    return reg::lanewise<T>(a, b, [](T x, T y) { return x + y; });
  }
  static Register sub(Register a, Register b) {
    return reg::lanewise<T>(a, b, [](T x, T y) { return x - y; });
  }
  static Register eq(Register a, Register b) {
    return reg::lanewise<T>(a, b, [](T x, T y) { return x == y ? kAll : T{0}; });
  }
  static Register shl1(Register a) {
    return reg::lanewise<T>(a, a, [](T x, T) { return x << 1; });
  }
  static Register top_down(Register a) {
    return reg::lanewise<T>(a, a, [](T x, T) { return x >> (8 * sizeof(T) - 1); });
  }
};

// Bytes: splat, add, signed compare, and whether any byte has its top bit.
struct ByteArith {
  static Register splat(char c) { return LaneArith<std::uint8_t>::splat(static_cast<std::uint8_t>(c)); }
  static Register add(Register a, Register b) { return LaneArith<std::uint8_t>::add(a, b); }
  static Register greater(Register a, Register b) {
    return reg::lanewise<std::uint8_t>(a, b, [](std::uint8_t x, std::uint8_t y) {
      return static_cast<signed char>(x) > static_cast<signed char>(y) ? 0xFF : 0;
    });
  }
  static bool any_top_bit(Register a) {
    std::uint64_t all = 0;
    for (std::uint64_t x : a.w) all |= x;
    return (all & 0x8080808080808080ULL) != 0;
  }
};

// kCount rows of 64-bit words to kCount lanes: out[i].v holds word w + i of
// every row, row k in lane k.
// REQUIRES: words w to w + kCount - 1 of every row are readable.
template <class Out>
void transpose_words(const std::uint64_t* const rows[reg::kWords], std::size_t w, Out* out) {
  for (std::size_t i = 0; i < reg::kWords; ++i)
    for (std::size_t k = 0; k < reg::kWords; ++k) out[i].v.w[k] = rows[k][w + i];
}

}  // namespace quillmatch::simd
