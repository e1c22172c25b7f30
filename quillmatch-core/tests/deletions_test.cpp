// The filtered joins of short texts against a brute force over the reference
// edit distance: fixed cutoffs 0 to 4, where the deletion filter holds the
// short lengths and the partition filter the rest, Levenshtein and OSA, ASCII
// and beyond, folded or not, lists whose lengths straddle the longest length
// the deletion filter holds. Self pairs, pairs of queries against candidates
// and top lists must be exactly the brute force's.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "join/deletions.h"
#include "oracle.h"
#include "quillmatch/quillmatch.h"

namespace quillmatch {
namespace {

using testing::edit_distance_dp;
using testing::to_u32;
using testing::to_utf8;

struct Case {
  Measure measure;
  std::uint64_t d;
  std::u32string alphabet;
  std::size_t longest;
  bool case_insensitive;
};

// Random texts and near copies of earlier ones (1 to 3 edits, swaps among
// them), so that many pairs lie within small cutoffs.
std::vector<std::string> short_texts(std::mt19937& rng, const Case& c, std::size_t n) {
  std::vector<std::u32string> out;
  std::uniform_int_distribution<std::size_t> pick(0, c.alphabet.size() - 1);
  for (std::size_t k = 0; k < n; ++k) {
    if (k < 4 || rng() % 3 == 0) {
      out.push_back(to_u32(testing::random_text(rng, c.alphabet, 0, c.longest)));
      continue;
    }
    std::u32string t = out[rng() % k];
    for (std::size_t edits = 1 + rng() % 3; edits > 0; --edits) {
      const std::size_t at = t.empty() ? 0 : rng() % t.size();
      switch (rng() % 4) {
        case 0: if (!t.empty()) t[at] = c.alphabet[pick(rng)]; break;
        case 1: t.insert(t.begin() + static_cast<std::ptrdiff_t>(at), c.alphabet[pick(rng)]); break;
        case 2: if (!t.empty()) t.erase(at, 1); break;
        default: if (at + 1 < t.size()) std::swap(t[at], t[at + 1]); break;
      }
    }
    out.push_back(t);
  }
  std::vector<std::string> utf8;
  for (const auto& t : out) utf8.push_back(to_utf8(t));
  return utf8;
}

using Pairs = std::vector<std::tuple<std::int64_t, std::int64_t, std::uint64_t>>;

Pairs filtered_pairs(const ManyOptions& o, std::span<const TextView> q,
                     std::optional<std::span<const TextView>> c) {
  PairsFound found;
  Result<std::unique_ptr<ManyRun>> run = start_pairs(o, q, c, ScoreType::U64, found);
  EXPECT_TRUE(run.ok());
  run.value()->finish();
  std::vector<std::int64_t> i(found.size()), j(found.size());
  std::vector<std::uint64_t> s(found.size());
  found.drain_to(i.data(), j.data(), s.data());
  Pairs out;
  for (std::size_t k = 0; k < i.size(); ++k) out.emplace_back(i[k], j[k], s[k]);
  return out;
}

// A text of up to 16 bytes has its variants made in a word: the same hashes,
// deletion counts and order as made in a string, for texts of 0 to 20 bytes
// (either side of the word's 16) of one- to four-byte code points, d 0 to 4.
TEST(Deletions, VariantsMadeInAWordAreThoseMadeInAString) {
  std::mt19937 rng(5);
  const std::u32string alphabet = U"ab\u00E9\u20AC\U0001F600";
  using Variants = std::vector<std::pair<std::uint64_t, std::uint32_t>>;
  std::vector<std::uint32_t> starts;
  std::string buffer;
  for (int round = 0; round < 3000; ++round) {
    const std::string text = testing::random_text(rng, alphabet, 0, 12);
    if (text.size() > 20) continue;
    join::code_point_starts(text, starts);
    const auto d = static_cast<std::uint32_t>(rng() % 5);
    Variants word, string;
    join::each_variant(text, starts, std::min<std::uint32_t>(d, starts.size() - 1), buffer,
                       [&](std::uint64_t h, std::uint32_t k) { word.emplace_back(h, k); });
    join::each_variant_in_string(text, starts, std::min<std::uint32_t>(d, starts.size() - 1), buffer,
                                 [&](std::uint64_t h, std::uint32_t k) { string.emplace_back(h, k); });
    ASSERT_EQ(word, string) << text << " d " << d;
  }
}

TEST(Deletions, FilteredJoinsOfShortTextsEqualTheBruteForce) {
  const std::u32string ascii = testing::kAsciiAlphabet, mixed = testing::kMixedAlphabet;
  const std::u32string letters = U"abcdefghijklmnopqrstuvwxyz";
  std::vector<Case> cases;
  for (const Measure m : {Measure::kLevenshtein, Measure::kDamerau})
    for (std::uint64_t d = 0; d <= 4; ++d) {
      cases.push_back({m, d, ascii, 6, false});
      cases.push_back({m, d, ascii, 16, true});   // both filters in one list
      cases.push_back({m, d, mixed, 12, true});
      cases.push_back({m, d, letters, 14, false});
    }
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    const bool osa = c.measure == Measure::kDamerau;
    SCOPED_TRACE(std::string(osa ? "damerau" : "levenshtein") + " d = " + std::to_string(c.d) +
                 ", longest " + std::to_string(c.longest) + (c.case_insensitive ? ", folded" : ""));
    const std::vector<std::string> texts = short_texts(rng, c, 160);
    const std::vector<TextView> all(texts.begin(), texts.end());
    std::vector<std::u32string> compared;
    for (const std::string& t : texts)
      compared.push_back(c.case_insensitive ? testing::lowercase_walk(to_u32(t)) : to_u32(t));
    const auto distance = [&](std::size_t a, std::size_t b) { return edit_distance_dp(compared[a], compared[b], osa); };

    ManyOptions o;
    o.measure = c.measure;
    o.case_insensitive = c.case_insensitive;
    o.max_distance = c.d;
    o.plan = JoinPlan::kFiltered;
    o.workers = 2;

    Pairs self;
    for (std::size_t a = 0; a < all.size(); ++a)
      for (std::size_t b = a + 1; b < all.size(); ++b)
        if (const std::uint64_t e = distance(a, b); e <= c.d)
          self.emplace_back(static_cast<std::int64_t>(a), static_cast<std::int64_t>(b), e);
    EXPECT_EQ(filtered_pairs(o, all, std::nullopt), self);

    // The first 40 texts as queries against the rest.
    const std::size_t split = 40;
    const std::span<const TextView> queries(all.data(), split), candidates(all.data() + split, all.size() - split);
    Pairs crossed;
    for (std::size_t a = 0; a < split; ++a)
      for (std::size_t b = split; b < all.size(); ++b)
        if (const std::uint64_t e = distance(a, b); e <= c.d)
          crossed.emplace_back(static_cast<std::int64_t>(a), static_cast<std::int64_t>(b - split), e);
    EXPECT_EQ(filtered_pairs(o, queries, candidates), crossed);

    // Top lists, by distance then index: of queries with no equal candidate
    // (mostly) and of queries that are candidates, where a top 1 looks for
    // equal texts first.
    const auto check_top = [&](std::size_t from, std::size_t k) {
      SCOPED_TRACE("top " + std::to_string(k) + " of texts " + std::to_string(from) + " on");
      const std::span<const TextView> asked(all.data() + from, split);
      std::vector<std::int64_t> indices(split * k, -1), counts(split, -1);
      std::vector<std::uint64_t> scores(split * k);
      Result<std::unique_ptr<ManyRun>> run =
          start_top(o, asked, candidates, TopOutput{k, ScoreType::U64, indices.data(), scores.data(), counts.data()});
      ASSERT_TRUE(run.ok());
      run.value()->finish();
      for (std::size_t a = 0; a < split; ++a) {
        std::vector<std::pair<std::uint64_t, std::int64_t>> best;
        for (std::size_t b = split; b < all.size(); ++b)
          if (const std::uint64_t e = distance(from + a, b); e <= c.d)
            best.emplace_back(e, static_cast<std::int64_t>(b - split));
        std::sort(best.begin(), best.end());
        best.resize(std::min(best.size(), k));
        ASSERT_EQ(counts[a], static_cast<std::int64_t>(best.size())) << "query " << a;
        for (std::size_t r = 0; r < best.size(); ++r) {
          EXPECT_EQ(indices[a * k + r], best[r].second) << "query " << a << ", rank " << r;
          EXPECT_EQ(scores[a * k + r], best[r].first) << "query " << a << ", rank " << r;
        }
      }
    };
    for (const std::size_t k : {1, 3})
      for (const std::size_t from : {std::size_t{0}, split}) check_top(from, k);
  }
}

}  // namespace
}  // namespace quillmatch
