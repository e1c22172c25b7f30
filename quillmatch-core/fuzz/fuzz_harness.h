// What every fuzz target shares: libFuzzer's entry point, fuzzer bytes turned
// into valid texts and options, texts held in heap blocks of exactly their
// size, the reference form of the kernels' common first steps, and failure
// reports that show the inputs as code points.
//
// Every target compares a fast path with a slow one and aborts on the first
// difference; libFuzzer then saves the input, and rerunning the target on that
// file reproduces the same texts and options.
//
// A target is one source file that includes this header and defines
// fuzz_one(); the entry point at the end of this header is its only one.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "oracle.h"
#include "quillmatch/quillmatch.h"

namespace quillmatch::fuzz {

// Choices read from the fuzzer's bytes, one byte per small choice so that
// mutating a byte changes one decision. Once the bytes run out, choices come
// from a generator seeded with a hash of all of them: a short input can still
// describe a batch of hundreds of candidates, and one input is always one run.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
    std::uint64_t h = 0xCBF29CE484222325;  // FNV-1a
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3;
    state_ = h;
  }

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : static_cast<std::uint8_t>(next()); }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
    return v;
  }
  bool flag() { return (byte() & 1) != 0; }
  // A number in [0, n). REQUIRES: n >= 1.
  std::uint64_t below(std::uint64_t n) {
    if (n <= 256) return byte() % n;
    if (n <= 65536) return ((std::uint64_t{byte()} << 8) | byte()) % n;
    return u64() % n;
  }
  template <class T, std::size_t N>
  T pick(const T (&options)[N]) {
    return options[below(N)];
  }

 private:
  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::uint64_t state_;
};

// ---- Texts ----

// Code points chosen for what they do to the library: both ASCII cases (the
// batch engines' doubled masks), ASCII Case_Ignorable marks, Latin-1 letters
// (the direct mask table), U+0178 (folds into Latin-1), U+0130 (folds to two
// code points), U+212A (folds to ASCII k, so a folded pair can turn ASCII),
// capital sigma among Case_Ignorable neighbours (U+0027, U+00AD, U+0307) and
// cased ones (U+0391) for the final-sigma rule, both small sigmas, a CJK
// ideograph, and astral code points, one of them cased (U+10400).
inline constexpr char32_t kBiasedAlphabet[] = {
    'a',    'b',    'k',    's',    'i',    'A',    'B',    'K',     'S',     'I',     '\'',
    '.',    ' ',    '1',    0x00E9, 0x00C9, 0x00DF, 0x00FF, 0x0178,  0x0130,  0x212A,  0x03A3,
    0x03A3, 0x03C3, 0x03C2, 0x00AD, 0x0307, 0x0391, 0x4E00, 0x1F600, 0x10400, 0x10428,
};
// Small alphabets make matches, repeats and transpositions frequent.
inline constexpr char32_t kAsciiPair[] = {'a', 'b', 'A', 'B'};
inline constexpr char32_t kMixedFew[] = {'a', 'A', 0x00E9, 0x03A3, '\'', 0x4E00, 0x1F600};
// Below U+0100 alone (the lane engines' narrowed texts and queries): U+0080,
// the first code point of two bytes; U+00C3, whose first byte leads every
// other one's here; U+00B5, which folds to U+03BC; both cases of letters.
inline constexpr char32_t kLatin1[] = {'a', 's', 'k', 'A', 'S', 'K', 0x0080, 0x00C3, 0x00E9, 0x00C9, 0x00DF, 0x00FF, 0x00B5};

enum class Alphabet { kAsciiPair, kAscii, kMixedFew, kLatin1, kBiased, kAnyScalar };

inline Alphabet pick_alphabet(FuzzInput& in) {
  switch (in.below(16)) {
    case 0: case 1: case 2: case 3: return Alphabet::kAsciiPair;
    case 4: case 5: case 6: return Alphabet::kAscii;
    case 7: case 8: return Alphabet::kMixedFew;
    case 9: case 10: return Alphabet::kLatin1;
    case 11: case 12: case 13: case 14: return Alphabet::kBiased;
    default: return Alphabet::kAnyScalar;
  }
}

// Any Unicode scalar value, most often from the first few thousand.
inline char32_t any_scalar(FuzzInput& in) {
  char32_t cp = static_cast<char32_t>(in.flag() ? in.below(0x3000) : in.below(0x110000));
  if (cp >= 0xD800 && cp <= 0xDFFF) cp += 0x800;  // no surrogates
  return cp;
}

inline char32_t code_point(FuzzInput& in, Alphabet alphabet) {
  switch (alphabet) {
    case Alphabet::kAsciiPair: return in.pick(kAsciiPair);
    case Alphabet::kAscii: return static_cast<char32_t>(in.byte() & 0x7F);
    case Alphabet::kMixedFew: return in.pick(kMixedFew);
    case Alphabet::kLatin1: return in.pick(kLatin1);
    case Alphabet::kBiased: return in.pick(kBiasedAlphabet);
    case Alphabet::kAnyScalar: break;
  }
  return any_scalar(in);
}

// Lengths in code points, clustered where a scan changes shape: the empty text,
// one code point, the end of one word (63, 64, 65) and of two (127, 128, 129).
// With `lane_edges`, also where 8-, 16- or 32-bit lanes stop fitting and where
// the small Jaro-Winkler strategy ends (16, 17).
inline std::size_t pick_length(FuzzInput& in, std::size_t max, bool lane_edges) {
  static constexpr std::size_t kWordEdges[] = {0, 1, 2, 63, 64, 65, 127, 128, 129};
  static constexpr std::size_t kLaneEdges[] = {3, 7, 8, 9, 15, 16, 17, 31, 32, 33};
  std::size_t n;
  switch (in.below(8)) {
    case 0: case 1: case 2: n = in.pick(kWordEdges); break;
    case 3: case 4: n = lane_edges ? in.pick(kLaneEdges) : in.below(9); break;
    case 5: n = in.below(9); break;
    default: n = in.below(max + 1); break;
  }
  return std::min(n, max);
}

inline std::u32string random_text(FuzzInput& in, std::size_t length, Alphabet alphabet) {
  std::u32string out(length, U' ');
  for (char32_t& cp : out) cp = code_point(in, alphabet);
  return out;
}

inline std::u32string random_text(FuzzInput& in, std::size_t max_length, bool lane_edges) {
  const Alphabet alphabet = pick_alphabet(in);
  return random_text(in, pick_length(in, max_length, lane_edges), alphabet);
}

// A copy of `text` with a few edits (substitution, insertion, deletion, swap of
// neighbours, case flip of an ASCII letter), so that distances stay small,
// cutoffs bite and Jaro-Winkler scores get their prefix boost.
inline std::u32string near_copy(FuzzInput& in, std::u32string text) {
  for (std::uint64_t edits = in.below(5); edits > 0; --edits) {
    const std::size_t at = text.empty() ? 0 : static_cast<std::size_t>(in.below(text.size()));
    switch (in.below(5)) {
      case 0: if (!text.empty()) text[at] = in.pick(kBiasedAlphabet); break;
      case 1: text.insert(at, 1, in.pick(kMixedFew)); break;
      case 2: if (!text.empty()) text.erase(at, 1); break;
      case 3: if (at + 1 < text.size()) std::swap(text[at], text[at + 1]); break;
      default:
        if (!text.empty() && (text[at] | 0x20) >= 'a' && (text[at] | 0x20) <= 'z') text[at] ^= 0x20;
        break;
    }
  }
  return text;
}

// Texts in heap blocks of exactly their size, one block each, so that
// AddressSanitizer reports a read one byte past any text; a std::string's
// spare capacity or inline buffer would hide it. Views stay valid while the
// object lives.
class ExactTexts {
 public:
  TextView add(std::u32string_view text) {
    const std::string utf8 = testing::to_utf8(text);
    auto block = std::make_unique<char[]>(utf8.size());
    std::memcpy(block.get(), utf8.data(), utf8.size());
    views_.emplace_back(block.get(), utf8.size());
    blocks_.push_back(std::move(block));
    return views_.back();
  }
  std::span<const TextView> views() const { return views_; }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<TextView> views_;
};

// A batch: a query of up to 130 code points and 0 to a few hundred candidates of
// many lengths (near copies of the query, fresh texts of up to 130 code points,
// long ones of up to 300, empty ones), each from its own alphabet, so that ASCII
// and non-ASCII candidates mix and candidates end at different times.
struct Batch {
  std::u32string query;
  std::vector<std::u32string> candidates;
  ExactTexts texts;
  TextView query_view;
};

inline void fill_batch(FuzzInput& in, Batch& batch) {
  batch.query = random_text(in, 130, true);
  static constexpr std::uint64_t kCounts[] = {0, 1, 2, 3, 5, 8, 17, 33};
  const std::uint64_t count = in.below(8) == 0 ? in.below(300) : in.pick(kCounts);
  for (std::uint64_t k = 0; k < count; ++k) {
    switch (in.below(8)) {
      case 0: case 1: case 2: batch.candidates.push_back(near_copy(in, batch.query)); break;
      case 3: batch.candidates.emplace_back(); break;
      case 4: {
        const Alphabet alphabet = pick_alphabet(in);
        batch.candidates.push_back(random_text(in, 65 + in.below(236), alphabet));
        break;
      }
      default: batch.candidates.push_back(random_text(in, 130, true)); break;
    }
  }
  batch.query_view = batch.texts.add(batch.query);
  for (const std::u32string& c : batch.candidates) batch.texts.add(c);
}

// The candidates' views: every view after the query's.
inline std::span<const TextView> candidate_views(const Batch& batch) {
  return batch.texts.views().subspan(1);
}

// ---- Reference of the kernels' shared first steps ----

inline std::u32string maybe_folded(const std::u32string& text, bool fold) {
  return fold ? testing::lowercase_walk(text) : text;
}

// max_len is checked on the working (possibly folded) lengths, str_1 first.
inline std::optional<MatchError> length_error(std::uint64_t len1, std::uint64_t len2,
                                              std::optional<std::uint64_t> max_len) {
  if (max_len && len1 > *max_len) return MatchError::input_too_long("str_1", len1, *max_len);
  if (max_len && len2 > *max_len) return MatchError::input_too_long("str_2", len2, *max_len);
  return std::nullopt;
}

inline bool valid_scale(double p) { return p >= 0.0 && p <= 0.25; }

// ---- Options, clustered where the outcome changes ----

inline std::optional<std::uint64_t> pick_max_len(FuzzInput& in, std::uint64_t len1,
                                                 std::uint64_t len2) {
  switch (in.below(10)) {
    case 0: case 1: case 2: case 3: return std::nullopt;
    case 4: return len1;
    case 5: return len1 == 0 ? 0 : len1 - 1;
    case 6: return len2;
    case 7: return len2 == 0 ? 0 : len2 - 1;
    case 8: return std::numeric_limits<std::uint64_t>::max();
    default: return in.below(140);
  }
}

// A distance cutoff around the true distance d.
inline std::optional<std::uint64_t> pick_distance_cutoff(FuzzInput& in, std::uint64_t d) {
  switch (in.below(9)) {
    case 0: case 1: case 2: return std::nullopt;
    case 3: return d;
    case 4: return d == 0 ? 0 : d - 1;
    case 5: return d + 1;
    case 6: return 0;
    case 7: return std::numeric_limits<std::uint64_t>::max();
    default: return in.below(140);
  }
}

// A prefix scale: mostly valid, often on or just past a bound, sometimes NaN,
// an infinity or any bit pattern at all.
inline std::optional<double> pick_scale(FuzzInput& in) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  switch (in.below(14)) {
    case 0: case 1: return std::nullopt;
    case 2: return 0.0;
    case 3: return -0.0;
    case 4: return 0.25;
    case 5: return std::nextafter(0.25, 1.0);
    case 6: return std::nextafter(0.0, -1.0);
    case 7: return in.flag() ? std::nan("") : -std::nan("");
    case 8: return in.flag() ? kInf : -kInf;
    case 9: {
      double v;
      const std::uint64_t bits = in.u64();
      std::memcpy(&v, &bits, sizeof v);
      return v;
    }
    default: return 0.25 * static_cast<double>(in.u64() >> 11) / 9007199254740992.0;
  }
}

// A similarity cutoff around the true similarity v.
inline std::optional<double> pick_similarity_cutoff(FuzzInput& in, double v) {
  switch (in.below(10)) {
    case 0: case 1: case 2: return std::nullopt;
    case 3: return v;
    case 4: return std::nextafter(v, 2.0);
    case 5: return std::nextafter(v, -1.0);
    case 6: return std::nan("");
    case 7: return in.flag() ? 0.0 : 1.0;
    case 8: return in.flag() ? -1.0 : 2.0;
    default: return static_cast<double>(in.u64() >> 11) / 9007199254740992.0;
  }
}

// ---- Reports ----

inline std::string show(std::u32string_view text) {
  std::string out = "\"";
  char buf[16];
  for (char32_t cp : text) {
    if (cp >= 0x20 && cp < 0x7F && cp != '"' && cp != '\\') {
      out += static_cast<char>(cp);
    } else {
      std::snprintf(buf, sizeof buf, "\\u{%X}", static_cast<unsigned>(cp));
      out += buf;
    }
  }
  return out + "\" (" + std::to_string(text.size()) + " code points)";
}

inline std::string show(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g [0x%016llX]", v, static_cast<unsigned long long>(bits));
  return buf;
}
inline std::string show(std::uint64_t v) { return std::to_string(v); }
inline std::string show(const std::optional<double>& v) { return v ? show(*v) : "none"; }
inline std::string show(const std::optional<std::uint64_t>& v) { return v ? show(*v) : "none"; }
inline std::string show(const MatchError& e) {
  return e.kind == MatchError::Kind::InputTooLong ? e.text() : e.text() + " " + show(e.value);
}

[[noreturn]] inline void fail(const char* file, int line, const char* condition,
                              const std::string& context) {
  std::fprintf(stderr, "\n%s:%d: check failed: %s\n%s\n", file, line, condition, context.c_str());
  std::abort();
}

// `context` is built only when the check fails.
#define QM_FUZZ_CHECK(condition, context)                                    \
  do {                                                                       \
    if (!(condition)) ::quillmatch::fuzz::fail(__FILE__, __LINE__, #condition, (context)); \
  } while (0)

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool same_value(std::uint64_t a, std::uint64_t b) { return a == b; }
inline bool same_value(double a, double b) { return same_bits(a, b); }

// Same variant, fields, and text form; the expected text is written out here
// for InputTooLong, and through float_text (checked on its own by the
// float_text target) for InvalidPrefixScale.
inline bool same_error(const MatchError& got, const MatchError& want) {
  if (got.kind != want.kind) return false;
  if (want.kind == MatchError::Kind::InvalidPrefixScale)
    return same_bits(got.value, want.value) &&
           got.text() == "InvalidPrefixScale { value: " + float_text(want.value) + " }";
  return std::strcmp(got.which, want.which) == 0 && got.len == want.len &&
         got.limit == want.limit &&
         got.text() == std::string("InputTooLong { which: \"") + want.which +
                           "\", len: " + std::to_string(want.len) +
                           ", limit: " + std::to_string(want.limit) + " }";
}

// A result against its expected value or error. `context()` describes the
// inputs; it is called only on failure.
template <class T, class Context>
void check_result(const Result<T>& got, const Result<T>& want, Context context, const char* file,
                  int line) {
  const bool same = got.ok() == want.ok() && (got.ok() ? same_value(got.value(), want.value())
                                                       : same_error(got.error(), want.error()));
  if (same) return;
  const auto describe = [](const Result<T>& r) {
    return r.ok() ? show(r.value()) : show(r.error());
  };
  fail(file, line, "result == expected",
       context() + "\n  got:      " + describe(got) + "\n  expected: " + describe(want));
}

#define QM_FUZZ_CHECK_RESULT(got, want, context) \
  ::quillmatch::fuzz::check_result((got), (want), [&] { return std::string(context); }, \
                                   __FILE__, __LINE__)

// ---- The entry point ----

// One run of the target: every choice read from `in`, every difference a
// failed check. Defined by each target.
void fuzz_one(FuzzInput& in);

}  // namespace quillmatch::fuzz

// libFuzzer calls this once per input; not inline, as libFuzzer links against it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmatch::fuzz::FuzzInput in(data, size);
  quillmatch::fuzz::fuzz_one(in);
  return 0;
}
