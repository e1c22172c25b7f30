// Pairs of short texts scored many at a time, a different pair in each lane:
// the engine of two columns compared row by row, where the pattern changes
// with every row.
//
// A pair takes a lane when both texts, folded when asked, have only code
// points below U+0100 (so one byte stands for one code point), the shorter
// has 1 to 32 of them and the longer at most 64. The shorter is the lane's
// pattern, in a 16-bit lane when it has at most 16 code points, else in a
// 32-bit one; the longer is scanned, one step per code point. A character's
// mask is the pattern, held in one register, compared with the character
// (simd::PatternRegister, two 16-bit lanes' patterns to a register) and cut
// to the pattern's length: bit i is set exactly
// when pattern position i holds it, which is the row of the character in the
// kernels' position tables. Pairs are grouped by the longer length, so the
// lanes of a group end at nearly the same step. Nothing is allocated per pair
// (see batch/narrow_pairs.h). A scan (DistanceLanes, JaroWinklerLanes below)
// turns a group's masks into its lanes' scores, and scores every other pair
// one by one.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "batch/narrow_pairs.h"
#include "kernels/bit_parallel.h"
#include "kernels/jaro_winkler.h"
#include "simd/byte_pattern.h"
#include "simd/simd.h"
#include "text/text.h"

namespace quillmatch {

// What a scan's group sees: per lane the pattern length m and the scanned
// length n (unused lanes have m = n = 0), the masks, row j at j * kLanes, and
// the steps (the largest n).
template <class T>
struct LaneGroup {
  static constexpr std::size_t kLanes = simd::Lanes<T>::kCount;
  alignas(32) T m[kLanes];
  alignas(32) T n[kLanes];
  const T* masks;
  std::size_t steps;
};

template <class Scan>
class PairLaneEngine {
 public:
  using Value = typename Scan::Value;
  static constexpr std::size_t kPatternPoints = simd::kPatternBytes;  // the bits of the wider lane
  static constexpr std::size_t kTextPoints = NarrowPairs::kTextPoints;
  static constexpr std::size_t kMaxRows = NarrowPairs::kMaxRows;
  // PatternRegister::scan writes rows up to a multiple of its stride.
  static_assert(kTextPoints % simd::kScanStride == 0);

  template <class... Args>
  explicit PairLaneEngine(bool fold, Args... args) : scan_(fold, args...), texts_(fold, Scan::kFoldInPlace) {}

  // out[k] = the score of (queries[k], candidates[k]) as the scalar kernel
  // gives it with no max_len and no cutoff, for every k; a single candidate
  // is every row's.
  // REQUIRES: queries.size() <= kMaxRows; candidates.size() is 1 or queries.size().
  void score(std::span<const TextView> queries, std::span<const TextView> candidates, Value* out) {
    // Per lane width (patterns of up to 16 code points take 16-bit lanes,
    // twice as many to a register), the pairs counted by the longer length.
    std::size_t starts[2][kTextPoints + 2] = {};
    std::size_t lanes = 0;
    texts_.restart();
    for (std::size_t k = 0; k < queries.size(); ++k) {
      const TextView q = queries[k], c = candidates.size() == 1 ? candidates[0] : candidates[k];
      Pair& p = pairs_[lanes];
      const NarrowPairs::Narrowed nq = texts_.code_points(q);
      NarrowPairs::Narrowed nc{};
      if (nq.n == kNotNarrow || (nc = texts_.code_points(c)).n == kNotNarrow) {
        out[k] = scan_.kernel(q, c);
        continue;
      }
      const unsigned char *bq = nq.bytes, *bc = nc.bytes;
      std::size_t lq = nq.n, lc = nc.n;
      if (lq > lc) std::swap(bq, bc), std::swap(lq, lc);
      if (lq == 0 || lq > kPatternPoints) {
        out[k] = scan_.other(q, c, bq, lq, bc, lc);
        continue;
      }
      p = Pair{bq, bc, static_cast<std::uint32_t>(lq), static_cast<std::uint32_t>(lc), static_cast<std::uint16_t>(k)};
      ++starts[wide(p)][p.n + 1];
      ++lanes;
    }
    // A counting sort into order_: the narrow lanes' pairs first, each width
    // by the longer length.
    for (std::size_t n = 1; n <= kTextPoints + 1; ++n) starts[0][n] += starts[0][n - 1];
    starts[1][0] = starts[0][kTextPoints + 1];
    for (std::size_t n = 1; n <= kTextPoints + 1; ++n) starts[1][n] += starts[1][n - 1];
    const std::size_t narrow = starts[0][kTextPoints + 1];
    for (std::size_t i = 0; i < lanes; ++i) order_[starts[wide(pairs_[i])][pairs_[i].n]++] = static_cast<std::uint16_t>(i);
    score_groups<std::uint16_t>(0, narrow, out);
    score_groups<std::uint32_t>(narrow, lanes, out);
  }

 private:
  struct Pair {
    const unsigned char* pattern;  // the shorter text, m code points
    const unsigned char* text;     // the longer, n code points
    std::uint32_t m, n;
    std::uint16_t row;
  };
  static bool wide(const Pair& p) { return p.m > 16; }

  // The pairs of order_[first, last), a group of lanes of T bits at a time.
  template <class T>
  void score_groups(std::size_t first, std::size_t last, Value* out) {
    constexpr std::size_t kLanes = simd::Lanes<T>::kCount;
    LaneGroup<T> g;
    g.masks = masks<T>();
    for (std::size_t i = first; i < last; i += kLanes) {
      const std::size_t n = std::min(kLanes, last - i);
      const Pair* lane[kLanes] = {};
      g.steps = 0;
      for (std::size_t k = 0; k < kLanes; ++k) {
        lane[k] = k < n ? &pairs_[order_[i + k]] : &kNoPair;
        g.m[k] = static_cast<T>(lane[k]->m);
        g.n[k] = static_cast<T>(lane[k]->n);
        g.steps = std::max<std::size_t>(g.steps, lane[k]->n);
      }
      for (std::size_t k = 0; k < kLanes; k += kLanesPerRegister<T>) fill_register<T>(lane + k, masks<T>() + k);
      alignas(32) Value scores[kLanes];
      scan_.group(g, scores);
      for (std::size_t k = 0; k < n; ++k) out[pairs_[order_[i + k]].row] = scores[k];
    }
  }

  // The lanes of T bits whose patterns one register holds: two of 16-bit
  // lanes, side by side in a row of masks, or one of 32.
  template <class T>
  static constexpr std::size_t kLanesPerRegister = simd::kPatternBytes / 8 / sizeof(T);

  // The masks of the lanes' texts, one per step, into their columns (row j
  // at column[j * kLanes]), narrowed to T and, for a scan that asks
  // (kCutMasks), cut to the patterns: the register's 32 bits are the lanes'
  // masks in lane order. Rows past a lane's text are left unspecified; a
  // scan reads them only for lanes it has retired.
  template <class T>
  void fill_register(const Pair* const* lanes, T* column) const {
    constexpr std::size_t kLanes = simd::Lanes<T>::kCount;
    // Folded again, a narrowed text is unchanged: ascii_lower is the
    // identity from 0x80 up and on its own results.
    const bool fold = texts_.fold();
    const Pair &a = *lanes[0], &b = *lanes[kLanesPerRegister<T> - 1];
    const std::uint32_t inside =
        sizeof(T) == 4 ? below(a.m) : below(a.m) | (below(b.m) << 16);
    // Two 16-bit lanes side by side are the register's 32 bits in lane order
    // (lane k the low half): one store, as for a 32-bit lane.
    static_assert(std::endian::native == std::endian::little);
    const auto store = [&](std::size_t j, std::uint32_t bits) {
      if constexpr (Scan::kCutMasks) bits &= inside;
      std::memcpy(column + j * kLanes, &bits, sizeof bits);
    };
    if constexpr (sizeof(T) == 4) {
      simd::PatternRegister(a.pattern, a.m, fold).scan(a.text, a.n, a.text, a.n, store);
    } else {
      simd::PatternRegister(a.pattern, a.m, b.pattern, b.m, fold).scan(a.text, a.n, b.text, b.n, store);
    }
  }

  // The low m bits. REQUIRES: m <= 32.
  static std::uint32_t below(std::uint32_t m) { return m == 32 ? ~0u : (1u << m) - 1; }

  // An unused lane: both lengths 0.
  static constexpr Pair kNoPair{nullptr, nullptr, 0, 0, 0};

  template <class T>
  T* masks() {
    if constexpr (sizeof(T) == 2) return masks16_;
    else return masks32_;
  }

  Scan scan_;
  NarrowPairs texts_;
  Pair pairs_[kMaxRows];
  std::uint16_t order_[kMaxRows];
  alignas(32) std::uint16_t masks16_[kTextPoints * simd::Lanes<std::uint16_t>::kCount] = {};
  alignas(32) std::uint32_t masks32_[kTextPoints * simd::Lanes<std::uint32_t>::kCount] = {};
};

// The edit distances: each lane keeps its own length and top bit
// (LevenshteinLanes and OsaLanes take them per lane) and retires after its
// text's last step, so a lane holds exactly the low bits of the kernel's word
// scan of its pair, and its score (at most 64) fits either width. An edit
// distance is the same whichever text is the pattern, so the lane gives the
// kernel's distance of (query, candidate) even when the candidate is the
// shorter. The distance to an empty text is the other's length.
template <template <class> class LaneStep, auto kernel_fn>
struct DistanceLanes {
  using Value = std::uint64_t;
  static constexpr bool kFoldInPlace = true;
  // Bits past a lane's pattern stay in its masks: every step moves
  // information only upwards (adds carry up, shifts go up, the rest is
  // bitwise), and a lane's score reads bit m - 1, so bits from m up never
  // reach it.
  static constexpr bool kCutMasks = false;
  const bool fold;

  explicit DistanceLanes(bool folded) : fold(folded) {}

  Value kernel(TextView q, TextView c) const { return kernel_fn(q, c, std::nullopt, fold, std::nullopt).value(); }
  // A pair with an empty text or a pattern too long for a lane.
  Value other(TextView q, TextView c, const unsigned char*, std::size_t m, const unsigned char*, std::size_t n) const {
    return m == 0 ? n : kernel(q, c);
  }

  template <class T>
  void group(const LaneGroup<T>& g, Value* out) const {
    using V = simd::Lanes<T>;
    constexpr std::size_t kLanes = V::kCount;
    alignas(32) T top[kLanes];
    // An unused lane (m = 0) retires before step 0; its top is any bit.
    for (std::size_t k = 0; k < kLanes; ++k) top[k] = static_cast<T>(T{1} << (g.m[k] == 0 ? 0 : g.m[k] - 1));
    const V lengths = V::load(g.n);
    LaneStep<T> scan(V::load(g.m), V::load(top));
    for (std::size_t j = 0; j < g.steps; ++j) {
      scan.retire(lengths == V::splat(static_cast<T>(j)));
      scan.step(V::load(g.masks + j * kLanes));
    }
    alignas(32) T scores[kLanes];
    scan.score.store(scores);
    for (std::size_t k = 0; k < kLanes; ++k) out[k] = scores[k];
  }
};

// Jaro-Winkler: the word strategy's matching and mismatch count in lanes
// (jw::MatchLanes, jw::MismatchLanes), the pattern the searched text. The
// kernel takes the word strategy for two ASCII texts of at most 64 bytes and
// the block strategy for any other pair; both give the same counts (the
// greedy matches are the same whichever text is searched, see
// kernels/jaro_winkler.h), and whenever the longer text has at most 64 code
// points the score is jw::score_words of the two lengths (whose sum of the
// quotients m / len is the same either way round). The narrowed bytes are
// equal exactly where the code points are, so the lanes' counts are the
// kernel's. A pattern of more than 32 code points takes the word strategy
// one pair at a time, on the texts narrowed folded (kFoldInPlace is false
// for it); anything else goes to the kernel.
struct JaroWinklerLanes {
  using Value = double;
  static constexpr bool kFoldInPlace = false;
  static constexpr bool kCutMasks = true;  // the matching counts every bit it sets
  const bool fold;
  const double p;

  // REQUIRES: scale is a checked prefix scale.
  JaroWinklerLanes(bool folded, double scale) : fold(folded), p(scale) {}

  Value kernel(TextView q, TextView c) const { return jaro_winkler(q, c, p, std::nullopt, fold, std::nullopt).value(); }

  Value other(TextView, TextView, const unsigned char* searched, std::size_t m, const unsigned char* scanned,
              std::size_t n) const {
    if (m == 0) return n == 0 ? 1.0 : 0.0;
    const auto view = [](const unsigned char* s, std::size_t k) { return std::string_view(reinterpret_cast<const char*>(s), k); };
    const AsciiPairMasks positions(view(searched, m), view(scanned, n));
    const jw::MatchedWords matched = jw::match_words(positions.table(), scanned, n, jw::match_radius(m, n), jw::Verbatim{});
    const jw::Counts c = jw::count_words(scanned, n, searched, m, matched, jw::Verbatim{});
    return c.m == 0 ? 0.0 : jw::score_words(c.m, c.t, m, n, c.l, p);
  }

  template <class T>
  void group(const LaneGroup<T>& g, Value* out) {
    using V = simd::Lanes<T>;
    constexpr std::size_t kLanes = V::kCount;
    alignas(32) T radius[kLanes], window[kLanes];
    // Scalar: clang would vectorise this loop in 64-bit lanes and pack them
    // down, which costs more than the lanes one by one (rows 0.97).
#if defined(__clang__)
#pragma clang loop vectorize(disable)
#endif
    for (std::size_t k = 0; k < kLanes; ++k) {
      const std::uint64_t r = jw::match_radius(g.m[k], g.n[k]);
      radius[k] = static_cast<T>(r);
      window[k] = static_cast<T>((std::uint64_t{1} << (r + 1)) - 1);
    }
    T* const missed = missed_.template get<T>();
    jw::MatchLanes<T> match(V::load(window), V::load(radius), V::load(g.n));
    for (std::size_t j = 0; j < g.steps; ++j) match.step(V::load(g.masks + j * kLanes)).store(missed + j * kLanes);
    jw::MismatchLanes<T> walk(match);
    for (std::size_t j = 0; j < g.steps; ++j) walk.step(V::load(g.masks + j * kLanes), V::load(missed + j * kLanes));
    alignas(32) T unmatched[kLanes], mismatches[kLanes], prefix[kLanes];
    match.unmatched.store(unmatched);
    walk.mismatches.store(mismatches);
    walk.prefix.store(prefix);
    // jw::score_words of each lane, its quotients looked up lane by lane and
    // the rest computed for all lanes at once: the boost selected, not
    // branched to (a coin toss over row pairs), so that the loop vectorises.
    alignas(32) double a[kLanes], b[kLanes], c[kLanes], boost[kLanes];
    alignas(32) bool none[kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) {
      // One searched bit cleared per matched pair; integer halving, as count_words does.
      const auto m = static_cast<std::uint64_t>(std::popcount(static_cast<T>(~unmatched[k])));
      none[k] = m == 0;
      a[k] = jw::kWordQuotients(m, g.m[k]);
      b[k] = jw::kWordQuotients(m, g.n[k]);
      c[k] = jw::kWordQuotients(m - mismatches[k] / 2, m);  // 0 / 0 reads 0: the lane's score is 0
      boost[k] = p * static_cast<double>(prefix[k]);
    }
    for (std::size_t k = 0; k < kLanes; ++k) {
      const double jaro = jw::jaro_of_quotients(a[k], b[k], c[k]);
      out[k] = none[k] ? 0.0 : jaro > jw::kBoostThreshold ? jw::boosted(jaro, boost[k]) : jaro;
    }
  }

 private:
  // What MatchLanes::step returned at each step, per lane width.
  struct Missed {
    alignas(32) std::uint16_t narrow[NarrowPairs::kTextPoints * simd::Lanes<std::uint16_t>::kCount];
    alignas(32) std::uint32_t wide[NarrowPairs::kTextPoints * simd::Lanes<std::uint32_t>::kCount];
    template <class T>
    T* get() {
      if constexpr (sizeof(T) == 2) return narrow;
      else return wide;
    }
  };
  Missed missed_;
};

}  // namespace quillmatch
