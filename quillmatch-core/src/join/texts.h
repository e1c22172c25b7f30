// Texts as the join filters read them: in the form the measure compares
// (lower-cased when the run folds case), with their lengths in code points and
// their character counts.
//
// The filters only rule pairs out; every pair they keep is scored by the
// scalar measure on these working forms with case folding off, which is the
// scalar measure of the texts as given with it on: folding is what that
// measure does first, to each text as a whole.
#pragma once

#include <array>
#include <bit>
#include <cstring>
#include <cstdint>

#if defined(QUILLMATCH_SIMD_AVX2)
#include <emmintrin.h>
#endif
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillmatch/quillmatch.h"
#include "many/thread_pool.h"
#include "text/text.h"

namespace quillmatch::join {

// Character counts over kCountBuckets buckets, each saturating at 255. The
// frequent letters of Latin-script names and words have buckets of their own,
// the rarer ones share; other code points are hashed.
inline constexpr std::size_t kCountBuckets = 16;
using CharCounts = std::array<std::uint8_t, kCountBuckets>;

std::size_t count_bucket(char32_t c);
CharCounts count_chars(std::string_view text);

// The L1 distance of two texts' character counts, bucketed and saturated.
// Both only shrink it: merging characters into a bucket cannot add to the sum
// of differences, and |min(a, 255) - min(b, 255)| <= |a - b|. Each
// substitution changes the exact distance by at most 2, each insertion or
// deletion by 1, a transposition not at all, so an edit distance (Levenshtein
// or OSA) is at least half of it. And two texts of lengths a and b that can
// pair off m characters one to one have an exact distance of at most
// a + b - 2m.
inline unsigned count_distance(const CharCounts& a, const CharCounts& b) {
#if defined(QUILLMATCH_SIMD_AVX2)
  // One instruction sums the absolute differences of each 8-byte half.
  static_assert(kCountBuckets == sizeof(__m128i));
  const __m128i sad = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a.data())),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.data())));
  return static_cast<unsigned>(_mm_cvtsi128_si32(sad) + _mm_extract_epi16(sad, 4));
#else
  unsigned sum = 0;
  for (std::size_t k = 0; k < kCountBuckets; ++k) sum += a[k] > b[k] ? a[k] - b[k] : b[k] - a[k];
  return sum;
#endif
}

// hash_bytes starts from the size and folds in eight bytes a step.
inline constexpr std::uint64_t kHashMul = 0x9E3779B97F4A7C15ull;
inline std::uint64_t hash_start(std::size_t size) { return size * kHashMul; }
inline std::uint64_t hash_step(std::uint64_t h, std::uint64_t w) { return std::rotl((h ^ w) * kHashMul, 29); }

// A hash of a text's bytes, the same on every machine and in every run (the
// keyed join's keys are made of it).
inline std::uint64_t hash_bytes(const char* data, std::size_t size) {
  std::uint64_t h = hash_start(size);
  std::size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    std::uint64_t w;
    std::memcpy(&w, data + at, 8);
    h = hash_step(h, w);
  }
  if (at < size) {
    std::uint64_t w = 0;
    std::memcpy(&w, data + at, size - at);
    h = hash_step(h, w);
  }
  return h;
}

// hash_bytes of the `size` bytes of a word, byte i at bits 8i and the bytes
// from `size` up zero: the 8-byte steps of hash_bytes read the word's two
// halves, and its last, partial step the zero-padded half that holds the end.
// REQUIRES: size <= 16; a little-endian machine (hash_bytes' loads then read
// the halves as they lie).
__extension__ typedef unsigned __int128 Word128;  // GCC and clang have it on every 64-bit target
inline std::uint64_t hash_word(Word128 word, std::size_t size) {
  std::uint64_t h = hash_start(size);
  if (size > 0) h = hash_step(h, static_cast<std::uint64_t>(word));
  if (size > 8) h = hash_step(h, static_cast<std::uint64_t>(word >> 64));
  return h;
}

// Where each code point of a text starts, and where the text ends: length + 1
// byte offsets.
void code_point_starts(std::string_view text, std::vector<std::uint32_t>& out);

// A list of texts in working form, packed end to end and owned here.
class WorkingTexts {
 public:
  // Polls `meter` as it goes (the texts may be many).
  WorkingTexts(std::span<const TextView> texts, bool case_insensitive, Meter& meter);

  std::size_t size() const { return lengths_.size(); }
  std::string_view text(std::size_t i) const {
    return std::string_view(bytes_.data() + starts_[i], starts_[i + 1] - starts_[i]);
  }
  // Asks for where text i lies, ahead of text(i).
  void prefetch_place(std::size_t i) const { __builtin_prefetch(&starts_[i]); }
  std::uint32_t length(std::size_t i) const { return lengths_[i]; }
  const CharCounts& counts(std::size_t i) const { return counts_[i]; }
  // The UTF-8 length of the longest text as given, before folding.
  std::size_t longest_given_bytes() const { return longest_given_; }

 private:
  std::string bytes_;
  std::vector<std::uint64_t> starts_;
  std::vector<std::uint32_t> lengths_;
  std::vector<CharCounts> counts_;
  std::size_t longest_given_ = 0;
};

// One query in working form, with what the filters read of it. One object
// serves query after query, keeping its buffers.
struct WorkingQuery {
  void take(TextView query, bool case_insensitive);
  std::string_view text() const { return form.view(); }

  WorkingText form;
  std::uint32_t length = 0;
  CharCounts counts{};
  std::vector<std::uint32_t> starts;  // code_point_starts of the working form
  // False when the searcher knows that no indexed text equals it: a filter
  // may then skip the lookups that find only equal texts. take() sets it.
  bool may_equal_held = true;
};

}  // namespace quillmatch::join
