// The distance thresholds of normalized cutoffs against brute force: D(n) is
// the largest d whose normalized_similarity reaches the cutoff, found by
// trying every d; the partner lengths and W(l) by trying every length. The
// cutoffs are the scores that occur (k / n, where rounding decides) and
// random doubles, so both the stepping from floor((1 - c) * n) and the
// bisection, which rests on D rising by at most one a step, are checked.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "join/thresholds.h"
#include "quillmatch/quillmatch.h"

namespace quillmatch::join {
namespace {

constexpr std::uint64_t kLongest = 160;

std::uint64_t brute_pair(double c, std::uint64_t n) {
  std::uint64_t best = 0;
  for (std::uint64_t d = 0; d <= n; ++d)
    if (normalized_similarity(d, n, n) >= c) best = d;
  return best;
}

TEST(Thresholds, NormalizedCutoffsAgreeWithBruteForce) {
  std::vector<double> cutoffs = {0.0, 1.0, 0.5, 0.85, 0.9, 1e-300, std::nextafter(1.0, 0.0)};
  for (std::uint64_t n = 1; n <= 40; ++n)
    for (std::uint64_t k = 0; k <= n; ++k) cutoffs.push_back(normalized_similarity(k, n, n));
  std::mt19937_64 rng(7);
  for (int r = 0; r < 200; ++r) cutoffs.push_back(std::uniform_real_distribution<double>(0.0, 1.0)(rng));

  for (const double c : cutoffs) {
    const Thresholds t = Thresholds::normalized(c);
    std::vector<std::uint64_t> d(2 * kLongest + 2);
    for (std::uint64_t n = 0; n < d.size(); ++n) {
      d[n] = n == 0 ? 0 : brute_pair(c, n);
      ASSERT_EQ(t.pair(n), d[n]) << "c = " << c << ", n = " << n;
    }
    // Below c = 1/2 a partner may be more than twice as long: only the
    // bounded range is brute-forced.
    if (c <= 0.5) continue;
    for (std::uint64_t l = 0; l <= kLongest; ++l) {
      std::uint64_t shortest = l, longest = l;
      while (shortest > 0 && l - (shortest - 1) <= d[l]) --shortest;
      while (longest + 1 < d.size() && longest + 1 - l <= d[longest + 1]) ++longest;
      ASSERT_LT(longest + 1, d.size()) << "c = " << c << ", l = " << l;
      EXPECT_EQ(t.shortest_partner(static_cast<std::uint32_t>(l)), shortest) << "c = " << c << ", l = " << l;
      EXPECT_EQ(t.longest_partner(static_cast<std::uint32_t>(l)), longest) << "c = " << c << ", l = " << l;
      std::uint64_t widest = 0;
      for (std::uint64_t n = shortest; n <= longest; ++n) widest = std::max(widest, d[std::max(l, n)]);
      EXPECT_EQ(t.widest(l), widest) << "c = " << c << ", l = " << l;
    }
  }
}

}  // namespace
}  // namespace quillmatch::join
