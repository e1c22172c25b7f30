// The distance thresholds of the partition filter (join/segments.h): the
// largest distance at which a pair of texts is kept, by the pair's lengths.
//
// A fixed cutoff d keeps a pair at distance <= d whatever its lengths. A
// normalized cutoff c (a similarity in [0, 1]) keeps a pair of lengths m <= n
// at distance d when normalized_similarity(d, m, n) >= c, which depends on n
// alone: the pair is kept iff d <= D(n), the largest d in [0, n] whose score
// reaches c. D(n) is found by evaluating that very expression, from
// floor((1 - c) * n) stepped up while the next distance still reaches c and
// down while this one does not, never by algebra on c, which could round the
// other way. d = 0 scores 1.0, so D(n) >= 0; D(0) = 0 (two empty texts).
//
// Two facts about D, from the exact quotients and from rounding being
// monotone (a <= b gives fl(a) <= fl(b), hence 1 - fl(a) >= 1 - fl(b)):
//   (1) D(n) <= D(n + 1): d / (n + 1) <= d / n, so a d kept at n is kept at
//       n + 1.
//   (2) D(n + 1) <= D(n) + 1: for 1 <= d <= n + 1, (d - 1) / n <= d / (n + 1)
//       (which is d <= n + 1), so a d kept at n + 1 gives d - 1 kept at n.
//
// Partners. Every edit changes a length by at most one, so texts of lengths
// l and n pair only if |n - l| <= D(max(l, n)). A partner n <= l of a text of
// length l needs n >= l - D(l). A partner n > l needs n - l <= D(n); by (2),
// n - l - D(n) never decreases as n grows, so these partners are the lengths
// l + 1 .. n*(l), n*(l) the last n with n - l <= D(n), which bisection finds.
// Every pair a text of length l is in therefore has a threshold of at most
// W(l) = D(n*(l)), by (1) (and D(l) <= D(n*(l)) as n*(l) >= l). The filter
// cuts a text of length l for W(l) and looks a pair up with the pair's own
// threshold D(max(l, n)) <= W(l): segments.h's argument holds for any
// threshold below the number of segments.
//
// A self join may find each pair from its shorter text instead, looking up
// only texts at least as long as the query: the threshold of such a pair is
// D(l) for the indexed text's own length l, and an index that serves only
// such lookups cuts a text of length l for D(l) (Reach::kLongerPartners).
//
// With a fixed cutoff, D(n) = W(l) = d at every length, and the partners of l
// are the lengths within d of it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace quillmatch::join {

// The partners an index is searched for: every length, or (a self join from
// the shorter text) only lengths at least the indexed text's.
enum class Reach { kAllPartners, kLongerPartners };

class Thresholds {
 public:
  // A fixed cutoff.
  explicit Thresholds(std::uint64_t max_distance) : d_(max_distance) {}
  // A normalized cutoff, a similarity in [0, 1]. Any other is taken as the
  // nearest end, or 0 for NaN, which keeps every pair it kept and more: the
  // filters stay exact (no score is below 0 or above 1), and (1 - c) * n
  // stays within [0, n] for the conversion to an integer.
  static Thresholds normalized(double min_similarity) {
    Thresholds t(0);
    t.c_ = min_similarity >= 0.0 ? std::min(min_similarity, 1.0) : 0.0;
    return t;
  }

  // D(n): the largest distance at which a pair whose longer text has n code
  // points is kept.
  std::uint64_t pair(std::uint64_t n) const { return c_ ? normalized_pair(n) : d_; }
  // W(l): the largest D of any pair that a text of length l can be kept in.
  std::uint64_t widest(std::uint64_t l) const { return c_ ? normalized_pair(last_partner(l)) : d_; }
  // The lengths of the texts that a text of length l may pair with, within
  // [0, 2^32 - 1]. A fixed cutoff may be as large as 2^64 - 1: l + d
  // saturates rather than wrap.
  std::uint32_t shortest_partner(std::uint32_t l) const {
    const std::uint64_t d = pair(l);
    return l > d ? static_cast<std::uint32_t>(l - d) : 0;
  }
  std::uint32_t longest_partner(std::uint32_t l) const {
    if (c_) return static_cast<std::uint32_t>(last_partner(l));
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{l} + std::min(d_, kLongest), kLongest));
  }
  // The largest threshold of a pair that a text of length l is looked up
  // in: W(l), or D(l) when only longer partners look it up.
  std::uint64_t cut_for(std::uint64_t l, Reach reach) const {
    return reach == Reach::kLongerPartners ? pair(l) : widest(l);
  }
  // Whether a text of length l is cut into cut_for(l) + 1 non-empty segments
  // with `gap` code points between them.
  bool cut(std::uint64_t l, std::uint32_t gap, Reach reach = Reach::kAllPartners) const {
    return l >= std::min(cut_for(l, reach), kBeyondLengths) * (1 + gap) + 1;
  }

 private:
  static constexpr std::uint64_t kLongest = UINT32_MAX;  // lengths are 32-bit
  // Any threshold from this one up exceeds every length.
  static constexpr std::uint64_t kBeyondLengths = std::uint64_t{1} << 33;

  std::uint64_t normalized_pair(std::uint64_t n) const;
  // n*(l), at most kLongest.
  std::uint64_t last_partner(std::uint64_t l) const;

  std::uint64_t d_;
  std::optional<double> c_;  // normalized
};

}  // namespace quillmatch::join
