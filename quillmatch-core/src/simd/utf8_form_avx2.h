// The AVX2 utf8_form of text/text.h: 32 bytes a step, each byte judged
// together with the three before it by byte shuffles, no branch per byte
// (the lookup method of Keiser and Lemire, "Validating UTF-8 in less than one
// instruction per byte", 2021). The plain utf8_valid_prefix decodes sequence
// by sequence; this one says only whether the whole is well formed, and
// whether it is all ASCII.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstring>

namespace quillmatch::simd {

namespace utf8 {

// What a pair of adjacent bytes (b1, b2) can be wrong by, one bit each. A
// pair is ill formed exactly when some bit is set in all three of: the class
// of b1's high nibble, of b1's low nibble and of b2's high nibble.
//   kTooShort   a lead (11......) followed by an ASCII byte or another lead
//   kTooLong    an ASCII byte followed by a continuation (10......)
//   kOverlong3  E0 followed by 80..9F
//   kTooLarge   F4 followed by 90..BF, or F5..FF followed by 90..BF
//   kSurrogate  ED followed by A0..BF
//   kOverlong2  C0 or C1 followed by a continuation
//   kBit6       F0 followed by 80..8F (an overlong four-byte form), or F5..FF
//               followed by 80..8F (past U+10FFFF): the two share a bit, as
//               only a lead of high nibble F has it in its first class and
//               the low nibbles that carry it (0, 5..F) pick out exactly
//               these leads
//   kTwoConts   a continuation followed by a continuation; not an error on
//               its own: exactly the third and fourth bytes of a sequence
//               must be such, which is checked from the bytes two and three
//               back (must_be_continued below)
inline constexpr char kTooShort = 1 << 0;
inline constexpr char kTooLong = 1 << 1;
inline constexpr char kOverlong3 = 1 << 2;
inline constexpr char kTooLarge = 1 << 3;
inline constexpr char kSurrogate = 1 << 4;
inline constexpr char kOverlong2 = 1 << 5;
inline constexpr char kBit6 = 1 << 6;
inline constexpr char kTwoConts = static_cast<char>(1 << 7);
// Every low nibble of b1 keeps the classes decided by the high nibbles alone.
inline constexpr char kCarry = kTooShort | kTooLong | kTwoConts;

// A 16-entry table in both 128-bit halves (a byte shuffle looks up within
// its half).
inline __m256i table(char e0, char e1, char e2, char e3, char e4, char e5, char e6, char e7, char e8, char e9,
                     char ea, char eb, char ec, char ed, char ee, char ef) {
  return _mm256_setr_epi8(e0, e1, e2, e3, e4, e5, e6, e7, e8, e9, ea, eb, ec, ed, ee, ef, e0, e1, e2, e3, e4, e5,
                          e6, e7, e8, e9, ea, eb, ec, ed, ee, ef);
}

inline __m256i high_nibbles(__m256i v) { return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F)); }

// The 32 bytes that end `n` bytes before `v`'s end, `prev` the 32 before v.
template <int n>
inline __m256i previous(__m256i v, __m256i prev) {
  return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(prev, v, 0x21), 16 - n);
}

// Nonzero bytes where the block (prev followed by v) breaks a rule of
// well-formed UTF-8 within v, sequences that start in prev included.
inline __m256i block_errors(__m256i v, __m256i prev) {
  const __m256i b1_high = table(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                                kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                                kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kBit6);
  constexpr char kLarge = kCarry | kTooLarge | kBit6;
  const __m256i b1_low = table(kCarry | kOverlong3 | kOverlong2 | kBit6, kCarry | kOverlong2, kCarry, kCarry,
                               kCarry | kTooLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge,
                               kLarge, kLarge | kSurrogate, kLarge, kLarge);
  constexpr char kCont = kTooLong | kOverlong2 | kTwoConts;
  const __m256i b2_high = table(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                                kTooShort, kCont | kOverlong3 | kBit6, kCont | kOverlong3 | kTooLarge,
                                kCont | kSurrogate | kTooLarge, kCont | kSurrogate | kTooLarge, kTooShort,
                                kTooShort, kTooShort, kTooShort);
  const __m256i prev1 = previous<1>(v, prev);
  const __m256i classes = _mm256_and_si256(
      _mm256_and_si256(_mm256_shuffle_epi8(b1_high, high_nibbles(prev1)),
                       _mm256_shuffle_epi8(b1_low, _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
      _mm256_shuffle_epi8(b2_high, high_nibbles(v)));
  // The top bit where the byte two back is a lead of three or four bytes
  // (E0..FF: E0 - 0x60 = 0x80) or the byte three back one of four (F0..FF):
  // the bytes that must be a continuation after a continuation.
  const __m256i must_be_continued =
      _mm256_and_si256(_mm256_or_si256(_mm256_subs_epu8(previous<2>(v, prev), _mm256_set1_epi8(0x60)),
                                       _mm256_subs_epu8(previous<3>(v, prev), _mm256_set1_epi8(0x70))),
                       _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_be_continued, classes);
}

// Nonzero where one of the block's last three bytes starts a sequence too
// long to end inside it: the next block must continue it.
inline __m256i unfinished(__m256i v) {
  const __m256i most = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
                                        static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
  return _mm256_subs_epu8(v, most);
}

}  // namespace utf8

// What the n bytes at p are: `valid` when well-formed UTF-8 (as
// utf8_valid_prefix returning n), `ascii` when every byte is below 0x80.
struct Utf8Scan {
  bool valid, ascii;
};

// Four blocks at a time: when their 128 bytes are all ASCII, they are valid
// after the block before exactly when it left nothing open, and are skipped
// by one test; else each block is judged whole, with no branch on its own
// bytes. A test per block mispredicts about every other block of names of
// which a quarter reach past ASCII, where the 128-byte test is nearly always
// false there and so predicted. The tail is copied into a block of zeros,
// ASCII, which ends any sequence left open: an unfinished one there is an
// error like any other.
inline Utf8Scan utf8_scan(const unsigned char* p, std::size_t n) {
  __m256i errors = _mm256_setzero_si256();
  __m256i prev = _mm256_setzero_si256();
  __m256i open = _mm256_setzero_si256();  // unfinished(prev)
  __m256i high = _mm256_setzero_si256();  // the OR of the blocks judged whole
  const auto judge = [&](__m256i v) {
    errors = _mm256_or_si256(errors, utf8::block_errors(v, prev));
    open = utf8::unfinished(v);
    high = _mm256_or_si256(high, v);
    prev = v;
  };
  const auto load = [p](std::size_t at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at)); };
  std::size_t at = 0;
  for (; n - at >= 128; at += 128) {
    const __m256i v0 = load(at), v1 = load(at + 32), v2 = load(at + 64), v3 = load(at + 96);
    if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(v0, v1), _mm256_or_si256(v2, v3))) == 0) {
      errors = _mm256_or_si256(errors, open);
      open = _mm256_setzero_si256();
      prev = v3;
      continue;
    }
    judge(v0), judge(v1), judge(v2), judge(v3);
  }
  for (; n - at >= 32; at += 32) judge(load(at));
  alignas(32) unsigned char tail[32] = {};
  if (n > at) std::memcpy(tail, p + at, n - at);
  judge(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
  judge(_mm256_setzero_si256());
  return {static_cast<bool>(_mm256_testz_si256(errors, errors)), _mm256_movemask_epi8(high) == 0};
}

}  // namespace quillmatch::simd
