// The AVX2 narrow_latin1 of text/text.cpp, for a text of at most 32 bytes:
// the same rule in one register instead of a byte at a time. Valid UTF-8
// whose code points all lie below U+0100 has no byte from 0xC4 up; a code
// point is an ASCII byte, or a lead 0xC2 or 0xC3 and its continuation c, whose
// value is c after 0xC2 and c | 0x40 after 0xC3. So each byte is or-ed with
// 0x40 when the byte before it is 0xC3, the leads are dropped, and what stays
// is packed to the front eight bytes at a time by a byte shuffle from a table
// of the 256 keep-masks of eight bytes.
#pragma once

#include <immintrin.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quillmatch/quillmatch.h"
#include "text/text.h"

namespace quillmatch::simd {

namespace narrow {

// Entry k: the byte shuffle that moves the bytes of an eight-byte group
// whose bit i of k is set to the front, in order; the rest of the entry
// picks byte 0 (those bytes are written and then overwritten or past the end).
constexpr std::array<std::uint64_t, 256> make_packs() {
  std::array<std::uint64_t, 256> t{};
  for (unsigned k = 0; k < 256; ++k) {
    unsigned at = 0;
    for (unsigned i = 0; i < 8; ++i)
      if (k >> i & 1) t[k] |= std::uint64_t{i} << (8 * at++);
  }
  return t;
}
alignas(64) inline constexpr std::array<std::uint64_t, 256> kPacks = make_packs();

}  // namespace narrow

inline constexpr std::size_t kNarrowLatin1Bytes = 32;  // the longest text narrow_latin1 takes

// The code points of the n bytes at p, one byte each, into out; their count,
// or kNotNarrow when a byte lies from 0xC4 up (a code point from U+0100 up).
// Bytes from out + count up to out + 32 may be written.
// REQUIRES: n <= kNarrowLatin1Bytes; the bytes are valid UTF-8; room for 32 bytes at out.
__attribute__((no_sanitize("address"))) inline std::size_t narrow_latin1(const unsigned char* p, std::size_t n,
                                                                         unsigned char* out) {
  // Read whole when 32 bytes from p stay in its page (see within_page); the
  // bytes past n are masked off, so they never count as leads or as wide.
  alignas(32) unsigned char held[32] = {};
  const unsigned char* from = p;
  if (!within_page(p, 32)) {
    std::memcpy(held, p, n);
    from = held;
  }
  const __m256i keep = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kFirstBytes + 32 - n));
  const __m256i v = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)), keep);
  // v >= 0xC4 unsigned exactly when max(v, 0xC4) is v.
  const __m256i wide = _mm256_cmpeq_epi8(_mm256_max_epu8(v, _mm256_set1_epi8(static_cast<char>(0xC4))), v);
  if (_mm256_movemask_epi8(wide) != 0) return kNotNarrow;
  // The byte before each: v moved up one byte, across the two halves (the
  // permute puts the low half in the high one and zeros below).
  const __m256i before = _mm256_alignr_epi8(v, _mm256_permute2x128_si256(v, v, 0x08), 15);
  const __m256i after_c3 = _mm256_cmpeq_epi8(before, _mm256_set1_epi8(static_cast<char>(0xC3)));
  const __m256i value = _mm256_or_si256(v, _mm256_and_si256(after_c3, _mm256_set1_epi8(0x40)));
  const __m256i lead = _mm256_cmpeq_epi8(_mm256_and_si256(v, _mm256_set1_epi8(static_cast<char>(0xFE))),
                                         _mm256_set1_epi8(static_cast<char>(0xC2)));
  const std::uint32_t kept = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(lead)) &
                             (n == 32 ? ~0u : (1u << n) - 1);
  const __m128i halves[2] = {_mm256_castsi256_si128(value), _mm256_extracti128_si256(value, 1)};
  std::size_t count = 0;
  for (unsigned group = 0; group < 4; ++group) {
    const unsigned bits = kept >> (8 * group) & 0xFF;
    // An odd group is the upper eight bytes of its half: its indices move up by 8.
    __m128i pack = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&narrow::kPacks[bits]));
    pack = _mm_add_epi8(pack, _mm_set1_epi8(static_cast<char>(8 * (group & 1))));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + count), _mm_shuffle_epi8(halves[group / 2], pack));
    count += static_cast<std::size_t>(std::popcount(bits));
  }
  return count;
}

}  // namespace quillmatch::simd
