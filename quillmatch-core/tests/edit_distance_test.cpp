// Both bit-parallel distances, every scan variant and the batch engines, checked
// against the textbook dynamic programme and against each other.
#include <gtest/gtest.h>

#include "kernels/bit_parallel.h"
#include "oracle.h"

namespace quillmatch {
namespace {

using testing::edit_distance_dp;
using testing::random_text;

struct Measure {
  const char* name;
  bool transpositions;
  Result<std::uint64_t> (*kernel)(TextView, TextView, std::optional<std::uint64_t>, bool,
                                  std::optional<std::uint64_t>);
  std::vector<std::uint64_t> (*batch)(TextView, std::span<const TextView>, bool);
};

const Measure kMeasures[] = {
    {"levenshtein", false, levenshtein_bp, levenshtein_batch},
    {"osa", true, damerau_bp, damerau_batch},
};

std::uint64_t distance(const Measure& m, std::string_view a, std::string_view b,
                       std::optional<std::uint64_t> cutoff = std::nullopt) {
  return m.kernel(a, b, std::nullopt, false, cutoff).value();
}

// Runs every variant that can take this pattern on the same pair: the ASCII
// single word, the code-point single word and the block scan (which accepts any
// m, so with m <= 64 it runs as a one-word block), sized at run time and, for
// 2 to 4 words, at compile time.
template <class Word, template <std::size_t> class Block>
std::vector<std::uint64_t> all_variants(std::string_view a, std::string_view b) {
  const std::vector<char32_t> pattern = decode_utf8(a);
  const std::uint64_t m = pattern.size();
  std::vector<std::uint64_t> out;
  if (m <= 64) {
    const std::uint64_t top = std::uint64_t{1} << (m - 1);
    if (is_ascii(a) && is_ascii(b)) {
      Word scan(m, top);
      const AsciiPairMasks masks(a, b);
      for (unsigned char c : b) scan.step(masks.get(c));
      out.push_back(scan.score);
    }
    Word scan(m, top);
    const WordMasks masks = WordMasks::from_code_points(pattern);
    for_each_code_point(b, [&](char32_t cp) { scan.step(masks.get(cp)); });
    out.push_back(scan.score);
  }
  const BlockMasks masks(pattern);
  auto run = [&]<class Scan>(Scan&& scan) {
    for_each_code_point(b, [&](char32_t cp) { scan.step(masks.row(cp)); });
    out.push_back(scan.score);
  };
  run(Block<kAnyWords>(m));
  if (masks.words() == 2) run(Block<2>(m));
  if (masks.words() == 3) run(Block<3>(m));
  if (masks.words() == 4) run(Block<4>(m));
  return out;
}

TEST(EditDistance, MatchesDynamicProgrammeInEveryVariant) {
  std::mt19937 rng(7);
  for (const auto& alphabet : {testing::kAsciiAlphabet, testing::kMixedAlphabet}) {
    for (std::size_t m : {1, 2, 5, 31, 63, 64, 65, 100, 127, 128, 129, 200}) {
      for (int round = 0; round < 12; ++round) {
        const std::string a = random_text(rng, alphabet, m, m);
        const std::string b = random_text(rng, alphabet, 1, 2 * m + 3);
        const std::uint64_t lev = edit_distance_dp(a, b, false);
        const std::uint64_t osa = edit_distance_dp(a, b, true);
        for (std::uint64_t d : all_variants<LevenshteinWord, LevenshteinBlock>(a, b))
          ASSERT_EQ(d, lev) << a << " / " << b;
        for (std::uint64_t d : all_variants<OsaWord, OsaBlock>(a, b))
          ASSERT_EQ(d, osa) << a << " / " << b;
        ASSERT_EQ(levenshtein_bp(a, b, std::nullopt, false, std::nullopt).value(), lev);
        ASSERT_EQ(damerau_bp(a, b, std::nullopt, false, std::nullopt).value(), osa);
        // Folded: ASCII pairs fold through their masks, the others through copies.
        const std::string fa = fold_case(a), fb = fold_case(b);
        ASSERT_EQ(levenshtein_bp(a, b, std::nullopt, true, std::nullopt).value(),
                  edit_distance_dp(fa, fb, false));
        ASSERT_EQ(damerau_bp(a, b, std::nullopt, true, std::nullopt).value(),
                  edit_distance_dp(fa, fb, true));
        // A cutoff may end the scan early; the answer must not change.
        for (const Measure& measure : kMeasures) {
          const std::uint64_t d = measure.transpositions ? osa : lev;
          for (std::uint64_t cutoff : {std::uint64_t{0}, d / 3, d / 2, d - 1, d, d + 1})
            ASSERT_EQ(distance(measure, a, b, cutoff), std::min(d, cutoff + 1))
                << measure.name << " " << a << " / " << b << " cutoff " << cutoff;
        }
      }
    }
  }
}

TEST(EditDistance, ExhaustiveOverTwoLetters) {
  // Every pair of texts over {a, b} up to length 6.
  std::vector<std::string> texts{""};
  for (std::size_t start = 0; texts.back().size() < 6;) {
    const std::size_t end = texts.size();
    for (std::size_t i = start; i < end; ++i)
      for (char c : {'a', 'b'}) texts.push_back(texts[i] + c);
    start = end;
  }
  for (const Measure& m : kMeasures) {
    for (const auto& a : texts) {
      for (const auto& b : texts) {
        const std::uint64_t d = edit_distance_dp(a, b, m.transpositions);
        ASSERT_EQ(distance(m, a, b), d) << m.name << ": " << a << " / " << b;
        for (std::uint64_t cutoff = 0; cutoff <= 6; ++cutoff)
          ASSERT_EQ(distance(m, a, b, cutoff), std::min(d, cutoff + 1))
              << m.name << ": " << a << " / " << b << " cutoff " << cutoff;
      }
    }
  }
}

TEST(EditDistance, WorkedExamples) {
  struct Case {
    const char* a;
    const char* b;
    std::uint64_t lev, osa;
  };
  const Case cases[] = {
      {"", "", 0, 0},           {"", "abc", 3, 3},        {"abc", "", 3, 3},
      {"flaw", "lawn", 2, 2},   {"ab", "ba", 2, 1},       {"ca", "abc", 3, 3},
      {"abcd", "acbd", 2, 1},   {"abcdef", "badcfe", 4, 3}, {"abc", "bca", 2, 2},
      {"saturday", "sunday", 3, 3}, {"aaaa", "aa", 2, 2}, {"cafe", "café", 1, 1},
      {"\u4E00\u4E01", "\u4E00\u4E01\u4E02", 1, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(distance(kMeasures[0], c.a, c.b), c.lev) << c.a << " / " << c.b;
    EXPECT_EQ(distance(kMeasures[1], c.a, c.b), c.osa) << c.a << " / " << c.b;
  }
  // A transposition straddling the word boundary (positions 63 and 64).
  std::string a(70, 'a'), b = a;
  a[63] = 'x';
  a[64] = 'y';
  b[63] = 'y';
  b[64] = 'x';
  EXPECT_EQ(distance(kMeasures[1], a, b), 1u);
  EXPECT_EQ(distance(kMeasures[0], a, b), 2u);
  EXPECT_EQ(distance(kMeasures[1], std::string(70, 'a'), std::string(69, 'a') + "b"), 1u);
  EXPECT_EQ(distance(kMeasures[0], std::string(200, 'a'), "a"), 199u);
}

TEST(EditDistance, CutoffAndLimits) {
  constexpr auto kMax = ~std::uint64_t{0};
  for (const Measure& m : kMeasures) {
    EXPECT_EQ(distance(m, "", "abc", 1), 2u);
    EXPECT_EQ(distance(m, "saturday", "sunday", 2), 3u);
    EXPECT_EQ(distance(m, "saturday", "sunday", 3), 3u);
    EXPECT_EQ(distance(m, "a", "abcd", 2), 3u);
    EXPECT_EQ(distance(m, "abc", "xyz", 1), 2u);
    EXPECT_EQ(distance(m, "abc", "abc", 0), 0u);
    EXPECT_EQ(distance(m, "abc", "abd", 0), 1u);
    EXPECT_EQ(distance(m, "abc", "xyz", kMax), 3u);

    auto err = [&](std::string_view a, std::string_view b, std::uint64_t limit, bool fold) {
      auto r = m.kernel(a, b, limit, fold, std::nullopt);
      return r.ok() ? std::string("ok") : r.error().text();
    };
    EXPECT_EQ(err("abc", "x", 3, false), "ok");
    EXPECT_EQ(err("abc", "x", 2, false), R"(InputTooLong { which: "str_1", len: 3, limit: 2 })");
    EXPECT_EQ(err("ab", "abcd", 2, false), R"(InputTooLong { which: "str_2", len: 4, limit: 2 })");
    EXPECT_EQ(err("abc", "abcd", 2, false), R"(InputTooLong { which: "str_1", len: 3, limit: 2 })");
    EXPECT_EQ(err("", "", 0, false), "ok");
    EXPECT_EQ(err("\u4E00\u4E01\u4E02", "", 3, false), "ok");
    EXPECT_EQ(err("\u0130", "", 1, false), "ok");
    EXPECT_EQ(err("\u0130", "", 1, true), R"(InputTooLong { which: "str_1", len: 2, limit: 1 })");
    EXPECT_EQ(m.kernel("ABC", "abc", std::nullopt, false, std::nullopt).value(), 3u);
    EXPECT_EQ(m.kernel("ABC", "abc", std::nullopt, true, std::nullopt).value(), 0u);
  }
}

TEST(EditDistanceBatch, EqualsKernelOnEveryPath) {
  std::mt19937 rng(11);
  const std::u32string alphabets[] = {U"abAB-", U"abAB\u00E9\u0130\u4E00\U0001F600"};
  for (const Measure& m : kMeasures) {
    for (std::size_t qlen : {0, 1, 10, 64, 65, 130}) {
      for (const auto& qa : alphabets) {
        const std::string query = random_text(rng, qa, qlen, qlen);
        std::vector<std::string> texts;
        for (int k = 0; k < 40; ++k) texts.push_back(random_text(rng, alphabets[k % 2], 0, 70));
        texts.push_back(std::string(64, 'a'));
        texts.push_back(std::string(65, 'A'));
        const std::vector<TextView> views(texts.begin(), texts.end());
        for (bool fold : {false, true}) {
          const auto got = m.batch(query, views, fold);
          ASSERT_EQ(got.size(), texts.size());
          for (std::size_t k = 0; k < texts.size(); ++k) {
            const std::uint64_t want =
                query.empty() ? count_code_points(texts[k])
                              : m.kernel(query, texts[k], std::nullopt, fold, std::nullopt).value();
            ASSERT_EQ(got[k], want) << m.name << " " << query << " / " << texts[k] << " " << fold;
          }
        }
      }
    }
  }
}

TEST(EditDistanceBatch, WorkedExamples) {
  auto run = [](const Measure& m, std::string_view q, std::vector<std::string_view> c, bool fold) {
    const std::vector<TextView> views(c.begin(), c.end());
    return m.batch(q, views, fold);
  };
  using V = std::vector<std::uint64_t>;
  EXPECT_EQ(run(kMeasures[0], "abc", {}, false), V{});
  EXPECT_EQ(run(kMeasures[0], "", {"abc", "\u4E00", "\u0130"}, true), (V{3, 1, 1}));
  EXPECT_EQ(run(kMeasures[0], "Hello", {"hello", "HELLO", "hElLo", "h\u00E9llo"}, true),
            (V{0, 0, 0, 1}));
  EXPECT_EQ(run(kMeasures[0], "Hello", {"hello"}, false), V{1});
  EXPECT_EQ(run(kMeasures[0], "kitten", {"", "kitten", "mitten"}, false), (V{6, 0, 1}));
  EXPECT_EQ(run(kMeasures[1], "abc", {"abc", "acb", "ca", "", "xabcx"}, false),
            (V{0, 1, 3, 3, 2}));
  EXPECT_EQ(run(kMeasures[1], "ABC", {"abc", "aBc", "bAc", "ab\u00E7"}, true), (V{0, 0, 1, 1}));
  EXPECT_EQ(run(kMeasures[1], "a[", {"A{"}, true), V{1});
  EXPECT_EQ(run(kMeasures[1], "a1-B", {"A1-b"}, true), V{0});
}

TEST(PatternMasks, Layouts) {
  const AsciiPairMasks abca("abca", "abd");
  EXPECT_EQ(abca.get(static_cast<unsigned char>('a')), 0b1001u);
  EXPECT_EQ(abca.get(static_cast<unsigned char>('b')), 0b0010u);
  EXPECT_EQ(abca.get(static_cast<unsigned char>('d')), 0u);

  const std::vector<char32_t> cjk{U'\u4E00', U'\u4E01', U'\u4E00', U'\u00E9'};
  const WordMasks wide = WordMasks::from_code_points(cjk);
  EXPECT_EQ(wide.get(U'\u4E00'), 0b0101u);
  EXPECT_EQ(wide.get(U'\u4E01'), 0b0010u);
  EXPECT_EQ(wide.get(U'\u00E9'), 0b1000u);
  EXPECT_EQ(wide.get(U'\u4E02'), 0u);

  for (auto [m, w] : {std::pair{65, 2}, {128, 2}, {129, 3}}) {
    const std::vector<char32_t> pattern(static_cast<std::size_t>(m), U'\u4E00');
    const BlockMasks masks(pattern);
    EXPECT_EQ(masks.words(), static_cast<std::size_t>(w));
    EXPECT_EQ(masks.row(U'\u4E00')[w - 1] >> ((m - 1) % 64), 1u);
    EXPECT_EQ(masks.row(U'z')[0], 0u);
  }

  const PreparedQuery q("Ab1", true);
  EXPECT_EQ(q.masks['a'], 1u);
  EXPECT_EQ(q.masks['A'], 1u);
  EXPECT_EQ(q.masks['b'], 2u);
  EXPECT_EQ(q.masks['B'], 2u);
  EXPECT_EQ(q.masks['1'], 4u);
  EXPECT_EQ(q.length, 3u);
  EXPECT_EQ(q.top, 4u);
  EXPECT_TRUE(q.fast);
  const PreparedQuery empty("", false), long_ascii(std::string(65, 'x'), false),
      wide_q("caf\u00E9", false);
  EXPECT_FALSE(empty.fast || long_ascii.fast || wide_q.fast);
  EXPECT_EQ(empty.top, 0u);
  EXPECT_EQ(long_ascii.length, 65u);
  EXPECT_EQ(long_ascii.top, 0u);
  EXPECT_EQ(wide_q.length, 4u);
}

}  // namespace
}  // namespace quillmatch
