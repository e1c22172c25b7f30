// Jaro-Winkler kernel and batch against a slow textbook oracle, plus the worked
// values and the empty-text, cutoff and error rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "oracle.h"
#include "quillmatch/quillmatch.h"
#include "text.h"

namespace quillmatch {
namespace {

using namespace std::literals;

double oracle(std::string_view s1, std::string_view s2, double p, bool fold) {
  const auto a = testing::to_u32(fold ? fold_case(s1) : std::string(s1));
  const auto b = testing::to_u32(fold ? fold_case(s2) : std::string(s2));
  return testing::jaro_winkler_steps(a, b, p);
}

double jw(std::string_view a, std::string_view b, std::optional<double> p = {}, bool fold = false,
          std::optional<double> cutoff = {}) {
  return jaro_winkler(a, b, p, {}, fold, cutoff).value();
}

TEST(Similarity, WorkedValuesBothWays) {
  struct Case { std::string_view a, b; std::optional<double> p; double want; };
  const Case cases[] = {
      {"MARTHA", "MARHTA", 0.0, 0.9444444444444445}, {"MARTHA", "MARHTA", {}, 0.9611111111111111},
      {"MARTHA", "MARHTA", 0.25, 0.9861111111111112}, {"DIXON", "DICKSONX", {}, 0.8133333333333332},
      {"DWAYNE", "DUANE", {}, 0.8400000000000001},   {"CRATE", "TRACE", {}, 0.7333333333333334},
      {"aabcaa", "bca", {}, 0.7222222222222222},     {"abcdef", "abcdeg", {}, 0.9333333333333333},
      {"abcdef", "abcdeg", 0.25, 1.0},               {"abc", "bac", {}, 0.5555555555555555},
      {"ab", "ba", {}, 0.0},   {"a", "a", {}, 1.0},  {"", "", {}, 1.0},  {"", "x", {}, 0.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(jw(c.a, c.b, c.p), c.want) << c.a << " / " << c.b;
    EXPECT_EQ(jw(c.b, c.a, c.p), c.want) << c.b << " / " << c.a;
  }
  EXPECT_EQ(jw("ABC", "abc", {}, true), 1.0);
}

TEST(Similarity, CutoffAndErrors) {
  const double v = jw("MARTHA", "MARHTA");
  EXPECT_EQ(jw("MARTHA", "MARHTA", {}, false, v), v);
  EXPECT_EQ(jw("MARTHA", "MARHTA", {}, false, std::nextafter(v, 2.0)), 0.0);
  EXPECT_EQ(jw("MARTHA", "MARHTA", {}, false, std::nan("")), v);
  EXPECT_EQ(jw("", "", {}, false, 2.0), 1.0);
  EXPECT_EQ(jaro_winkler("abcd"sv, "abcde"sv, 0.3, 1, false, {}).error().text(),
            "InvalidPrefixScale { value: 0.3 }");
  EXPECT_EQ(jaro_winkler("abcd"sv, "abcde"sv, {}, 3, false, {}).error().text(),
            R"(InputTooLong { which: "str_1", len: 4, limit: 3 })");
}

TEST(SimilarityBatch, EdgeRules) {
  const std::vector<TextView> none, mixed = {""sv, "x"sv, ""sv}, martha = {"marhta"sv, "MARHTA"sv};
  EXPECT_TRUE(jaro_winkler_batch("abc"sv, none, {}, false).value().empty());
  EXPECT_EQ(jaro_winkler_batch("abc"sv, none, 0.3, false).error().text(),
            "InvalidPrefixScale { value: 0.3 }");
  EXPECT_EQ(jaro_winkler_batch(""sv, mixed, {}, false).value(), (std::vector{1.0, 0.0, 1.0}));
  EXPECT_EQ(jaro_winkler_batch("MARTHA"sv, martha, {}, true).value(),
            (std::vector{0.9611111111111111, 0.9611111111111111}));
}

// Lengths cluster on the strategy edges (16/17, 64/65); a third of the texts
// hold non-ASCII code points (one outside the BMP, some with case mappings).
// Every other candidate is a near copy of the query, so that boosted scores
// with every prefix length are common.
TEST(Similarity, KernelAndBatchMatchOracleBitForBit) {
  constexpr char32_t kAlphabet[] = {'a', 'b', 'c', 'A', 'B', 0xE9, 0xC9, 0x3A3, 0x1F600};
  constexpr std::size_t kEdges[] = {0, 1, 15, 16, 17, 63, 64, 65};
  std::mt19937 rng(20240611);
  auto random_text = [&] {
    const std::size_t len = rng() % 2 ? rng() % 81 : kEdges[rng() % 8], letters = rng() % 3 ? 5 : 9;
    std::u32string s;
    for (std::size_t i = 0; i < len; ++i) s += kAlphabet[rng() % letters];
    return s;
  };
  auto utf8 = [](const std::u32string& s) {
    std::string out;
    for (char32_t cp : s) append_utf8(out, cp);
    return out;
  };
  for (int round = 0; round < 400; ++round) {
    const bool fold = rng() % 2;
    const double p = rng() % 8 ? std::uniform_real_distribution(0.0, 0.25)(rng) : 0.25;
    const std::u32string q = random_text();
    std::vector<std::string> texts;
    for (int k = 0; k < 12; ++k) {
      std::u32string s = k % 2 ? q : random_text();
      for (std::size_t e = rng() % 4; e > 0 && s.size() > 1; --e) {
        const std::size_t at = rng() % (s.size() - 1);
        rng() % 2 ? std::swap(s[at], s[at + 1]) : void(s[at] = kAlphabet[rng() % 5]);
      }
      texts.push_back(utf8(s));
    }
    const std::string query = utf8(q);
    const std::vector<TextView> views(texts.begin(), texts.end());
    const auto batch = jaro_winkler_batch(std::string_view(query), views, p, fold).value();
    ASSERT_EQ(batch.size(), texts.size());
    for (std::size_t k = 0; k < texts.size(); ++k) {
      const double want = oracle(query, texts[k], p, fold);
      const double got[] = {jw(query, texts[k], p, fold), jw(texts[k], query, p, fold), batch[k]};
      for (double g : got)
        EXPECT_EQ(std::memcmp(&g, &want, sizeof g), 0) << query << " / " << texts[k] << ": " << g;
    }
  }
}

}  // namespace
}  // namespace quillmatch
