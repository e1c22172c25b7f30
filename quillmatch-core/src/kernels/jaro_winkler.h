// Pieces shared by the Jaro-Winkler kernel and the Jaro-Winkler batch: the
// constants, the radius, the one score formula, word-parallel matching of two
// ASCII texts of at most 64 bytes each, and block matching of any two texts.
//
// The batch must give the kernel's result bit for bit, so both call the same
// score() and the same word routines rather than keeping two copies in step.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernels/pattern_masks.h"
#include "simd/simd.h"

namespace quillmatch::jw {

// jaro must exceed this (strictly) before the prefix boost applies.
inline constexpr double kBoostThreshold = 0.7;
// At most this many leading equal code points count towards the boost.
inline constexpr std::uint64_t kMaxPrefix = 4;
inline constexpr double kJaroDivisor = 3.0;
// The word strategies keep one bit per position in one 64-bit word.
inline constexpr std::uint64_t kWordBits = 64;
// Index range of the position table: every ASCII byte value, or every byte.
inline constexpr std::size_t kAsciiValues = 128;
inline constexpr std::size_t kByteValues = 256;

inline const unsigned char* bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Match window radius: max(len1, len2) / 2 - 1, clamped at 0.
inline std::uint64_t match_radius(std::uint64_t len1, std::uint64_t len2) {
  const std::uint64_t half = std::max(len1, len2) / 2;
  return half == 0 ? 0 : half - 1;
}

// The Jaro similarity of its three quotients m / len1, m / len2 and (m - t) / m.
inline double jaro_of_quotients(double a, double b, double c) { return ((a + b) + c) / kJaroDivisor; }

// A Jaro similarity above kBoostThreshold with the Winkler boost, boost = p * l.
inline double boosted(double jaro, double boost) { return jaro + (1.0 - jaro) * boost; }

// score() once its three quotients m / len1, m / len2 and (m - t) / m are taken.
// A branch: one query against many seldom passes the threshold. (The pair
// lanes, where it is a coin toss, select instead.)
inline double score_of_quotients(double a, double b, double c, std::uint64_t l, double p) {
  const double jaro = jaro_of_quotients(a, b, c);
  if (!(jaro > kBoostThreshold)) return jaro;
  return boosted(jaro, p * static_cast<double>(l));
}

// The similarity from the match count m, the halved transposition count t, the
// two lengths, the common prefix l and the scale p. REQUIRES: 1 <= m <= both
// lengths. The order of operations is part of the result: every caller gets the
// same double for the same integers, whichever strategy produced them. (p * l)
// and (l * p) are the same IEEE product, so one function serves both roles.
inline double score(std::uint64_t m, std::uint64_t t, std::uint64_t len1, std::uint64_t len2,
                    std::uint64_t l, double p) {
  const double md = static_cast<double>(m);
  return score_of_quotients(md / static_cast<double>(len1), md / static_cast<double>(len2),
                            static_cast<double>(m - t) / md, l, p);
}

// x / y for every x and y up to kWordBits, y > 0, worked out by the compiler.
// IEEE division is correctly rounded, at compile time as at run time, so each
// entry is the double the division gives (the tests check every one).
struct WordQuotients {
  double q[kWordBits + 1][kWordBits + 1] = {};
  constexpr WordQuotients() {
    for (std::uint64_t x = 0; x <= kWordBits; ++x)
      for (std::uint64_t y = 1; y <= kWordBits; ++y)
        q[x][y] = static_cast<double>(x) / static_cast<double>(y);
  }
  double operator()(std::uint64_t x, std::uint64_t y) const { return q[x][y]; }
};
inline constexpr WordQuotients kWordQuotients;

// score() of texts of at most kWordBits code points each, its quotients read
// from kWordQuotients instead of divided out: three divisions fewer per
// candidate of the word strategies. REQUIRES: as score(), and len1, len2 <= kWordBits.
inline double score_words(std::uint64_t m, std::uint64_t t, std::uint64_t len1,
                          std::uint64_t len2, std::uint64_t l, double p) {
  return score_of_quotients(kWordQuotients(m, len1), kWordQuotients(m, len2),
                            kWordQuotients(m - t, m), l, p);
}

// Maps applied to the scanned text as it is read: the kernel's texts are
// already folded, the batch lowers ASCII candidate bytes on the fly. Both map
// ASCII to ASCII, so a mapped byte always indexes the position table; Verbatim
// also passes decoded code points through.
struct Verbatim {
  template <class T>
  T operator()(T c) const { return c; }
};
struct AsciiLower {
  unsigned char operator()(unsigned char b) const {
    return static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 0x20 : b);
  }
};

// positions[c] has bit j set for every j < n with text[j] == c.
// REQUIRES: n <= 64 and every byte of text is below N.
template <std::size_t N>
inline void build_positions(std::uint64_t (&positions)[N], const unsigned char* text,
                            std::size_t n) {
  std::fill(std::begin(positions), std::end(positions), std::uint64_t{0});
  for (std::size_t j = 0; j < n; ++j) positions[text[j]] |= std::uint64_t{1} << j;
}

struct MatchedWords {
  std::uint64_t scanned = 0;   // bit i: position i of the scanned text is matched
  std::uint64_t searched = 0;  // bit j: position j of the text behind the table
  unsigned char any_bytes = 0;  // OR of the scanned bytes as read, before the map
};

// Greedy matching of the scanned text against the text whose position table is
// given. `window` holds the searched positions i - r .. i + r for the current i:
// it starts as bits 0..r and moves up one bit per step, gaining bit 0 again while
// i < r (the lower edge is still clamped at 0). Bits at or above the searched
// length are never set in the table, so the upper edge needs no clamp; r <= 31
// keeps the first window inside the word. The lowest candidate bit is the
// leftmost free position in the window, which is the greedy choice.
//
// The step is branch-free and its loop-carried chain is three operations on
// `unmatched` (and, isolate the lowest bit, xor): hits & -hits is 0 when hits is.
// REQUIRES: n <= 64, both lengths <= 64, every mapped byte below N (a byte
// the searched text lacks may index a zero entry: a table of 256 takes any).
template <std::size_t N, class Map>
inline MatchedWords match_words(const std::uint64_t (&positions)[N], const unsigned char* scanned,
                                std::size_t n, std::uint64_t r, Map map) {
  std::uint64_t unmatched = ~std::uint64_t{0};
  std::uint64_t matched = 0;
  unsigned char any = 0;
  std::uint64_t window = (std::uint64_t{1} << (r + 1)) - 1;
  for (std::size_t i = 0; i < n; ++i) {
    any |= scanned[i];
    const std::uint64_t hits = (positions[map(scanned[i])] & window) & unmatched;
    const std::uint64_t lowest = hits & (std::uint64_t{0} - hits);
    unmatched ^= lowest;
    matched |= std::uint64_t{lowest != 0} << i;
    window = (window << 1) | std::uint64_t{i < r};
  }
  return {matched, ~unmatched, any};
}

// Not-equal-to-zero in every lane: all ones where x has a bit set.
template <class T>
simd::Lanes<T> lanes_nonzero(simd::Lanes<T> x) {
  using V = simd::Lanes<T>;
  return ~(x == V::zero());
}

// match_words in every lane: one scanned candidate per lane, each against the
// same table narrowed to T bits, each with its own length and radius. A lane
// holds the low T bits of match_words' searched-side words (unmatched and the
// window); when the searched text fits in T bits, no bit of them that
// match_words reads or sets lies above. The scanned side's word (bit i: scanned
// position i matched) would need a bit per candidate byte, so each step returns
// its bit i as a lane mask instead, which the caller keeps for MismatchLanes;
// candidates of any length up to 64 then share the query's lane width. Steps at
// or past a lane's length find no hits, so the lane's words stay as they were
// at its end (the rows it reads there are stale).
// REQUIRES: the initial window of each lane is bits 0..r of that lane (its
// low T bits), the searched text and every length fit in T bits.
template <class T>
struct MatchLanes {
  using V = simd::Lanes<T>;
  V unmatched = V::ones();
  V window;
  V radius;
  V lengths;
  V live = V::ones();    // all ones while i < the lane's length
  V fill = V::splat(1);  // 1 while i < r: the window's lower edge is clamped
  T i = 0;

  MatchLanes(V first_window, V lane_radius, V lane_lengths)
      : window(first_window), radius(lane_radius), lengths(lane_lengths) {}

  // Returns all ones in the lanes where scanned position i found no match
  // (match_words leaves bit i of the scanned word clear), zero where it did.
  V step(V pm) {
    live = and_not(live, lengths == V::splat(i));
    const V hits = ((pm & window) & unmatched) & live;
    const V lowest = hits & (V::zero() - hits);
    unmatched = unmatched ^ lowest;
    fill = and_not(fill, radius == V::splat(i));
    window = shl1(window) | fill;
    ++i;
    return lowest == V::zero();
  }
};

// The number of ranks k at which the k-th matched byte of each text differs.
// Both words have the same number of bits set (one per matched pair).
template <class Map>
inline std::uint64_t count_mismatches(const unsigned char* scanned, std::uint64_t matched_scanned,
                                      const unsigned char* searched,
                                      std::uint64_t matched_searched, Map map) {
  std::uint64_t h = 0;
  while (matched_scanned != 0) {
    const int i = std::countr_zero(matched_scanned);
    const int j = std::countr_zero(matched_searched);
    h += map(scanned[i]) != searched[j];
    matched_scanned &= matched_scanned - 1;
    matched_searched &= matched_searched - 1;
  }
  return h;
}

// count_mismatches and common_prefix in every lane, reading the rows the
// matching read and what its steps returned. Position i of the scanned text,
// when it matched, pairs with the lowest searched bit not yet paired, j; its
// byte equals searched[j] exactly when its row has bit j (the row of byte b is
// the set of positions holding map(b)). Likewise the prefix goes on at i while
// the row of byte i has bit i, i is below the lane's length and i < kMaxPrefix.
template <class T>
struct MismatchLanes {
  using V = simd::Lanes<T>;
  V unpaired;   // matched searched positions not yet paired
  V lengths;
  V mismatches = V::zero();
  V prefix = V::zero();
  V in_prefix = V::ones();
  V bit = V::splat(1);  // 1 << i while i < kMaxPrefix
  T i = 0;

  explicit MismatchLanes(const MatchLanes<T>& match)
      : unpaired(~match.unmatched), lengths(match.lengths) {}

  // `missed`: what MatchLanes::step returned at position i.
  void step(V pm, V missed) {
    const V lowest = and_not(unpaired & (V::zero() - unpaired), missed);
    // An all-ones lane is -1: subtracting it counts one.
    mismatches = mismatches - and_not((pm & lowest) == V::zero(), missed);
    unpaired = unpaired ^ lowest;
    if (i < kMaxPrefix) {
      in_prefix = and_not(in_prefix, lengths == V::splat(i)) & lanes_nonzero(pm & bit);
      prefix = prefix - in_prefix;
      bit = shl1(bit);
    }
    ++i;
  }
};

// Leading equal bytes, at most kMaxPrefix and at most min(n1, n2).
template <class Map>
inline std::uint64_t common_prefix(const unsigned char* scanned, std::size_t n1,
                                   const unsigned char* searched, std::size_t n2, Map map) {
  const std::size_t limit = std::min<std::size_t>({n1, n2, kMaxPrefix});
  std::size_t l = 0;
  while (l < limit && map(scanned[l]) == searched[l]) ++l;
  return l;
}

// What the score is computed from. m == 0 means no match (score 0.0).
struct Counts {
  std::uint64_t m = 0;  // matched pairs
  std::uint64_t t = 0;  // mismatched ranks, halved rounding down
  std::uint64_t l = 0;  // common prefix, at most kMaxPrefix
};

// The counts of two ASCII texts from their matched words. REQUIRES: the words
// came from matching `scanned` (through map) against `searched`.
template <class Map>
inline Counts count_words(const unsigned char* scanned, std::size_t n1,
                          const unsigned char* searched, std::size_t n2, MatchedWords matched,
                          Map map) {
  Counts c;
  if (matched.scanned == 0) return c;
  c.m = static_cast<std::uint64_t>(std::popcount(matched.scanned));
  // Integer halving: three mismatches are one transposition, not 1.5.
  c.t = count_mismatches(scanned, matched.scanned, searched, matched.searched, map) / 2;
  c.l = common_prefix(scanned, n1, searched, n2, map);
  return c;
}

// Block matching, for texts the word strategies cannot take (non-ASCII, or
// longer than 64). One text, the searched one, is held as code points with the
// position row of each code point (bit j % 64 of word j / 64 is set where
// position j holds it); the other, the scanned one, is read in order.
//
// For scanned position i the window is the searched range lo..hi with
// lo = max(0, i - r) and hi = min(m - 1, i + r). The greedy choice is the lowest
// position in the window that holds the code point and is still free: the
// lowest set bit of row & ~matched over the window's words, the first word
// masked below lo and the last above hi. The search stops at the first word
// with a candidate bit, so a step costs one word when a match lies near the
// lower edge and ceil((2r + 1) / 64) + 1 words when there is none. Once
// i - r >= m every later window is empty, so the scan ends there.
//
// The matched positions are the greedy scan's: for each code point value, the
// pairs formed are the same whichever text is scanned, so either text may be
// the searched one, and h (which reads only the two matched sets) and l agree.
//
// Reusable scratch, so a batch allocates only while it grows.
struct BlockScratch {
  std::vector<std::uint64_t> matched;  // searched side, one bit per position
  std::vector<char32_t> hits;          // matched code points of the scanned text, in order
  std::vector<char32_t> decoded;       // the scanned text, when it must be decoded
  std::string folded;                  // the scanned text folded, when it must be
};

// The searched text: its code points and the position bits of each code point,
// read as row(cp)[w] for the words w < words(). Up to 64 code points one word
// per code point (WordMasks, whose direct table is held inline, so a short
// text costs no table allocation); beyond, blocks of words (BlockMasks). The
// masks are built from `cps` and only read afterwards.
struct SearchedWord {
  explicit SearchedWord(std::vector<char32_t> code_points)
      : cps(std::move(code_points)), masks(WordMasks::from_code_points(cps)) {}
  struct Row {
    std::uint64_t bits;
    std::uint64_t operator[](std::size_t) const { return bits; }
  };
  Row row(char32_t cp) const { return {masks.get(cp)}; }
  std::size_t words() const { return 1; }
  static constexpr bool kOneWord = true;
  std::vector<char32_t> cps;
  WordMasks masks;
};

struct SearchedBlocks {
  explicit SearchedBlocks(std::vector<char32_t> code_points)
      : cps(std::move(code_points)), masks(cps) {}
  const std::uint64_t* row(char32_t cp) const { return masks.row(cp); }
  std::size_t words() const { return masks.words(); }
  static constexpr bool kOneWord = false;
  std::vector<char32_t> cps;
  BlockMasks masks;
};

// The counts of `scanned` (n code points, each read through map) against the
// searched text (SearchedWord or SearchedBlocks). REQUIRES: n >= 1, searched.cps
// nonempty, and at most 64 code points in a SearchedWord.
template <class Searched, class T, class Map>
inline Counts count_blocks(const Searched& searched, const T* scanned, std::size_t n, Map map,
                           BlockScratch& scratch) {
  const std::size_t m = searched.cps.size();
  const std::size_t r = match_radius(n, m);
  const std::size_t words = searched.words();
  // A SearchedWord has at most 64 positions, so its state fits the frame and a
  // short pair allocates nothing here.
  std::uint64_t one_word[1] = {0};
  char32_t few_hits[kWordBits];
  std::uint64_t* matched = one_word;
  char32_t* hits = few_hits;
  if constexpr (!Searched::kOneWord) {
    scratch.matched.assign(words, 0);
    scratch.hits.resize(std::min(n, m));
    matched = scratch.matched.data();
    hits = scratch.hits.data();
  }
  std::size_t found = 0;
  const std::size_t steps = std::min(n, m + r);
  for (std::size_t i = 0; i < steps; ++i) {
    const char32_t cp = map(scanned[i]);
    const auto row = searched.row(cp);
    const std::size_t lo = i > r ? i - r : 0;
    const std::size_t hi = std::min(m - 1, i + r);
    const std::size_t top = hi / kWordBits;
    std::size_t w = lo / kWordBits;
    std::uint64_t x = row[w] & ~matched[w] & (~std::uint64_t{0} << (lo % kWordBits));
    if constexpr (!Searched::kOneWord) {
      while (x == 0 && w < top) {
        ++w;
        x = row[w] & ~matched[w];
      }
    }
    // Only the last word can hold bits above hi.
    if (w == top) x &= ~std::uint64_t{0} >> (kWordBits - 1 - hi % kWordBits);
    if (x != 0) {
      matched[w] |= x & (~x + 1);
      hits[found++] = cp;
    }
  }
  Counts c;
  if (found == 0) return c;
  c.m = found;
  // The k-th set bit of matched pairs with hits[k]: both list the matched code
  // points of their text in position order.
  std::uint64_t h = 0;
  std::size_t k = 0;
  for (std::size_t w = 0; w < words; ++w) {
    for (std::uint64_t bits = matched[w]; bits != 0; bits &= bits - 1) {
      const std::size_t j = w * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
      h += searched.cps[j] != hits[k++];
    }
  }
  c.t = h / 2;
  const std::size_t limit = std::min<std::size_t>({n, m, kMaxPrefix});
  while (c.l < limit && map(scanned[c.l]) == searched.cps[c.l]) ++c.l;
  return c;
}

}  // namespace quillmatch::jw
