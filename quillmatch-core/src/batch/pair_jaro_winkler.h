// Jaro-Winkler of row pairs: the kernel's word strategy on every pair of
// short texts, read as one byte per code point (batch/narrow_pairs.h), with
// no preparation and nothing allocated per pair.
//
// The kernel takes the word strategy for two ASCII texts of at most 64 bytes
// and the block strategy for any other pair; both give the same counts (the
// greedy matches are the same whichever text is searched, see
// kernels/jaro_winkler.h), and whenever the longer text has at most 64 code
// points the score is jw::score_words of the code-point lengths (whose sum
// of the two quotients m / len is the same either way round). A pair whose
// code points all lie below U+0100 is, one byte per code point, the same
// sequences as far as matching goes: its bytes are equal exactly where its
// code points are. So the word strategy over the narrowed bytes gives the
// kernel's counts, and score_words of the same lengths the kernel's double.
// Folded texts are narrowed folded, so the bytes compare as the folded texts'
// code points do. Every other pair goes to the kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "batch/narrow_pairs.h"
#include "kernels/jaro_winkler.h"
#include "kernels/pattern_masks.h"
#include "simd/byte_pattern.h"

namespace quillmatch {

class PairJaroWinkler {
 public:
  using Value = double;
  static constexpr std::size_t kMaxRows = NarrowPairs::kMaxRows;

  // REQUIRES: p is a checked prefix scale.
  PairJaroWinkler(bool fold, double p) : texts_(fold, /*fold_in_place=*/false), p_(p) {}

  // out[k] = jaro_winkler(queries[k], candidates[k]) with no max_len and no
  // cutoff, for every k; a single candidate is every row's.
  // REQUIRES: queries.size() <= kMaxRows; candidates.size() is 1 or queries.size().
  void score(std::span<const TextView> queries, std::span<const TextView> candidates, double* out) {
    for (std::size_t k = 0; k < queries.size(); ++k) {
      const TextView q = queries[k], c = candidates.size() == 1 ? candidates[0] : candidates[k];
      const unsigned char *a, *b;
      std::size_t n1, n2;
      if (texts_.code_points(q, k, 0, a, n1) && texts_.code_points(c, k, 1, b, n2))
        out[k] = words(a, n1, b, n2);
      else
        out[k] = jaro_winkler(q, c, p_, std::nullopt, texts_.fold(), std::nullopt).value();
    }
  }

 private:
  // The kernel's word strategy, the shorter text searched. Its positions
  // come from the text held whole when it has at most 32 code points (the
  // bits past its end masked off: match_words_by reads none there), else
  // from a table.
  double words(const unsigned char* s1, std::size_t n1, const unsigned char* s2, std::size_t n2) const {
    if (n1 == 0 || n2 == 0) return n1 == n2 ? 1.0 : 0.0;
    const bool swap = n2 > n1;
    const unsigned char* scanned = swap ? s2 : s1;
    const unsigned char* searched = swap ? s1 : s2;
    const std::size_t ns = swap ? n2 : n1, nr = swap ? n1 : n2;
    const std::uint64_t r = jw::match_radius(n1, n2);
    jw::MatchedWords matched;
    if (nr <= simd::kPatternBytes) {
      const simd::BytePattern pattern(searched, nr, false);
      const std::uint64_t inside = (std::uint64_t{1} << nr) - 1;
      matched = jw::match_words_by([&](unsigned char b) { return pattern.matches(b) & inside; }, scanned, ns,
                                   r, jw::Verbatim{});
    } else {
      const auto view = [](const unsigned char* s, std::size_t n) {
        return std::string_view(reinterpret_cast<const char*>(s), n);
      };
      const AsciiPairMasks positions(view(searched, nr), view(scanned, ns));
      matched = jw::match_words(positions.table(), scanned, ns, r, jw::Verbatim{});
    }
    const jw::Counts c = jw::count_words(scanned, ns, searched, nr, matched, jw::Verbatim{});
    return c.m == 0 ? 0.0 : jw::score_words(c.m, c.t, n1, n2, c.l, p_);
  }
  NarrowPairs texts_;
  const double p_;
};

}  // namespace quillmatch
