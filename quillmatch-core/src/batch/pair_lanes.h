// Pairs of short texts scored many at a time, a different pair in each lane:
// the engine of two columns compared row by row, where the pattern changes
// with every row.
//
// A pair takes a lane when both texts, folded when asked, have only code
// points below U+0100 (so one byte stands for one code point), the shorter
// has 1 to 32 of them and the longer at most 64. The shorter is the lane's
// pattern: an edit distance is the same whichever text is the pattern, so the
// lane gives the kernel's distance of (query, candidate) even when the
// candidate is the shorter. A character's mask is the pattern, held in one
// register, compared with the character (simd::BytePattern): bit i is set
// exactly when pattern position i holds it, which is the pattern mask the
// kernel's word step reads. Bytes of the register past the pattern may match
// too; they set bits at positions m and up, which no step carries down (see
// bit_parallel.h), and the score reads bit m - 1 alone.
//
// Each lane keeps its own length and top bit (LevenshteinLanes and OsaLanes
// take them per lane) and retires after its text's last step, so a lane
// holds exactly the kernel's word scan of its pair. Pairs are grouped by the
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
  using T = std::uint32_t;
  using V = simd::Lanes<T>;
  static constexpr std::size_t kLanes = V::kCount;
  static constexpr std::size_t kPatternPoints = 32;  // the bits of a lane
  static constexpr std::size_t kTextPoints = NarrowPairs::kTextPoints;
  using Value = std::uint64_t;
  static constexpr std::size_t kMaxRows = NarrowPairs::kMaxRows;

  explicit PairLaneEngine(bool fold) : texts_(fold, /*fold_in_place=*/true) {}

  // out[k] = kernel(queries[k], candidates[k]) with no max_len and no cutoff,
  // for every k; a single candidate is every row's.
  // REQUIRES: queries.size() <= kMaxRows; candidates.size() is 1 or queries.size().
  void score(std::span<const TextView> queries, std::span<const TextView> candidates, std::uint64_t* out) {
    std::size_t starts[kTextPoints + 2] = {};
    std::size_t lanes = 0;
    for (std::size_t k = 0; k < queries.size(); ++k) {
      const TextView q = queries[k], c = candidates.size() == 1 ? candidates[0] : candidates[k];
      Pair& p = pairs_[lanes];
      if (!take(q, c, k, p)) {
        out[k] = kernel(q, c, std::nullopt, texts_.fold(), std::nullopt).value();
      } else if (p.m == 0) {
        out[k] = p.n;  // the distance to an empty text is the other's length
      } else {
        ++starts[p.n + 1];
        ++lanes;
      }
    }
    // Grouped by the longer length: a counting sort into order_.
    for (std::size_t n = 1; n <= kTextPoints + 1; ++n) starts[n] += starts[n - 1];
    for (std::size_t i = 0; i < lanes; ++i) order_[starts[pairs_[i].n]++] = static_cast<std::uint16_t>(i);
    for (std::size_t i = 0; i < lanes; i += kLanes) score_group(i, std::min(kLanes, lanes - i), out);
  }

 private:
  struct Pair {
    const unsigned char* pattern;  // the shorter text, m code points
    const unsigned char* text;     // the longer, n code points
    T m, n;
    std::uint16_t row;
  };

  // Whether the pair of row k takes a lane; if so fills p (m may be 0).
  bool take(TextView q, TextView c, std::size_t k, Pair& p) {
    const unsigned char *bq, *bc;
    std::size_t lq, lc;
    if (!texts_.code_points(q, k, 0, bq, lq) || !texts_.code_points(c, k, 1, bc, lc)) return false;
    if (lq > lc) std::swap(bq, bc), std::swap(lq, lc);
    if (lq > kPatternPoints) return false;
    p = Pair{bq, bc, static_cast<T>(lq), static_cast<T>(lc), static_cast<std::uint16_t>(k)};
    return true;
  }

  // The n pairs from place i of the order, one per lane; unused lanes have
  // a text of length 0 and retire before the first step.
  void score_group(std::size_t i, std::size_t n, std::uint64_t* out) {
    alignas(32) T m[kLanes], top[kLanes], length[kLanes];
    std::size_t steps = 0;
    for (std::size_t k = 0; k < kLanes; ++k) {
      if (k >= n) {
        m[k] = top[k] = 1;
        length[k] = 0;
        continue;
      }
      const Pair& p = pairs_[order_[i + k]];
      m[k] = p.m;
      top[k] = T{1} << (p.m - 1);
      length[k] = p.n;
      steps = std::max<std::size_t>(steps, p.n);
      fill_lane(p, masks_ + k);
    }
    LaneStep<T> scan(V::load(m), V::load(top));
    const V lengths = V::load(length);
    for (std::size_t j = 0; j < steps; ++j) {
      scan.retire(lengths == V::splat(static_cast<T>(j)));
      scan.step(V::load(masks_ + j * kLanes));
    }
    alignas(32) T scores[kLanes];
    scan.score.store(scores);
    for (std::size_t k = 0; k < n; ++k) out[pairs_[order_[i + k]].row] = scores[k];
  }

  // The masks of the pair's text, one per step, into its lane's column.
  void fill_lane(const Pair& p, T* column) const {
    // A pattern read whole from its text may run past the text's end: those
    // bytes only set bits above the pattern (see the top of this file).
    alignas(32) unsigned char held[kPatternPoints];
    copy_short_text(TextView(reinterpret_cast<const char*>(p.pattern), p.m), reinterpret_cast<char*>(held));
    // Locals: the stores into the column could otherwise alias p.n.
    const unsigned char* const text = p.text;
    const std::size_t n = p.n;
    if (texts_.fold()) {
      // Folded again, a narrowed text is unchanged: ascii_lower is the
      // identity from 0x80 up and on its own results.
      for (std::size_t b = 0; b < p.m; ++b) held[b] = ascii_lower(held[b]);
      const simd::BytePattern pattern(held);
      for (std::size_t j = 0; j < n; ++j) column[j * kLanes] = pattern.matches(ascii_lower(text[j]));
    } else {
      const simd::BytePattern pattern(held);
      for (std::size_t j = 0; j < n; ++j) column[j * kLanes] = pattern.matches(text[j]);
    }
  }

  NarrowPairs texts_;
  Pair pairs_[kMaxRows];
  std::uint16_t order_[kMaxRows];
  alignas(32) T masks_[kTextPoints * kLanes] = {};
};

}  // namespace quillmatch
