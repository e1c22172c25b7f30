#include "join/thresholds.h"

#include <cmath>

#include "quillmatch/quillmatch.h"

namespace quillmatch::join {

std::uint64_t Thresholds::normalized_pair(std::uint64_t n) const {
  if (n == 0) return 0;
  const double c = *c_;
  // (1 - c) * n lies in [0, n]: a start within one or two steps of D(n).
  std::uint64_t d = std::min(n, static_cast<std::uint64_t>(std::floor((1.0 - c) * static_cast<double>(n))));
  // The score falls as d grows (rounding is monotone), so D(n) is where it
  // last reaches c.
  while (d < n && normalized_similarity(d + 1, n, n) >= c) ++d;
  while (d > 0 && normalized_similarity(d, n, n) < c) --d;
  return d;
}

std::uint64_t Thresholds::last_partner(std::uint64_t l) const {
  // n - l - D(n) never decreases (thresholds.h, fact 2): the n where it is
  // at most 0 are a range from l up, bisected for its end.
  auto partner = [&](std::uint64_t n) { return n - l <= normalized_pair(n); };
  std::uint64_t lo = l, hi = kLongest;
  if (lo >= hi || partner(hi)) return std::max(lo, hi);
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    (partner(mid) ? lo : hi) = mid;
  }
  return lo;
}

}  // namespace quillmatch::join
