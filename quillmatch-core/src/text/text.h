// The shared text model: what a text is, how it is measured, decoded and
// lower-cased, and the first steps every kernel runs (prepare_inputs,
// check_prefix_scale).
//
// A pair of texts is in ASCII form when both are pure ASCII (bytes are code
// points, lengths are byte counts) and in code-point form otherwise (lengths are
// code-point counts). Every length the library reports counts code points.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillmatch/quillmatch.h"
#include "simd/simd.h"

namespace quillmatch {

// True when no byte is 0x80 or above. Tests 32 bytes per step.
bool is_ascii(std::string_view text);

// 32 bytes of 0xFF, then 32 zeros: the 32 bytes from kFirstBytes + 32 - n
// keep the first n bytes of what they mask.
alignas(64) inline constexpr unsigned char kFirstBytes[64] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Whether the n bytes at p are ASCII. A text of up to 32 bytes whose first 32
// bytes stay in its page is read whole, the bytes past its end masked off
// (see within_page in quillmatch.h): no branch on its length,
// which would be a coin toss on texts of mixed lengths.
__attribute__((no_sanitize("address"))) inline bool short_ascii(const char* p, std::size_t n) {
  if (n > kShortTextBytes || !within_page(p, kShortTextBytes)) return is_ascii({p, n});
  static_assert(kShortTextBytes == 32);
  // Copied with the builtin, which this function's own code performs (a
  // register load, once optimised) and so keeps out of the address sanitizer.
  unsigned char bytes[kShortTextBytes];
  __builtin_memcpy(bytes, p, kShortTextBytes);
  const unsigned char* keep = kFirstBytes + kShortTextBytes - n;
  simd::Bytes any = simd::Bytes::splat(0);
  for (std::size_t k = 0; k < kShortTextBytes; k += simd::Bytes::kSize)
    any = any | (simd::Bytes::load(bytes + k) & simd::Bytes::load(keep + k));
  return !any.any_top_bit();
}

// The length of the longest prefix of `text` that is well-formed UTF-8: the
// offset of the first byte of the first ill-formed sequence (overlong forms,
// surrogates, values past U+10FFFF and truncated sequences are ill-formed), or
// text.size(). ASCII runs are skipped 16 bytes at a time.
std::size_t utf8_valid_prefix(std::string_view text);
// What a whole text is: all ASCII, well-formed UTF-8 beyond ASCII
// (utf8_valid_prefix(text) == text.size()), or neither. One pass, 32 bytes a
// step where the back end has AVX2.
enum class Utf8Form { kAscii, kUtf8, kInvalid };
Utf8Form utf8_form(std::string_view text);

// The ASCII case mappings: A..Z <-> a..z, every other byte unchanged. For ASCII
// text the full Unicode lowercase mapping is exactly ascii_lower. Branch-free:
// the two cases of a letter differ in bit 5 alone, and b | 0x20 is a small
// letter exactly when b is a letter of either case.
inline unsigned char ascii_case_bit(unsigned char b) {
  return static_cast<unsigned char>((static_cast<unsigned>((b | 0x20) - 'a') < 26u) << 5);
}
inline unsigned char ascii_lower(unsigned char b) {
  return static_cast<unsigned char>(b | ascii_case_bit(b));
}
inline unsigned char ascii_upper(unsigned char b) {
  return static_cast<unsigned char>(b & ~ascii_case_bit(b));
}

// Whether a byte of UTF-8 continues a code point rather than starting one.
inline bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Number of code points of valid UTF-8: the bytes that are not continuation
// bytes (0x80..0xBF). Never decodes.
std::uint64_t count_code_points(std::string_view text);

// The code points of a text as the measures compare it: after the full
// lowercase mapping when case_insensitive (which keeps an ASCII text's
// length, but may lengthen others: U+0130 becomes two code points).
std::uint64_t compared_length(std::string_view text, bool case_insensitive);

// Decodes one code point starting at `p` and advances `p` past it.
// REQUIRES: p < end and [p, end) is valid UTF-8. A truncated sequence at the end
// is read only up to `end`, so malformed input cannot cause an out-of-range read.
inline char32_t decode_next(const unsigned char*& p, const unsigned char* end) {
  unsigned char b = *p++;
  if (b < 0x80) return b;
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
  char32_t cp = b & (0x3F >> extra);
  for (; extra > 0 && p < end; --extra) cp = (cp << 6) | (*p++ & 0x3F);
  return cp;
}

// Appends the UTF-8 encoding of a scalar value.
void append_utf8(std::string& out, char32_t cp);

// Decodes valid UTF-8 into code points, in text order.
std::vector<char32_t> decode_utf8(std::string_view text);

// Calls f(code point) for every code point of a text, in order. An ASCII byte
// decodes to itself at the cost of one compare.
template <class F>
inline void for_each_code_point(std::string_view text, F&& f) {
  auto p = reinterpret_cast<const unsigned char*>(text.data());
  const auto end = p + text.size();
  while (p < end) f(decode_next(p, end));
}

// The full Unicode lowercase mapping, without language rules, with the
// contextual final-sigma rule. ASCII runs are mapped without table lookups.
std::string fold_case(std::string_view text);

// A text whose code points, after folding when `fold`, all lie below U+0100
// (ASCII and Latin-1), written as one byte per code point: the folded code
// points are exactly what fold_case's UTF-8 would decode to. Returns the count written, or kNotNarrow when a code
// point is U+0100 or above (after folding) or there are more than `room`.
// REQUIRES: valid UTF-8; room for `room` bytes at out.
inline constexpr std::size_t kNotNarrow = ~std::size_t{0};
std::size_t narrow_code_points(std::string_view text, bool fold, unsigned char* out, std::size_t room);

// The effective prefix scale: 0.1 when absent; an error unless 0.0 <= p <= 0.25
// (so NaN and both infinities are rejected, -0.0 is accepted).
Result<double> check_prefix_scale(std::optional<double> p);

// One text as a kernel reads it: the caller's bytes, or a folded copy held
// here. A short ASCII text is folded into an inline buffer, so folding it
// allocates nothing. The view is computed on demand, so the holder may be moved.
class WorkingText {
 public:
  void borrow(std::string_view text) {
    borrowed_ = text;
    form_ = Form::kBorrowed;
  }
  void fold(std::string_view text);
  std::string_view view() const {
    switch (form_) {
      case Form::kInline:
        return {inline_, inline_size_};
      case Form::kHeap:
        return heap_;
      default:
        return borrowed_;
    }
  }

 private:
  static constexpr std::size_t kInlineBytes = 64;
  enum class Form : unsigned char { kBorrowed, kInline, kHeap };

  std::string_view borrowed_;
  std::string heap_;
  char inline_[kInlineBytes];
  std::size_t inline_size_ = 0;
  Form form_ = Form::kBorrowed;
};

// The two working texts of a kernel, folded or borrowed, with their lengths.
class PreparedPair {
 public:
  std::string_view text1() const { return text1_.view(); }
  std::string_view text2() const { return text2_.view(); }
  std::uint64_t len1 = 0;
  std::uint64_t len2 = 0;
  bool ascii = false;  // both texts pure ASCII: the pair is in ASCII form
  // An ASCII pair whose folding was left to the scan: the texts are as given,
  // and the scan reads them through masks set for both cases of each letter.
  bool fold_pending = false;

 private:
  friend std::optional<MatchError> prepare_inputs(TextView, TextView,
                                                  std::optional<std::uint64_t>, bool,
                                                  PreparedPair&, bool);
  WorkingText text1_, text2_;
};

// Fold (str_1 first), measure, then check max_len (str_1 before str_2). A length
// equal to max_len passes. Without folding, and when folding short ASCII
// texts, nothing is allocated. Fills `pair` in place and returns the error, if
// any (a pair is large to move). With `defer_ascii_fold`, an
// ASCII pair whose first text has at most 64 bytes is not folded but marked
// fold_pending, for scans that fold through their masks.
std::optional<MatchError> prepare_inputs(TextView str_1, TextView str_2,
                                         std::optional<std::uint64_t> max_len,
                                         bool case_insensitive, PreparedPair& pair,
                                         bool defer_ascii_fold = false);

}  // namespace quillmatch
