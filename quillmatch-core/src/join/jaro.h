// The filter of Jaro-Winkler joins: which indexed texts may reach a
// similarity cutoff t with a query, under prefix scale p.
//
// The bound. With m matching characters, t' half-transpositions and lengths
// a, b (code points of the working forms), Jaro is
//   J = (m/a + m/b + (m - t')/m) / 3 <= (m/a + m/b + 1) / 3,
// and the similarity is J, plus l p (1 - J) with a common prefix l <= 4 when
// J > 0.7. So JW <= J + 4p(1 - J), and JW >= t needs
//   J >= t                                  when J <= 0.7 (no prefix bonus),
//   J >= (t - 4p) / (1 - 4p)  (p < 1/4)     when J > 0.7,
// that is J >= J_min = t if t <= 0.7, else max(0.7, (t - 4p) / (1 - 4p))
// (0.7 when p = 1/4, where the bonus can lift any J > 0.7 to 1). Then
//   m >= (3 J_min - 1) a b / (a + b),
// and since m <= min(a, b), the shorter text has at least 3 J_min - 2 times
// the longer's length. Matching characters pair off equal code points one to
// one, so m is at most the multiset overlap of the two texts. When t > 0 a
// kept pair has J > 0, so m >= 1 (two empty texts, whose similarity is 1, are
// paired apart).
//
// The common prefix l is what the bound spends most on: a pair whose first
// code points differ has l = 0 and needs J >= J_min(0) = t; one whose first
// four differ has l <= 3 and needs J >= J_min(3), with 3p in place of 4p
// above; only pairs that share their first four code points may go down to
// J_min(4). The filter below runs with J_min(0) over every pair, with
// J_min(3) over the pairs that share a first code point, and with J_min(4)
// over the pairs of each shared four-code-point prefix.
//
// The filter. A pair that can pair off m characters has an exact L1
// distance of character counts of at most a + b - 2m (join/texts.h), so a
// kept pair has one of at most delta(a, b) = a + b - 2 m_min(a, b), and so
// has every coarser view of its counts: the bucketed counts, and the sums
// (s1, s2, s3, s4) of the buckets of four groups. The index orders the texts
// by (length, s1, s2, s3), so a query reads, for each partner length b and
// each s1 and s2 within delta of its own, the one run of texts whose s3 keeps
// |ds1| + |ds2| + |ds3| + |ds4| <= delta (s4 is the length less the others),
// and checks the bucketed counts of each.
//
// Every bound is taken with a margin of 1e-9 in J towards keeping more pairs,
// so that rounding never rules a pair out; the scorer decides.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "join/texts.h"

namespace quillmatch::join {

// The least Jaro a pair needs, and what it implies for lengths and counts.
class JaroBounds {
 public:
  // For pairs whose common prefix (at most 4) is at most `prefix`.
  // REQUIRES: 0 < cutoff, 0 <= p <= 0.25.
  JaroBounds(double cutoff, double p, std::uint32_t prefix);
  // J_min, less the margin.
  double least_jaro() const { return (coefficient_ + 1.0) / 3.0; }
  // The partner lengths a non-empty text of length n may have, both included.
  std::uint32_t shortest_partner(std::uint32_t n) const;
  std::uint32_t longest_partner(std::uint32_t n) const;
  // delta(a, b), or -1 when no pair of these lengths can be kept.
  std::int64_t most_count_distance(std::uint32_t a, std::uint32_t b) const;

 private:
  double coefficient_;  // 3 J_min - 1
  double ratio_;        // 3 J_min - 2: the shorter over the longer, at least
};

// The bucket groups of the sums, and the sums of a text.
struct GroupSums {
  std::uint32_t s1 = 0, s2 = 0, s3 = 0;
};

// The least and greatest d with |d| + |c - d| <= rest: the sum is |c| for d
// between 0 and c and grows by 2 a step outside. Empty (first > last) when
// |c| > rest.
struct Span {
  std::int64_t first, last;
};
inline Span both_within(std::int64_t c, std::int64_t rest) {
  const std::int64_t slack = rest - (c < 0 ? -c : c);
  if (slack < 0) return {1, 0};
  return {std::min<std::int64_t>(0, c) - slack / 2, std::max<std::int64_t>(0, c) + slack / 2};
}

// The number of leading code points the prefix index keys texts by.
inline constexpr std::uint32_t kPrefixPoints = 4;

// The texts of at least kPrefixPoints code points, by those first ones.
class PrefixIndex {
 public:
  PrefixIndex(const WorkingTexts& texts, const JaroBounds& bounds, Meter& meter);

  // Calls keep(id, length) for every text that shares the query's first
  // kPrefixPoints code points, whose length lies in [lo, hi] and whose counts
  // are within delta of the query's, once each.
  template <class Keep>
  void candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi, Keep&& keep) const;

 private:
  static std::uint64_t key(const WorkingQuery& r);
  static std::uint64_t key(std::string_view text);

  JaroBounds bounds_;
  // In (key, length, id) order.
  std::vector<std::uint64_t> keys_;
  std::vector<std::uint32_t> ids_, lengths_;
  std::vector<CharCounts> counts_;
};

class CompositionIndex {
 public:
  // Indexes the non-empty texts; by_initial: a query meets only the texts
  // that begin with its own first code point.
  CompositionIndex(const WorkingTexts& texts, const JaroBounds& bounds, bool by_initial, Meter& meter);

  // Calls keep(id, length) for every non-empty text whose length lies in
  // [lo, hi] and whose counts are within delta of the query's, once each.
  template <class Keep>
  void candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi, Keep&& keep) const;


 private:
  GroupSums sums(std::string_view text) const;
  std::uint64_t cell_key(std::string_view text, std::uint64_t length) const;

  JaroBounds bounds_;
  bool by_initial_;
  std::array<std::uint8_t, kCountBuckets> group_{};  // 0 to 3 for each bucket
  // In (initial, length, s1, s2, s3, id) order; sums_ holds s2 << 32 | s3.
  std::vector<std::uint32_t> ids_;
  std::vector<std::uint64_t> sums_;
  std::vector<CharCounts> counts_;
  // For the texts of one length (and initial), cell[s1] .. cell[s1 + 1]: those
  // with that s1.
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> cells_;
  std::uint32_t longest_ = 0;
};

template <class Keep>
void CompositionIndex::candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi,
                                  Keep&& keep) const {
  const std::int64_t a = r.length;
  const GroupSums x = sums(r.text());
  for (std::uint64_t b = std::max<std::uint32_t>(lo, 1); b <= hi && b <= longest_; ++b) {
    const auto found = cells_.find(cell_key(r.text(), b));
    if (found == cells_.end()) continue;
    const std::vector<std::uint32_t>& cell = found->second;
    const std::int64_t delta = bounds_.most_count_distance(r.length, static_cast<std::uint32_t>(b));
    if (delta < 0) continue;
    const std::int64_t da = a - static_cast<std::int64_t>(b);
    const std::int64_t s1_first = std::max<std::int64_t>(0, x.s1 - delta);
    const std::int64_t s1_last = std::min<std::int64_t>(static_cast<std::int64_t>(b), x.s1 + delta);
    for (std::int64_t s1 = s1_first; s1 <= s1_last; ++s1) {
      const std::int64_t d1 = x.s1 - s1;
      const std::uint32_t* run = &cell[static_cast<std::size_t>(s1)];
      if (run[0] == run[1]) continue;
      const std::int64_t rest1 = delta - (d1 < 0 ? -d1 : d1);
      // d2 and d3 bounded together by what is left once d1 is spent, the
      // fourth group's difference being da - d1 - d2 - d3.
      for (std::int64_t d2 = -rest1; d2 <= rest1; ++d2) {
        const std::int64_t s2 = x.s2 - d2;
        if (s2 < 0) break;
        const Span d3 = both_within(da - d1 - d2, rest1 - (d2 < 0 ? -d2 : d2));
        if (d3.first > d3.last) continue;
        const std::int64_t s3_low = std::max<std::int64_t>(0, x.s3 - d3.last), s3_high = x.s3 - d3.first;
        if (s3_high < 0) continue;
        const auto begin = sums_.begin() + run[0], end = sums_.begin() + run[1];
        const std::uint64_t low = (static_cast<std::uint64_t>(s2) << 32) | static_cast<std::uint64_t>(s3_low);
        const std::uint64_t high = (static_cast<std::uint64_t>(s2) << 32) | static_cast<std::uint64_t>(s3_high);
        for (auto e = std::lower_bound(begin, end, low); e != end && *e <= high; ++e) {
          const std::size_t at = static_cast<std::size_t>(e - sums_.begin());
          if (count_distance(r.counts, counts_[at]) <= delta) keep(ids_[at], static_cast<std::uint32_t>(b));
        }
      }
    }
  }
}

template <class Keep>
void PrefixIndex::candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi, Keep&& keep) const {
  if (r.length < kPrefixPoints) return;
  const std::uint64_t k = key(r);
  auto e = static_cast<std::size_t>(std::lower_bound(keys_.begin(), keys_.end(), k) - keys_.begin());
  for (; e < keys_.size() && keys_[e] == k; ++e) {
    const std::uint32_t b = lengths_[e];
    if (b < lo || b > hi) continue;
    const std::int64_t delta = bounds_.most_count_distance(r.length, b);
    if (delta >= 0 && count_distance(r.counts, counts_[e]) <= delta) keep(ids_[e], b);
  }
}

}  // namespace quillmatch::join
