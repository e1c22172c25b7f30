// Jaro-Winkler kernel and batch against a slow textbook oracle, plus the worked
// values and the empty-text, cutoff and error rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>

#include "kernels/jaro_winkler.h"
#include "oracle.h"
#include "quillmatch/quillmatch.h"
#include "text/text.h"

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

// The word strategies read their quotients from a table the compiler filled:
// each entry must be the double that dividing at run time gives.
TEST(Similarity, WordQuotientsAreTheRunTimeQuotients) {
  for (std::uint64_t x = 0; x <= jw::kWordBits; ++x) {
    for (std::uint64_t y = 1; y <= jw::kWordBits; ++y) {
      volatile double num = static_cast<double>(x), den = static_cast<double>(y);
      const double q = num / den;
      ASSERT_EQ(std::memcmp(&q, &jw::kWordQuotients.q[x][y], sizeof q), 0) << x << " / " << y;
    }
  }
  EXPECT_EQ(jw::score_words(3, 1, 7, 9, 2, 0.1), jw::score(3, 1, 7, 9, 2, 0.1));
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

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Block matching called directly, with either text as the searched one in
// either layout, on every pair of texts up to five code points over
// {a, b, U+4E00} (the kernel sends short ASCII pairs to the word strategies,
// so only this reaches the block routine with them). Bytes and decoded code
// points are both scanned.
TEST(Similarity, BlockMatchingExhaustiveSmallAlphabet) {
  std::vector<std::u32string> texts = {U""};
  for (std::size_t at = 0; texts.back().size() < 5; ++at)
    for (char32_t c : {U'a', U'b', char32_t{0x4E00}}) texts.push_back(texts[at] + c);
  jw::BlockScratch scratch;
  for (const std::u32string& a : texts) {
    if (a.empty()) continue;
    const jw::SearchedWord word(std::vector<char32_t>(a.begin(), a.end()));
    const jw::SearchedBlocks blocks(std::vector<char32_t>(a.begin(), a.end()));
    const std::string a8 = testing::to_utf8(a);
    for (const std::u32string& b : texts) {
      if (b.empty()) continue;
      const std::string b8 = testing::to_utf8(b);
      const double p = b.size() % 2 ? 0.1 : 0.25;
      const jw::Counts c = jw::count_blocks(blocks, b.data(), b.size(), jw::Verbatim{}, scratch);
      const double got = c.m == 0 ? 0.0 : jw::score(c.m, c.t, a.size(), b.size(), c.l, p);
      ASSERT_TRUE(same_bits(got, oracle(a8, b8, p, false))) << a8 << " / " << b8;
      const jw::Counts cw = jw::count_blocks(word, b.data(), b.size(), jw::Verbatim{}, scratch);
      ASSERT_EQ(std::tie(cw.m, cw.t, cw.l), std::tie(c.m, c.t, c.l)) << a8 << " / " << b8;
      if (b8.size() == b.size()) {  // ASCII: scanned as bytes too
        const jw::Counts cb =
            jw::count_blocks(word, jw::bytes(b8), b8.size(), jw::Verbatim{}, scratch);
        ASSERT_EQ(std::tie(cb.m, cb.t, cb.l), std::tie(c.m, c.t, c.l)) << a8 << " / " << b8;
      }
    }
  }
}

// Long texts through the kernel (both orders) and the batch (the long text as
// query and as candidate), against the oracle bit for bit. Lengths sit on the
// word edges of the position rows and near 1 000; the alphabets are small so
// that windows overlap and fill, non-ASCII ones hold letters that fold (É, Σ,
// U+0130 which folds to two code points) and one outside the BMP. Half the
// partners are near copies, so that long matched runs, transpositions and
// boosted scores are common.
TEST(Similarity, LongTextsMatchOracleBitForBit) {
  const std::u32string alphabets[] = {U"ab", U"abcdefghij", U"aAbB",
                                      U"a\u00e9\u00c9\u03a3\u0130\U0001F600"};
  constexpr std::size_t kLengths[] = {1, 10, 63, 64, 65, 127, 128, 129, 192, 193, 999, 1000, 1001};
  std::mt19937 rng(1000);
  auto text_of = [&](const std::u32string& alphabet, std::size_t len) {
    std::u32string s(len, U' ');
    for (char32_t& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  auto near_copy = [&](std::u32string s, const std::u32string& alphabet) {
    for (std::size_t e = rng() % (s.size() / 8 + 2); e > 0 && s.size() > 1; --e) {
      const std::size_t at = rng() % (s.size() - 1);
      switch (rng() % 4) {
        case 0: std::swap(s[at], s[at + 1]); break;
        case 1: s[at] = alphabet[rng() % alphabet.size()]; break;
        case 2: s.erase(at, 1); break;
        default: s.insert(at, 1, alphabet[rng() % alphabet.size()]);
      }
    }
    return s;
  };
  for (int round = 0; round < 64; ++round) {
    const std::u32string& alphabet = alphabets[round % 4];
    const bool fold = rng() % 2;
    const double p = rng() % 4 ? std::uniform_real_distribution(0.0, 0.25)(rng) : 0.25;
    const std::u32string q = text_of(alphabet, kLengths[rng() % std::size(kLengths)]);
    std::vector<std::string> texts;
    for (int k = 0; k < 6; ++k) {
      const std::size_t len = kLengths[rng() % std::size(kLengths)];
      texts.push_back(testing::to_utf8(k % 2 ? near_copy(q, alphabet) : text_of(alphabet, len)));
    }
    const std::string query = testing::to_utf8(q);
    const std::vector<TextView> views(texts.begin(), texts.end());
    const auto batch = jaro_winkler_batch(query, views, p, fold).value();
    for (std::size_t k = 0; k < texts.size(); ++k) {
      const double want = oracle(query, texts[k], p, fold);
      const auto reversed = jaro_winkler_batch(texts[k], std::vector<TextView>{query}, p, fold);
      const double got[] = {jw(query, texts[k], p, fold), jw(texts[k], query, p, fold), batch[k],
                            reversed.value()[0]};
      for (double g : got)
        ASSERT_TRUE(same_bits(g, want)) << round << ": " << query.size() << " / " << texts[k].size()
                                        << ": " << g << " != " << want;
    }
  }
}

}  // namespace
}  // namespace quillmatch
