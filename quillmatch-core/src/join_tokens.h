// The overlap filter of Jaro-Winkler: which indexed texts may reach a
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
// The filter. Each text is a set of tokens, (code point, how many times it
// came before in the text), ranked by how rarely they occur among the indexed
// texts (tokens no indexed text has rank first, as 0). If x and y share at
// least o tokens, the rarest shared token c comes among the first |x| - o + 1
// of x: only tokens of x that y lacks can precede it, and there are at most
// |x| - o of those; likewise in y. So each indexed text is listed under the
// first |y| - o(|y|) + 1 of its tokens, where o(n) is the least overlap any
// admissible partner length needs, and a query looks up the first
// |x| - o(|x|) + 1 of its own.
//
// Every bound is taken with a margin of 1e-9 in J towards keeping more pairs,
// so that rounding never rules a pair out; the scorer decides.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "join_texts.h"

namespace quillmatch::join {

// The least Jaro a pair needs, and what it implies for lengths and overlaps.
class JaroBounds {
 public:
  // REQUIRES: 0 < cutoff, 0 <= p <= 0.25.
  JaroBounds(double cutoff, double p);
  // J_min, less the margin.
  double least_jaro() const { return (coefficient_ + 1.0) / 3.0; }
  // The partner lengths a text of length n may have, both included.
  std::uint32_t shortest_partner(std::uint32_t n) const;
  std::uint32_t longest_partner(std::uint32_t n) const;
  // The least overlap a pair of these lengths needs (at least 1).
  std::uint32_t overlap(std::uint32_t a, std::uint32_t b) const;
  // The least overlap over every admissible partner of a text of length n.
  std::uint32_t least_overlap(std::uint32_t n) const { return overlap(n, shortest_partner(n)); }

 private:
  double coefficient_;  // 3 J_min - 1
  double ratio_;        // 3 J_min - 2: the shorter over the longer, at least
};

class TokenIndex {
 public:
  TokenIndex(const WorkingTexts& texts, const JaroBounds& bounds);

  // Calls found(id) for every non-empty text that may reach the cutoff with
  // the query, and whose length lies in [lo, hi]; ids may repeat.
  template <class Found>
  void candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi, Found&& found) const;

  // The query's tokens' ranks, rarest first.
  void ranks(const WorkingQuery& r, std::vector<std::uint32_t>& out) const;
  std::size_t memory_bytes() const;

 private:
  std::uint32_t rank_of(char32_t c, std::uint32_t seen) const;
  template <class Each>
  static void for_each_token(std::string_view text, Each&& each);

  const JaroBounds bounds_;
  const WorkingTexts& texts_;
  std::unordered_map<std::uint64_t, std::uint32_t> rank_;  // token -> rank, from 1
  std::vector<std::uint32_t> starts_;  // rank r's list: ids_[starts_[r - 1] .. starts_[r])
  std::vector<std::uint32_t> ids_;
};

template <class Found>
void TokenIndex::candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi,
                            Found&& found) const {
  if (r.length == 0) return;
  std::vector<std::uint32_t> tokens;
  ranks(r, tokens);
  const std::uint32_t o = bounds_.least_overlap(r.length);
  if (o > r.length) return;
  const std::size_t prefix = r.length - o + 1;
  for (std::size_t t = 0; t < prefix; ++t) {
    const std::uint32_t rank = tokens[t];
    if (rank == 0) continue;  // no indexed text has it
    for (std::uint32_t e = starts_[rank - 1]; e < starts_[rank]; ++e) {
      const std::uint32_t id = ids_[e];
      const std::uint32_t l = texts_.length(id);
      if (l >= lo && l <= hi) found(id);
    }
  }
}

}  // namespace quillmatch::join
