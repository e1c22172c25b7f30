// Checks the generated case tables against the Unicode Character Database they
// were built from, for every code point, plus known cases that need no data.
//
// QUILLMATCH_UCD_DIR is a string literal naming the directory that holds
// UnicodeData.txt and DerivedCoreProperties.txt (tools/ucd in the repository).
// The data tests fail when the files cannot be read.
#include "text/case_tables.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quillmatch::unicode {
namespace {

constexpr const char* kUcdDir = QUILLMATCH_UCD_DIR;

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr std::size_t kCodeSpace = 0x110000;

std::string hex(char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
  return buf;
}

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string field;
  std::istringstream in(s);
  while (std::getline(in, field, sep)) out.push_back(field);
  if (!s.empty() && s.back() == sep) out.emplace_back();
  return out;
}

char32_t parse_hex(const std::string& s) {
  return static_cast<char32_t>(std::stoul(s, nullptr, 16));
}

// What the data files say, for every code point of the code space.
struct UcdTables {
  std::vector<char32_t> lower;  // simple lowercase, or the code point itself
  std::vector<bool> cased;
  std::vector<bool> case_ignorable;
  std::size_t mapped = 0;  // code points with a lowercase mapping
};

// UnicodeData.txt: field 13 is the simple lowercase mapping. The <..., First>
// and <..., Last> range lines carry no mapping, so they need no expansion.
bool read_unicode_data(const std::string& path, UcdTables& t) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (trim(line).empty()) continue;
    const auto fields = split(line, ';');
    if (fields.size() != 15) {
      ADD_FAILURE() << path << ": malformed line: " << line;
      continue;
    }
    if (fields[13].empty()) continue;
    const char32_t cp = parse_hex(fields[0]);
    if (cp > kMaxCodePoint) {
      ADD_FAILURE() << path << ": out of range: " << line;
      continue;
    }
    t.lower[cp] = parse_hex(fields[13]);
    ++t.mapped;
  }
  return true;
}

// DerivedCoreProperties.txt: "XXXX ; Name" or "XXXX..YYYY ; Name", with
// comments after '#'. Lines with a third field belong to enumerated properties.
bool read_derived_properties(const std::string& path, UcdTables& t) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    const auto data = trim(line.substr(0, line.find('#')));
    if (data.empty()) continue;
    const auto fields = split(data, ';');
    if (fields.size() != 2) continue;
    const auto name = trim(fields[1]);
    std::vector<bool>* set = name == "Cased"            ? &t.cased
                             : name == "Case_Ignorable" ? &t.case_ignorable
                                                        : nullptr;
    if (set == nullptr) continue;
    const auto range = trim(fields[0]);
    const auto dots = range.find("..");
    const char32_t first = parse_hex(range.substr(0, dots));
    const char32_t last = dots == std::string::npos ? first : parse_hex(range.substr(dots + 2));
    if (first > last || last > kMaxCodePoint) {
      ADD_FAILURE() << path << ": bad range: " << line;
      continue;
    }
    for (char32_t cp = first; cp <= last; ++cp) (*set)[cp] = true;
  }
  return true;
}

// Parsed once for all tests; nullopt when the data cannot be read.
const std::optional<UcdTables>& ucd_tables() {
  static const std::optional<UcdTables> tables = []() -> std::optional<UcdTables> {
    const std::string dir = kUcdDir;
    UcdTables t;
    t.lower.resize(kCodeSpace);
    for (std::size_t i = 0; i < kCodeSpace; ++i) t.lower[i] = static_cast<char32_t>(i);
    t.cased.assign(kCodeSpace, false);
    t.case_ignorable.assign(kCodeSpace, false);
    if (!read_unicode_data(dir + "/UnicodeData.txt", t)) return std::nullopt;
    if (!read_derived_properties(dir + "/DerivedCoreProperties.txt", t)) return std::nullopt;
    return t;
  }();
  return tables;
}

#define REQUIRE_UCD()                                                                       \
  do {                                                                                      \
    ASSERT_TRUE(ucd_tables().has_value()) << "cannot read the Unicode data in " << kUcdDir; \
  } while (0)

// Collects mismatches over the whole code space; reports the count and the
// first few instead of a million separate failures.
class MismatchLog {
 public:
  void add(char32_t cp, const std::string& detail) {
    if (count_++ < 20) text_ += "\n  " + hex(cp) + ": " + detail;
  }
  std::size_t count() const { return count_; }
  const std::string& text() const { return text_; }

 private:
  std::size_t count_ = 0;
  std::string text_;
};

TEST(CaseTablesData, LowercaseMatchesUnicodeDataForEveryCodePoint) {
  REQUIRE_UCD();
  const auto& t = *ucd_tables();
  // A parser that silently read nothing would make the comparison vacuous for
  // the code points the tables do map.
  ASSERT_GT(t.mapped, 1400u);
  MismatchLog log;
  for (char32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
    const char32_t got = lowercase(cp);
    if (got != t.lower[cp]) log.add(cp, "got " + hex(got) + ", want " + hex(t.lower[cp]));
  }
  EXPECT_EQ(log.count(), 0u) << log.text();
}

TEST(CaseTablesData, PropertiesMatchDerivedCorePropertiesForEveryCodePoint) {
  REQUIRE_UCD();
  const auto& t = *ucd_tables();
  MismatchLog log;
  std::size_t cased = 0, ignorable = 0;
  for (char32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
    cased += t.cased[cp];
    ignorable += t.case_ignorable[cp];
    if (is_cased(cp) != t.cased[cp]) log.add(cp, t.cased[cp] ? "should be Cased" : "is not Cased");
    if (is_case_ignorable(cp) != t.case_ignorable[cp]) {
      log.add(cp, t.case_ignorable[cp] ? "should be Case_Ignorable" : "is not Case_Ignorable");
    }
  }
  ASSERT_GT(cased, 4000u);
  ASSERT_GT(ignorable, 2000u);
  EXPECT_EQ(log.count(), 0u) << log.text();
}

TEST(CaseTables, LowercaseKnownMappings) {
  EXPECT_EQ(lowercase(U'A'), U'a');
  EXPECT_EQ(lowercase(U'\u0130'), U'\u0069');  // dotted capital I: simple mapping only
  EXPECT_EQ(lowercase(U'\u212A'), U'\u006B');  // Kelvin sign maps into ASCII
  EXPECT_EQ(lowercase(U'\u1E9E'), U'\u00DF');  // capital sharp s
  EXPECT_EQ(lowercase(U'\u03A3'), U'\u03C3');  // final sigma is the caller's business
  EXPECT_EQ(lowercase(U'\u2C62'), U'\u026B');  // large negative delta
  EXPECT_EQ(lowercase(U'\uA7AE'), U'\u026A');  // largest negative deltas live here
  EXPECT_EQ(lowercase(U'\U00010400'), U'\U00010428');  // outside the BMP
  EXPECT_EQ(lowercase(U'\U0001E900'), U'\U0001E922');
}

TEST(CaseTables, LowercaseLeavesUnmappedCodePointsAlone) {
  for (char32_t cp : {U'a', U'\u00DF', U'\u03C3', U'\u0069', U'\u4E00', U'\uFFFD'}) {
    EXPECT_EQ(lowercase(cp), cp) << hex(cp);
  }
  // Surrogates and the last code point are not characters; no mapping.
  EXPECT_EQ(lowercase(0xD800), char32_t{0xD800});
  EXPECT_EQ(lowercase(kMaxCodePoint), kMaxCodePoint);
}

TEST(CaseTables, KnownProperties) {
  EXPECT_TRUE(is_cased(U'A'));
  EXPECT_TRUE(is_cased(U'\u00DF'));
  EXPECT_TRUE(is_cased(U'\u0130'));
  EXPECT_FALSE(is_case_ignorable(U'A'));

  EXPECT_TRUE(is_case_ignorable(U'\''));
  EXPECT_FALSE(is_cased(U'\''));
  EXPECT_TRUE(is_case_ignorable(U'\u0301'));  // combining acute accent
  EXPECT_TRUE(is_case_ignorable(U'\u00AD'));  // soft hyphen

  EXPECT_FALSE(is_cased(U' '));
  EXPECT_FALSE(is_case_ignorable(U' '));
  EXPECT_FALSE(is_cased(U'\u4E00'));
  EXPECT_FALSE(is_case_ignorable(U'\u4E00'));
}

TEST(CaseTables, BeyondTheCodeSpaceHasNoMappingAndNoProperties) {
  for (char32_t cp : {char32_t{0x110000}, char32_t{0x1100FF}, char32_t{0x7FFFFFFF},
                      char32_t{0xFFFFFFFF}}) {
    EXPECT_EQ(lowercase(cp), cp) << hex(cp);
    EXPECT_FALSE(is_cased(cp)) << hex(cp);
    EXPECT_FALSE(is_case_ignorable(cp)) << hex(cp);
  }
}

}  // namespace
}  // namespace quillmatch::unicode
