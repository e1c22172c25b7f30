// The partition filter with a cutoff of 1, every length that may be entered
// by pairs of segments so entered, against the brute force: each text within
// distance t (0 or 1) of a query must be among the candidates the filter
// gives for the query's partner lengths. Levenshtein (no gap) and OSA (a gap
// of one), texts of 0 to 14 code points over small alphabets, ASCII and
// beyond, near copies (one edit, swaps among them) so that the edits fall
// in every segment, in the gaps and at the ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "join/segments.h"
#include "oracle.h"
#include "quillmatch/quillmatch.h"

namespace quillmatch::join {
namespace {

using testing::edit_distance_dp;

std::vector<std::string> near_texts(std::mt19937& rng, const std::u32string& alphabet, std::size_t n) {
  std::vector<std::u32string> out;
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (std::size_t k = 0; k < n; ++k) {
    if (k < 4 || rng() % 4 == 0) {
      out.push_back(testing::to_u32(testing::random_text(rng, alphabet, 0, 14)));
      continue;
    }
    std::u32string t = out[rng() % k];
    const std::size_t at = t.empty() ? 0 : rng() % (t.size() + 1);
    switch (rng() % 4) {
      case 0: if (at < t.size()) t[at] = alphabet[pick(rng)]; break;
      case 1: t.insert(t.begin() + static_cast<std::ptrdiff_t>(at), alphabet[pick(rng)]); break;
      case 2: if (at < t.size()) t.erase(at, 1); break;
      default: if (at + 1 < t.size()) std::swap(t[at], t[at + 1]); break;
    }
    out.push_back(t);
  }
  std::vector<std::string> utf8;
  for (const auto& t : out) utf8.push_back(testing::to_utf8(t));
  return utf8;
}

TEST(Segments, PairedSegmentsFindEveryTextWithinOne) {
  std::mt19937 rng(31);
  ThreadPool pool(1, 1, [](std::size_t, const ThreadPool&) {});
  Meter meter(pool);
  for (const std::u32string& alphabet : {testing::kAsciiAlphabet, testing::kMixedAlphabet, std::u32string(U"ab")}) {
    for (const std::uint32_t gap : {0u, 1u}) {
      // The last hundred, mostly near copies of the others, are the queries.
      std::vector<std::string> texts = near_texts(rng, alphabet, 400);
      const std::vector<std::string> queries(texts.begin() + 300, texts.end());
      texts.resize(300);
      std::vector<TextView> views;
      for (const std::string& t : texts) views.emplace_back(t.data(), t.size());
      const WorkingTexts working(views, false, meter);
      const Thresholds one(1);
      const SegmentIndex index(working, one, gap, Reach::kAllPartners, 0, 1, meter, 0.0);
      SegmentIndex::Scratch scratch;
      WorkingQuery r;
      for (const std::string& q : queries) {
        r.take(TextView(q.data(), q.size()), false);
        for (const std::uint64_t t : {0u, 1u}) {
          std::vector<std::uint32_t> found;
          index.candidates(r, one.shortest_partner(r.length), one.longest_partner(r.length), t, scratch,
                           [&](std::uint32_t id, std::uint32_t, const CharCounts&, std::uint64_t) { found.push_back(id); });
          std::sort(found.begin(), found.end());
          for (std::uint32_t id = 0; id < texts.size(); ++id) {
            if (edit_distance_dp(q, texts[id], gap == 1) > t) continue;

            EXPECT_TRUE(std::binary_search(found.begin(), found.end(), id))
                << "query '" << q << "', text '" << texts[id] << "', t " << t << ", gap " << gap;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillmatch::join
