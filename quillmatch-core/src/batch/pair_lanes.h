// Pairs of short texts scored many at a time, a different pair in each lane:
// the engine of two columns compared row by row, where the pattern changes
// with every row.
//
// A pair takes a lane when both texts, folded when asked, have only code
// points below U+0100 (so one byte stands for one code point), the shorter
// has 1 to 32 of them and the longer at most 64. The shorter is the lane's
// pattern, in a 16-bit lane when it has at most 16 code points, else in a
// 32-bit one: an edit distance is the same whichever text is the pattern, so the
// lane gives the kernel's distance of (query, candidate) even when the
// candidate is the shorter. A character's mask is the pattern, held in one
// register, compared with the character (simd::BytePattern): bit i is set
// exactly when pattern position i holds it, which is the pattern mask the
// kernel's word step reads. Bits from m up are unspecified; no step carries
// them down (see bit_parallel.h), and the score reads bit m - 1 alone.
//
// Each lane keeps its own length and top bit (LevenshteinLanes and OsaLanes
// take them per lane) and retires after its text's last step, so a lane
// holds exactly the low bits of the kernel's word scan of its pair, and its
// score (at most 64) fits either width. Pairs are grouped by the
// longer text's length, so the lanes of a group end at nearly the same step.
// Every other pair goes to the kernel. Nothing is allocated per pair (see
// batch/narrow_pairs.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "batch/narrow_pairs.h"
#include "kernels/bit_parallel.h"
#include "simd/byte_pattern.h"
#include "simd/simd.h"
#include "text/text.h"

namespace quillmatch {

template <template <class> class LaneStep, auto kernel>
class PairLaneEngine {
 public:
  using Value = std::uint64_t;
  static constexpr std::size_t kPatternPoints = 32;  // the bits of the wider lane
  static constexpr std::size_t kTextPoints = NarrowPairs::kTextPoints;
  static constexpr std::size_t kMaxRows = NarrowPairs::kMaxRows;

  explicit PairLaneEngine(bool fold) : texts_(fold, /*fold_in_place=*/true) {}

  // out[k] = kernel(queries[k], candidates[k]) with no max_len and no cutoff,
  // for every k; a single candidate is every row's.
  // REQUIRES: queries.size() <= kMaxRows; candidates.size() is 1 or queries.size().
  void score(std::span<const TextView> queries, std::span<const TextView> candidates, std::uint64_t* out) {
    // Per lane width (patterns of up to 16 code points take 16-bit lanes,
    // twice as many to a register), the pairs counted by the longer length.
    std::size_t starts[2][kTextPoints + 2] = {};
    std::size_t lanes = 0;
    for (std::size_t k = 0; k < queries.size(); ++k) {
      const TextView q = queries[k], c = candidates.size() == 1 ? candidates[0] : candidates[k];
      Pair& p = pairs_[lanes];
      if (!take(q, c, k, p)) {
        out[k] = kernel(q, c, std::nullopt, texts_.fold(), std::nullopt).value();
      } else if (p.m == 0) {
        out[k] = p.n;  // the distance to an empty text is the other's length
      } else {
        ++starts[wide(p)][p.n + 1];
        ++lanes;
      }
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

  // Whether the pair of row k takes a lane; if so fills p (m may be 0).
  bool take(TextView q, TextView c, std::size_t k, Pair& p) {
    const unsigned char *bq, *bc;
    std::size_t lq, lc;
    if (!texts_.code_points(q, k, 0, bq, lq) || !texts_.code_points(c, k, 1, bc, lc)) return false;
    if (lq > lc) std::swap(bq, bc), std::swap(lq, lc);
    if (lq > kPatternPoints) return false;
    p = Pair{bq, bc, static_cast<std::uint32_t>(lq), static_cast<std::uint32_t>(lc), static_cast<std::uint16_t>(k)};
    return true;
  }

  // The pairs of order_[first, last), a group of lanes of T bits at a time.
  template <class T>
  void score_groups(std::size_t first, std::size_t last, std::uint64_t* out) {
    constexpr std::size_t kLanes = simd::Lanes<T>::kCount;
    for (std::size_t i = first; i < last; i += kLanes) score_group<T>(i, std::min(kLanes, last - i), out);
  }

  // The n pairs from place i of the order, one per lane; unused lanes have
  // a text of length 0 and retire before the first step.
  template <class T>
  void score_group(std::size_t i, std::size_t n, std::uint64_t* out) {
    using V = simd::Lanes<T>;
    constexpr std::size_t kLanes = V::kCount;
    T* const masks = Masks<T>::of(*this);
    alignas(32) T m[kLanes], top[kLanes], length[kLanes];
    std::size_t steps = 0;
    for (std::size_t k = 0; k < kLanes; ++k) {
      if (k >= n) {
        m[k] = top[k] = 1;
        length[k] = 0;
        continue;
      }
      const Pair& p = pairs_[order_[i + k]];
      m[k] = static_cast<T>(p.m);
      top[k] = static_cast<T>(T{1} << (p.m - 1));
      length[k] = static_cast<T>(p.n);
      steps = std::max<std::size_t>(steps, p.n);
      fill_lane<T>(p, masks + k);
    }
    LaneStep<T> scan(V::load(m), V::load(top));
    const V lengths = V::load(length);
    for (std::size_t j = 0; j < steps; ++j) {
      scan.retire(lengths == V::splat(static_cast<T>(j)));
      scan.step(V::load(masks + j * kLanes));
    }
    alignas(32) T scores[kLanes];
    scan.score.store(scores);
    for (std::size_t k = 0; k < n; ++k) out[pairs_[order_[i + k]].row] = scores[k];
  }

  // The masks of the pair's text, one per step, into its lane's column,
  // narrowed to T: the bits cut off lie above the pattern.
  template <class T>
  void fill_lane(const Pair& p, T* column) const {
    constexpr std::size_t kLanes = simd::Lanes<T>::kCount;
    // Folded again, a narrowed text is unchanged: ascii_lower is the
    // identity from 0x80 up and on its own results.
    const bool fold = texts_.fold();
    const simd::BytePattern pattern(p.pattern, p.m, fold);
    // Locals: the stores into the column could otherwise alias p.n.
    const unsigned char* const text = p.text;
    const std::size_t n = p.n;
    if (fold) {
      for (std::size_t j = 0; j < n; ++j) column[j * kLanes] = static_cast<T>(pattern.matches(ascii_lower(text[j])));
    } else {
      for (std::size_t j = 0; j < n; ++j) column[j * kLanes] = static_cast<T>(pattern.matches(text[j]));
    }
  }

  // A group's masks, row j at j * kLanes: one block per lane width.
  template <class T>
  struct Masks {
    static T* of(PairLaneEngine& e) {
      if constexpr (sizeof(T) == 2) return e.masks16_;
      else return e.masks32_;
    }
  };

  NarrowPairs texts_;
  Pair pairs_[kMaxRows];
  std::uint16_t order_[kMaxRows];
  alignas(32) std::uint16_t masks16_[kTextPoints * simd::Lanes<std::uint16_t>::kCount] = {};
  alignas(32) std::uint32_t masks32_[kTextPoints * simd::Lanes<std::uint32_t>::kCount] = {};
};

}  // namespace quillmatch
