// The text model: ASCII test, code-point counts, folding, the prefix-scale
// check and the error text forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "text/case_tables.h"
#include "oracle.h"

namespace quillmatch {
namespace {

using testing::to_utf8;

TEST(Text, AsciiTestAndCountAtEveryOffset) {
  // One non-ASCII byte at every offset of texts spanning several 32-byte blocks.
  for (std::size_t n = 0; n < 100; ++n) {
    std::string text(n, 'x');
    EXPECT_TRUE(is_ascii(text));
    EXPECT_EQ(count_code_points(text), n);
    for (std::size_t i = 0; i < n; ++i) {
      std::string t = text;
      t[i] = static_cast<char>(0x80 | (i & 0x7F));
      EXPECT_FALSE(is_ascii(t)) << n << " " << i;
    }
  }
  EXPECT_EQ(count_code_points("\u00FC"), 1u);
  EXPECT_EQ(count_code_points("u\u0308"), 2u);
  EXPECT_EQ(count_code_points("\u00FC\U0001F44D"), 2u);
}

TEST(Text, WholeTextValidationAgreesWithTheDecoder) {
  // Each sequence, well formed or not, at every offset of texts spanning
  // several 32-byte blocks, between ASCII or between copies of a valid
  // sequence of 2, 3 and 4 bytes, so that it crosses block and half-block
  // boundaries and ends texts unfinished.
  static constexpr const char* kSequences[] = {
      "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF", "\xE0\xA0\x80",
      "\xED\x9F\xBF", "\xF0\x90\x80\x80", "\x80", "\xBF", "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF",
      "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xC3",
      "\xE2\x82", "\xF0\x9F\x98", "\xC3\xA9\xA9", "\xF0\x9F\x98\x80\x80", "\xE2\x41\x82"};
  static constexpr const char* kFillers[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  // An ASCII lead of 100 bytes moves each offset across the 128-byte groups
  // that are skipped whole when ASCII; 160 fillers after fill such groups.
  for (const char* filler : kFillers) {
    for (const char* seq : kSequences) {
      for (std::size_t lead : {std::size_t{0}, std::size_t{100}}) {
        for (std::size_t before = 0; before < 40; ++before) {
          for (std::size_t after : {0, 1, 2, 33, 160}) {
            std::string t(lead, 'a');
            for (std::size_t k = 0; k < before; ++k) t += filler;
            t += seq;
            for (std::size_t k = 0; k < after; ++k) t += filler;
            const Utf8Form want = is_ascii(t)                           ? Utf8Form::kAscii
                                  : utf8_valid_prefix(t) == t.size() ? Utf8Form::kUtf8
                                                                     : Utf8Form::kInvalid;
            EXPECT_EQ(utf8_form(t), want) << ::testing::PrintToString(t);
          }
        }
      }
    }
  }
  for (std::size_t n : {0, 1, 127, 128, 129, 300}) EXPECT_EQ(utf8_form(std::string(n, 'q')), Utf8Form::kAscii);
}

// A text narrowed to a byte per code point is the code points of the text,
// folded as fold_case folds it, or kNotNarrow when one is past U+00FF or
// they do not fit; over ASCII runs of every length around the word reads,
// with Latin-1 and wider code points and capitals at every offset.
TEST(Text, NarrowedTextsAreTheirCodePoints) {
  std::mt19937_64 rnd(9);
  const std::u32string pieces[] = {U"a", U"Z", U"m", U"@", U"[", U"`", U"{", U"\u00E9", U"\u00C9", U"\u00DF",
                                   U"\u00FF", U"\u0080", U"\u00B5", U"\u00BF", U"\u00C0", U"\u0178",
                                   U"\u0100", U"\u0130", U"\u03A3", U"\u4E2D", U"\U0001F600"};
  for (int round = 0; round < 3000; ++round) {
    std::u32string cps;
    const std::size_t length = rnd() % 80;
    for (std::size_t k = 0; k < length; ++k) cps += rnd() % 4 ? pieces[rnd() % 7] : pieces[rnd() % std::size(pieces)];
    const std::string text = to_utf8(cps);
    for (const bool fold : {false, true}) {
      const std::size_t room = rnd() % 2 ? 64 : rnd() % 70;
      std::vector<unsigned char> out(room + 1, 0xEE);
      const std::size_t got = narrow_code_points(text, fold, out.data(), room);
      const std::vector<char32_t> want = decode_utf8(fold ? fold_case(text) : text);
      const bool narrow = want.size() <= room && std::all_of(want.begin(), want.end(), [](char32_t c) { return c <= 0xFF; });
      ASSERT_EQ(got, narrow ? want.size() : kNotNarrow) << text << " fold " << fold << " room " << room;
      ASSERT_EQ(out[room], 0xEE) << "written past the room";
      for (std::size_t i = 0; narrow && i < got; ++i) ASSERT_EQ(out[i], want[i]) << text << " at " << i;
    }
  }
}

// Short texts are narrowed in one register where the back end has one: every
// text of up to 33 bytes over ASCII, a Latin-1 code point of each lead (0xC2,
// 0xC3) and one past U+00FF, placed both mid-page and so that it ends a page
// (where its 32 bytes are not read from the text itself).
TEST(Text, ShortTextsNarrowAtAPageEnd) {
  constexpr std::size_t kPage = 4096;
  const std::u32string pieces[] = {U"a", U"\u00A9", U"\u00E9", U"\u00C3", U"\u0101"};
  std::vector<unsigned char> pages(3 * kPage);
  unsigned char* const page_end = pages.data() + kPage - reinterpret_cast<std::uintptr_t>(pages.data()) % kPage + kPage;
  std::mt19937_64 rnd(11);
  for (int round = 0; round < 4000; ++round) {
    std::u32string cps;
    const std::size_t length = rnd() % 24;
    for (std::size_t k = 0; k < length; ++k) cps += pieces[rnd() % (rnd() % 8 ? 4 : 5)];
    const std::string text = to_utf8(cps);
    if (text.size() > 33) continue;
    const std::vector<char32_t> want = decode_utf8(text);
    const bool narrow = std::all_of(want.begin(), want.end(), [](char32_t c) { return c <= 0xFF; });
    for (unsigned char* at : {page_end - text.size(), page_end - kPage / 2}) {
      std::memcpy(at, text.data(), text.size());
      std::vector<unsigned char> out(65, 0xEE);
      const std::size_t room = rnd() % 2 ? 64 : 32;
      const std::size_t got =
          narrow_code_points(std::string_view(reinterpret_cast<const char*>(at), text.size()), false, out.data(), room);
      ASSERT_EQ(got, narrow && want.size() <= room ? want.size() : kNotNarrow) << text;
      ASSERT_EQ(out[room], 0xEE) << "written past the room";
      for (std::size_t i = 0; narrow && i < got; ++i) ASSERT_EQ(out[i], want[i]) << text << " at " << i;
    }
  }
}

TEST(Text, FoldsEveryMappedCodePoint) {
  std::size_t mapped = 0;
  for (char32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const char32_t lower = unicode::lowercase(cp);
    if (lower == cp) continue;
    ++mapped;
    std::u32string want(1, lower);
    if (cp == 0x0130) want += U'\u0307';
    ASSERT_EQ(fold_case(to_utf8(std::u32string(1, cp))), to_utf8(want))
        << std::hex << static_cast<std::uint32_t>(cp);
  }
  EXPECT_EQ(mapped, 1462u);
  EXPECT_EQ(fold_case("Hello, WORLD! \u00DF \u1E9E \u212A \u023A"),
            "hello, world! \u00DF \u00DF k \u2C65");
  // Long ASCII runs go through the vector path; mix them with non-ASCII.
  const std::string mixed = std::string(40, 'Q') + "\u00C9" + std::string(33, 'Z') + "@[`{";
  EXPECT_EQ(fold_case(mixed), std::string(40, 'q') + "\u00E9" + std::string(33, 'z') + "@[`{");
}

TEST(Text, FinalSigmaFromContext) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2"},
      {"\u03A3", "\u03C3"},
      {"\u0391\u03A3'", "\u03B1\u03C2'"},
      {"\u0391\u03A3'\u0391", "\u03B1\u03C3'\u03B1"},
      {"\u0391\u03A3 \u0391", "\u03B1\u03C2 \u03B1"},
      {"\u03A3\u03A3", "\u03C3\u03C2"},
      {"a.\u03A3", "a.\u03C2"},            // case-ignorable skipped backwards
      {". \u03A3", ". \u03C3"},            // nothing cased before
      {"A\u03A3\u0301b", "a\u03C3\u0301b"},  // combining mark skipped forwards
      {"A\u03A3\u0301", "a\u03C2\u0301"},
  };
  for (const Case& c : cases) EXPECT_EQ(fold_case(c.in), c.out) << c.in;
}

TEST(Text, PrefixScale) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(check_prefix_scale(std::nullopt).value(), 0.1);
  for (double ok : {0.0, -0.0, 0.25, 0.1}) EXPECT_EQ(check_prefix_scale(ok).value(), ok);
  for (double bad : {nan, inf, -inf, -1.0, std::nextafter(0.25, 1.0), -1e-300})
    EXPECT_FALSE(check_prefix_scale(bad).ok()) << bad;
}

TEST(Text, ErrorTextForms) {
  struct Case {
    double value;
    const char* text;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {0.3, "0.3"},
      {1.0, "1.0"},
      {-0.5, "-0.5"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e-4, "0.0001"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e16"},
      {2.5e-5, "2.5e-5"},
      {-1e-7, "-1e-7"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {5e-324, "5e-324"},
      {std::nextafter(0.25, 1.0), "0.25000000000000006"},
      {123.456, "123.456"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {nan, "NaN"},
      {-nan, "NaN"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(float_text(c.value), c.text);
  EXPECT_EQ(MatchError::invalid_prefix_scale(0.3).text(), "InvalidPrefixScale { value: 0.3 }");
  EXPECT_EQ(MatchError::input_too_long("str_2", 12, 10).text(),
            R"(InputTooLong { which: "str_2", len: 12, limit: 10 })");
  EXPECT_EQ(MatchError::input_too_long("str_1", ~std::uint64_t{0}, 0).text(),
            R"(InputTooLong { which: "str_1", len: 18446744073709551615, limit: 0 })");
}

}  // namespace
}  // namespace quillmatch
