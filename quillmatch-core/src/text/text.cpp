// The shared text model: ASCII test, code-point counting, decoding, case
// folding, the prefix-scale check and input preparation.
#include "text/text.h"

#include <bit>
#include <cstring>

#include "text/case_tables.h"
#include "simd/simd.h"
#if defined(QUILLMATCH_SIMD_AVX2)
#include "simd/narrow_latin1_avx2.h"
#include "simd/utf8_form_avx2.h"
#endif

namespace quillmatch {

namespace {

// Eight bytes at a time, as one word: the top bit of each byte, and the
// offset in memory of the first byte that has it.
constexpr std::uint64_t kTopBits = 0x8080808080808080ULL;
std::uint64_t load_word(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
std::size_t first_high_byte(std::uint64_t top_bits) {
  static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
  const int bit = std::endian::native == std::endian::little ? std::countr_zero(top_bits) : std::countl_zero(top_bits);
  return static_cast<std::size_t>(bit) / 8;
}
// ascii_lower of eight ASCII bytes (each below 0x80) at once: adding 0x80 -
// 'A' to a byte sets its top bit exactly when it is 'A' or above, adding 0x80
// - 'Z' - 1 exactly when it is above 'Z', and neither sum reaches the next
// byte. The capitals get 0x20, the top bit moved down two places.
std::uint64_t ascii_lower_word(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  const std::uint64_t at_least_a = w + (0x80 - 'A') * kOnes;
  const std::uint64_t past_z = w + (0x80 - 'Z' - 1) * kOnes;
  return w | ((at_least_a & ~past_z & kTopBits) >> 2);
}

constexpr double kDefaultPrefixScale = 0.1;
constexpr double kMaxPrefixScale = 0.25;
// The single-word scans take patterns of up to 64 code points.
constexpr std::size_t kMaxPendingFoldBytes = 64;

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;
constexpr char32_t kCapitalIWithDot = 0x0130;
constexpr char32_t kCombiningDotAbove = 0x0307;

// Cased / Case_Ignorable for any code point; ASCII answered inline. In ASCII the
// case-ignorable characters are ' . : ^ ` and the cased ones are the letters.
bool cased(char32_t cp) {
  if (cp < 0x80) return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z';
  return unicode::is_cased(cp);
}
bool case_ignorable(char32_t cp) {
  if (cp < 0x80) return cp == '\'' || cp == '.' || cp == ':' || cp == '^' || cp == '`';
  return unicode::is_case_ignorable(cp);
}

// Final sigma, decided in the input text around the sigma at [at, after): the
// nearest code point before it that is not Case_Ignorable exists and is Cased,
// and the nearest after it that is not Case_Ignorable is absent or not Cased.
bool is_final_sigma(const unsigned char* begin, const unsigned char* at,
                    const unsigned char* after, const unsigned char* end) {
  bool cased_before = false;
  for (const unsigned char* p = at; p > begin;) {
    do --p; while (p > begin && is_continuation(*p));
    const unsigned char* q = p;
    char32_t cp = decode_next(q, end);
    if (case_ignorable(cp)) continue;
    cased_before = cased(cp);
    break;
  }
  if (!cased_before) return false;
  for (const unsigned char* p = after; p < end;) {
    char32_t cp = decode_next(p, end);
    if (case_ignorable(cp)) continue;
    return !cased(cp);
  }
  return true;
}

}  // namespace

bool is_ascii(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  using simd::Bytes;
  if (n >= Bytes::kSize) {
    simd::Bytes acc = Bytes::splat(0);
    for (; n > Bytes::kSize; n -= Bytes::kSize, p += Bytes::kSize) acc = acc | Bytes::load(p);
    // The last block ends where the text does, overlapping the one before.
    return !(acc | Bytes::load(p + n - Bytes::kSize)).any_top_bit();
  }
  std::uint64_t tail = 0;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    tail |= w;
  }
  for (; n > 0; --n, ++p) tail |= static_cast<unsigned char>(*p);
  return (tail & 0x8080808080808080ULL) == 0;
}

std::size_t utf8_valid_prefix(std::string_view text) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* p = begin;
  const auto* end = begin + text.size();
  while (p < end) {
    if (*p < 0x80) {
      // An ASCII byte: skip whole blocks of ASCII after it.
      ++p;
      constexpr auto kBlock = static_cast<std::ptrdiff_t>(simd::Bytes::kSize);
      while (end - p >= kBlock && !simd::Bytes::load(p).any_top_bit()) p += kBlock;
      // Then up to the block's first byte that is not ASCII, a word at a time.
      for (; end - p >= 8; p += 8) {
        if (const std::uint64_t top = load_word(p) & kTopBits) {
          p += first_high_byte(top);
          break;
        }
      }
      while (p < end && *p < 0x80) ++p;
      continue;
    }
    // The well-formed sequences (the Unicode standard's table 3-7): the lead
    // byte fixes the length and the range of the second byte; every later
    // byte is 80..BF.
    const unsigned char b = *p;
    int extra = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      if (b == 0xE0) lo = 0xA0;  // no overlong forms
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      if (b == 0xF0) lo = 0x90;  // no overlong forms
      if (b == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
      break;  // a continuation byte, C0, C1 or F5..FF cannot start a sequence
    }
    if (end - p <= extra || p[1] < lo || p[1] > hi) break;
    bool ok = true;
    for (int k = 2; k <= extra; ++k) ok = ok && is_continuation(p[k]);
    if (!ok) break;
    p += extra + 1;
  }
  return static_cast<std::size_t>(p - begin);
}

Utf8Form utf8_form(std::string_view text) {
#if defined(QUILLMATCH_SIMD_AVX2)
  const simd::Utf8Scan scan = simd::utf8_scan(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  return !scan.valid ? Utf8Form::kInvalid : scan.ascii ? Utf8Form::kAscii : Utf8Form::kUtf8;
#else
  if (is_ascii(text)) return Utf8Form::kAscii;
  return utf8_valid_prefix(text) == text.size() ? Utf8Form::kUtf8 : Utf8Form::kInvalid;
#endif
}

std::uint64_t count_code_points(std::string_view text) {
  std::uint64_t count = 0;
  for (unsigned char b : text) count += !is_continuation(b);
  return count;
}

std::uint64_t compared_length(std::string_view text, bool case_insensitive) {
  if (is_ascii(text)) return text.size();
  std::uint64_t n = count_code_points(text);
  if (!case_insensitive) return n;
  // fold_case maps each code point to one, but for U+0130 (UTF-8 C4 B0),
  // which becomes two: count without folding.
  for (std::size_t b = 0; b + 1 < text.size(); ++b) n += text[b] == '\xC4' && text[b + 1] == '\xB0';
  return n;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::vector<char32_t> decode_utf8(std::string_view text) {
  // At most a code point per byte, written through a pointer (a push_back
  // would test the capacity at each), then the vector cut to the count.
  std::vector<char32_t> out(text.size());
  char32_t* to = out.data();
  for_each_code_point(text, [&](char32_t cp) { *to++ = cp; });
  out.resize(static_cast<std::size_t>(to - out.data()));
  return out;
}

std::string fold_case(std::string_view text) {
  using simd::Bytes;
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  const auto begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto end = begin + text.size();
  const unsigned char* p = begin;
  while (p < end) {
    // ASCII run: a register of bytes at a time while the block is pure ASCII, then bytes.
    while (end - p >= static_cast<std::ptrdiff_t>(Bytes::kSize)) {
      Bytes block = Bytes::load(p);
      if (block.any_top_bit()) break;
      char lowered[Bytes::kSize];
      simd::ascii_lower(block).store(lowered);
      out.append(lowered, Bytes::kSize);
      p += Bytes::kSize;
    }
    while (p < end && *p < 0x80) {
      out += static_cast<char>(ascii_lower(*p++));
    }
    if (p == end) break;

    const unsigned char* at = p;
    const char32_t cp = decode_next(p, end);
    if (cp == kCapitalSigma) {
      append_utf8(out, is_final_sigma(begin, at, p, end) ? kFinalSigma : kSmallSigma);
    } else {
      append_utf8(out, unicode::lowercase(cp));
      // The one unconditional lowercase mapping of more than one code point.
      if (cp == kCapitalIWithDot) append_utf8(out, kCombiningDotAbove);
    }
  }
  return out;
}

namespace {

// Unfolded narrowing of a text no longer than its room, with no branch on its
// bytes. Valid UTF-8 whose code points all lie below U+0100 has no byte from
// 0xC4 up: it holds ASCII, the lead bytes 0xC2 (U+0080..U+00BF) and 0xC3
// (U+00C0..U+00FF), and continuation bytes c (0x80..0xBF), each right after
// one of those leads; the code point of a lead and its c is c after 0xC2 and
// c + 0x40 = c | 0x40 after 0xC3. So every byte is written where the next
// code point goes, and only a byte that is not a lead moves past it: a lead
// is overwritten by its continuation. (The word loop below branches at each
// code point past ASCII, at places no predictor learns.)
// REQUIRES: valid UTF-8; room for end - p bytes at out.
std::size_t narrow_latin1(const unsigned char* p, const unsigned char* end, unsigned char* out) {
  std::size_t n = 0;
  unsigned char previous = 0;
  bool beyond = false;  // a byte that only a code point from U+0100 up has
  for (; p < end; ++p) {
    const unsigned char b = *p;
    out[n] = static_cast<unsigned char>(b | (previous == 0xC3) << 6);
    n += (b & 0xFE) != 0xC2;
    beyond |= b >= 0xC4;
    previous = b;
  }
  return beyond ? kNotNarrow : n;
}

template <bool kFold>
std::size_t narrow_code_points(const unsigned char* p, const unsigned char* end, unsigned char* out,
                               std::size_t room) {
  const auto bytes = static_cast<std::size_t>(end - p);
#if defined(QUILLMATCH_SIMD_AVX2)
  if (!kFold && bytes <= simd::kNarrowLatin1Bytes && room >= 32) return simd::narrow_latin1(p, bytes, out);
#endif
  if (!kFold && bytes <= room) return narrow_latin1(p, end, out);
  std::size_t n = 0;
  while (p < end) {
    // ASCII runs a word at a time while eight bytes fit both sides; a word
    // holding a byte from 0x80 up is written whole but counted up to it.
    while (end - p >= 8 && room - n >= 8) {
      std::uint64_t w = load_word(p);
      const std::uint64_t top = w & kTopBits;
      if (kFold) w = ascii_lower_word(w & ~kTopBits);
      std::memcpy(out + n, &w, sizeof w);
      const std::size_t ascii = top ? first_high_byte(top) : 8;
      p += ascii;
      n += ascii;
      if (top) break;
    }
    if (p == end) break;
    if (n == room) return kNotNarrow;
    const unsigned char b = *p;
    if (b < 0x80) {
      out[n++] = kFold ? ascii_lower(b) : b;
      ++p;
      continue;
    }
    // U+0080..U+00FF are the two-byte sequences that start 0xC2 or 0xC3;
    // folded, a few code points past them map into them (U+0178, U+212A).
    // fold_case maps every code point through unicode::lowercase but two:
    // capital sigma, whose forms lie past U+00FF either way, and U+0130,
    // which becomes two code points.
    if (!kFold && (b & 0xFE) != 0xC2) return kNotNarrow;
    char32_t cp = decode_next(p, end);
    if (kFold) cp = cp == kCapitalIWithDot ? kCapitalIWithDot : unicode::lowercase(cp);
    if (cp > 0xFF) return kNotNarrow;
    out[n++] = static_cast<unsigned char>(cp);
  }
  return n;
}

}  // namespace

std::size_t narrow_code_points(std::string_view text, bool fold, unsigned char* out, std::size_t room) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  return fold ? narrow_code_points<true>(p, end, out, room) : narrow_code_points<false>(p, end, out, room);
}

void WorkingText::fold(std::string_view text) {
  // For ASCII the full lowercase mapping is exactly A..Z -> a..z, with no
  // context and no change of length.
  if (text.size() <= kInlineBytes && is_ascii(text)) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      inline_[i] = static_cast<char>(ascii_lower(static_cast<unsigned char>(text[i])));
    }
    inline_size_ = text.size();
    form_ = Form::kInline;
    return;
  }
  heap_ = fold_case(text);
  form_ = Form::kHeap;
}

Result<double> check_prefix_scale(std::optional<double> p) {
  if (!p) return kDefaultPrefixScale;
  // Written as negated comparisons so that NaN fails both.
  if (!(*p >= 0.0)) return MatchError::invalid_prefix_scale(*p);
  if (!(*p <= kMaxPrefixScale)) return MatchError::invalid_prefix_scale(*p);
  return *p;
}

std::optional<MatchError> prepare_inputs(TextView str_1, TextView str_2,
                                         std::optional<std::uint64_t> max_len,
                                         bool case_insensitive, PreparedPair& pair,
                                         bool defer_ascii_fold) {
  // Folding ASCII changes no length, so the deferred pair measures the same.
  if (case_insensitive && defer_ascii_fold && str_1.size <= kMaxPendingFoldBytes &&
      is_ascii(str_1.view()) && is_ascii(str_2.view())) {
    pair.text1_.borrow(str_1.view());
    pair.text2_.borrow(str_2.view());
    pair.fold_pending = true;
  } else if (case_insensitive) {
    pair.text1_.fold(str_1.view());
    pair.text2_.fold(str_2.view());
  } else {
    pair.text1_.borrow(str_1.view());
    pair.text2_.borrow(str_2.view());
  }
  const std::string_view t1 = pair.text1(), t2 = pair.text2();
  pair.ascii = pair.fold_pending || (is_ascii(t1) && is_ascii(t2));
  pair.len1 = pair.ascii ? t1.size() : count_code_points(t1);
  pair.len2 = pair.ascii ? t2.size() : count_code_points(t2);
  if (max_len) {
    if (pair.len1 > *max_len) return MatchError::input_too_long("str_1", pair.len1, *max_len);
    if (pair.len2 > *max_len) return MatchError::input_too_long("str_2", pair.len2, *max_len);
  }
  return std::nullopt;
}

}  // namespace quillmatch
