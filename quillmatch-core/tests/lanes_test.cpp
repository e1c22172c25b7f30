// The lane steps and the lane engines of the batch distances and of the
// Jaro-Winkler batch, each compared with the scalar word step or kernel it
// stands for: lane by lane, at every lane width, with lanes that end early and
// candidates long enough to overflow a narrow lane.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <array>
#include <bit>
#include <memory>
#include <new>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

#include "kernels/bit_parallel.h"
#include "oracle.h"
#include "batch/slices.h"
#include "simd/byte_pattern.h"

namespace quillmatch {
namespace {

using testing::random_text;

template <class T>
class LaneSteps : public ::testing::Test {};
using LaneTypes = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(LaneSteps, LaneTypes);

// Every lane of the lane step against its own word step fed the same masks:
// the column state in the low bits after each step, and the score the word step
// had when the lane's text ended.
template <class Word, class Lanes, class T>
void check_lanes_against_words(std::mt19937& rng, std::uint64_t m, std::size_t steps) {
  using V = simd::Lanes<T>;
  constexpr std::size_t kLanes = V::kCount;
  constexpr std::uint64_t kLow = T(~T{0});
  const std::uint64_t top = std::uint64_t{1} << (m - 1);
  const std::uint64_t pattern_bits = m == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << m) - 1;
  std::uniform_int_distribution<std::size_t> length(0, steps);
  std::uniform_int_distribution<std::uint64_t> bits;
  std::vector<Word> words(kLanes, Word(m, top));
  std::vector<std::size_t> lengths(kLanes);
  std::vector<std::uint64_t> final_scores(kLanes, m);
  for (auto& n : lengths) n = length(rng);
  Lanes lanes(m, top);
  alignas(32) T pm[kLanes], vp[kLanes], vn[kLanes], score[kLanes];
  for (std::size_t j = 0; j < steps; ++j) {
    alignas(32) T ended[kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) {
      // Sparse masks make matches, runs and transpositions common.
      std::uint64_t mask = bits(rng) & bits(rng) & pattern_bits;
      if (k % 3 == 0) mask = words[k].vp & pattern_bits & bits(rng);
      pm[k] = static_cast<T>(mask);
      ended[k] = lengths[k] == j ? T(~T{0}) : T{0};
      words[k].step(mask);
      if (j + 1 == lengths[k]) final_scores[k] = words[k].score;
    }
    lanes.retire(V::load(ended));
    lanes.step(V::load(pm));
    lanes.vp.store(vp);
    lanes.vn.store(vn);
    for (std::size_t k = 0; k < kLanes; ++k) {
      ASSERT_EQ(vp[k], words[k].vp & kLow) << "lane " << k << " step " << j << " m " << m;
      ASSERT_EQ(vn[k], words[k].vn & kLow) << "lane " << k << " step " << j << " m " << m;
    }
  }
  lanes.score.store(score);
  for (std::size_t k = 0; k < kLanes; ++k)
    ASSERT_EQ(score[k], final_scores[k] & kLow) << "lane " << k << " m " << m;
}

TYPED_TEST(LaneSteps, EveryLaneIsItsWordStep) {
  using T = TypeParam;
  std::mt19937 rng(sizeof(T));
  for (std::uint64_t m = 1; m <= 8 * sizeof(T); m += (m < 10 ? 1 : 7)) {
    for (int round = 0; round < 8; ++round) {
      check_lanes_against_words<LevenshteinWord, LevenshteinLanes<T>, T>(rng, m, 40);
      check_lanes_against_words<OsaWord, OsaLanes<T>, T>(rng, m, 40);
    }
  }
  // The last pattern bit at the top of the lane, and more steps than an 8-bit
  // score can count: the lane score wraps exactly as the word's low bits do.
  check_lanes_against_words<LevenshteinWord, LevenshteinLanes<T>, T>(rng, 8 * sizeof(T), 300);
  check_lanes_against_words<OsaWord, OsaLanes<T>, T>(rng, 8 * sizeof(T), 300);
}

// Every lane of the block lane step against its own block step fed the same
// rows, for patterns of several words: the score after each step while the
// lane's text lasts, and the score it keeps after the lane retires.
template <class Block, class Lanes>
void check_block_lanes_against_blocks(std::mt19937& rng, std::uint64_t m, std::size_t steps) {
  using V = simd::Lanes<std::uint64_t>;
  constexpr std::size_t kLanes = V::kCount;
  const std::size_t words = (m + 63) / 64;
  std::uniform_int_distribution<std::size_t> length(0, steps);
  std::uniform_int_distribution<std::uint64_t> bits;
  std::vector<std::unique_ptr<Block>> blocks;
  for (std::size_t k = 0; k < kLanes; ++k) blocks.push_back(std::make_unique<Block>(m));
  std::vector<std::size_t> lengths(kLanes);
  for (auto& n : lengths) n = length(rng);
  std::vector<std::uint64_t> want(kLanes, m);
  Lanes lanes(m);
  // Both step forms read the previous step's rows: two sets, used in turn.
  std::vector<std::uint64_t> rows[2] = {std::vector<std::uint64_t>(kLanes * words),
                                        std::vector<std::uint64_t>(kLanes * words)};
  std::vector<V> pm[2] = {std::vector<V>(words), std::vector<V>(words)};
  for (std::size_t j = 0; j < steps; ++j) {
    std::vector<std::uint64_t>& row = rows[j % 2];
    alignas(32) std::uint64_t ended[kLanes], word[kLanes], score[kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) {
      for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t mask = bits(rng) & bits(rng);
        if (w == words - 1 && m % 64) mask &= (std::uint64_t{1} << (m % 64)) - 1;
        row[k * words + w] = mask;
      }
      ended[k] = lengths[k] == j ? ~std::uint64_t{0} : 0;
      blocks[k]->step(&row[k * words]);
      if (j < lengths[k]) want[k] = blocks[k]->score;
    }
    for (std::size_t w = 0; w < words; ++w) {
      for (std::size_t k = 0; k < kLanes; ++k) word[k] = row[k * words + w];
      pm[j % 2][w] = V::load(word);
    }
    lanes.retire(V::load(ended));
    lanes.step(pm[j % 2].data());
    lanes.score.store(score);
    for (std::size_t k = 0; k < kLanes; ++k)
      ASSERT_EQ(score[k], want[k]) << "lane " << k << " step " << j << " m " << m;
  }
}

TEST(BlockLaneSteps, EveryLaneIsItsBlockStep) {
  std::mt19937 rng(31);
  for (std::uint64_t m : {65, 100, 127, 128, 129, 200, 256, 300}) {
    for (int round = 0; round < 4; ++round) {
      check_block_lanes_against_blocks<LevenshteinBlock<>, LevenshteinBlockLanes>(rng, m, 2 * m);
      check_block_lanes_against_blocks<OsaBlock<>, OsaBlockLanes>(rng, m, 2 * m);
    }
  }
}

struct BatchMeasure {
  const char* name;
  DistanceScorer (*make)(TextView, bool);
  Result<std::uint64_t> (*kernel)(TextView, TextView, std::optional<std::uint64_t>, bool,
                                  std::optional<std::uint64_t>);
};

const BatchMeasure kBatchMeasures[] = {
    {"levenshtein", DistanceScorer::levenshtein, levenshtein_bp},
    {"osa", DistanceScorer::damerau, damerau_bp},
};

// The candidates of one lane-engine run: many short ASCII texts of scattered
// lengths (lanes ending early, and the empty text), a few non-ASCII ones (code
// points of two, three and four bytes), and texts around the longest an 8-bit
// lane can take, with no byte of the query so the score is as large as their
// length.
std::vector<std::string> lane_candidates(std::mt19937& rng, std::size_t count) {
  std::vector<std::string> texts;
  for (std::size_t k = 0; k < count; ++k) {
    if (k % 9 == 4)
      texts.push_back(random_text(rng, U"ab\u00E9\u4E00A\U0001F600", 0, 12));
    else
      texts.push_back(random_text(rng, U"abcABC", 0, k % 5 == 0 ? 90 : 20));
  }
  for (std::size_t n : {254, 255, 256, 300}) texts.push_back(std::string(n, 'z'));
  texts.push_back(std::string(255, 'a'));
  texts.push_back(std::string(140, 'A') + "\u00E9");
  std::shuffle(texts.begin(), texts.end(), rng);
  return texts;
}

std::vector<std::uint64_t> kernel_scores(const BatchMeasure& measure, std::string_view query,
                                         const std::vector<std::string>& texts, bool fold) {
  std::vector<std::uint64_t> want;
  for (const auto& t : texts)
    want.push_back(measure.kernel(query, t, std::nullopt, fold, std::nullopt).value());
  return want;
}

TEST(LaneEngine, EqualsKernelAtEveryWidthAndChunkSplit) {
  std::mt19937 rng(23);
  // Query lengths at both ends of every lane width, and block lanes of 2 to 5
  // words.
  // Then queries beyond ASCII of up to 64 code points, scanned over the
  // candidates' code points, and one just past that, which the kernel takes.
  const std::u32string ascii = U"abcAB", beyond = U"ab\u00E9\u00FF\u0141\U0001F600A";
  const std::pair<std::size_t, const std::u32string*> queries[] = {
      {1, &ascii},  {2, &ascii},   {8, &ascii},   {9, &ascii},   {16, &ascii},  {17, &ascii},  {32, &ascii},
      {33, &ascii}, {63, &ascii},  {64, &ascii},  {65, &ascii},  {128, &ascii}, {129, &ascii}, {300, &ascii},
      {1, &beyond}, {5, &beyond},  {20, &beyond}, {64, &beyond}, {65, &beyond}};
  for (const auto& [qlen, alphabet] : queries) {
    const std::string query = random_text(rng, *alphabet, qlen, qlen);
    std::vector<std::string> texts = lane_candidates(rng, 70);
    texts.push_back(query + "\u0100");  // a code point the query lacks
    texts.push_back("\u00E9\u0141b\u00FF\U0001F600");
    const std::vector<TextView> views(texts.begin(), texts.end());
    for (const BatchMeasure& measure : kBatchMeasures) {
      for (bool fold : {false, true}) {
        const DistanceScorer scorer = measure.make(query, fold);
        const std::vector<std::uint64_t> want = kernel_scores(measure, query, texts, fold);
        // Every chunk size, so that groups and slices end at every offset.
        for (std::size_t chunk = 1; chunk <= texts.size(); ++chunk) {
          std::vector<std::uint64_t> got(texts.size(), ~std::uint64_t{0});
          for (std::size_t i = 0; i < texts.size(); i += chunk) {
            const std::size_t n = std::min(chunk, texts.size() - i);
            scorer.score(std::span(views).subspan(i, n), std::span(got).subspan(i, n));
          }
          for (std::size_t k = 0; k < texts.size(); ++k)
            ASSERT_EQ(got[k], want[k]) << measure.name << " query " << query << " text "
                                       << texts[k] << " fold " << fold << " chunk " << chunk;
        }
      }
    }
  }
}

TEST(LaneEngine, ManySlicesAndTheLongestLaneTexts) {
  std::mt19937 rng(29);
  for (const BatchMeasure& measure : kBatchMeasures) {
    for (std::size_t qlen : {3, 12, 20, 50, 70}) {
      const std::string query = random_text(rng, U"abcAB", qlen, qlen);
      // More candidates than one slice holds, lengths 0..300 in every slice.
      std::vector<std::string> texts = lane_candidates(rng, 700);
      if (qlen == 12) {
        // The longest text a 16-bit lane takes and the first it must refuse.
        texts.push_back(std::string(65535, 'z'));
        texts.push_back(std::string(65536, 'z'));
        texts.push_back(query + std::string(65535 - qlen, 'y'));
      }
      const std::vector<TextView> views(texts.begin(), texts.end());
      for (bool fold : {false, true}) {
        std::vector<std::uint64_t> got(texts.size());
        measure.make(query, fold).score(views, got);
        EXPECT_EQ(got, kernel_scores(measure, query, texts, fold))
            << measure.name << " query " << query << " fold " << fold;
      }
    }
  }
}

// The Jaro-Winkler lanes take a group's width from the query and the longest
// candidate of the group, so candidates of every length up to 64 and past it,
// sorted into groups at each width boundary, with the small alphabet making
// matches, transpositions and shared prefixes common; bit-identical doubles.
TEST(JaroWinklerLanes, EqualsKernelAtEveryWidthAndChunkSplit) {
  std::mt19937 rng(37);
  for (std::size_t qlen : {1, 4, 8, 9, 16, 17, 31, 32, 33, 63, 64}) {
    const std::string query = random_text(rng, U"abcAB", qlen, qlen);
    std::vector<std::string> texts;
    for (std::size_t n = 0; n <= 70; ++n) {
      texts.push_back(random_text(rng, U"abcAB", n, n));
      texts.push_back(random_text(rng, U"abcdefghijAB", n, n));
    }
    // Non-ASCII in a lane, at its start and at its end.
    texts.push_back("\u00E9" + query);
    texts.push_back(query + "\u00C9");
    texts.push_back(query);
    std::shuffle(texts.begin(), texts.end(), rng);
    const std::vector<TextView> views(texts.begin(), texts.end());
    for (bool fold : {false, true}) {
      Result<JaroWinklerScorer> made = JaroWinklerScorer::make(query, 0.1, fold);
      const JaroWinklerScorer& scorer = made.value();
      for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{33}, texts.size()}) {
        std::vector<double> got(texts.size(), -1.0);
        for (std::size_t i = 0; i < texts.size(); i += chunk) {
          const std::size_t n = std::min(chunk, texts.size() - i);
          scorer.score(std::span(views).subspan(i, n), std::span(got).subspan(i, n));
        }
        for (std::size_t k = 0; k < texts.size(); ++k) {
          const double want =
              jaro_winkler(query, texts[k], 0.1, std::nullopt, fold, std::nullopt).value();
          ASSERT_EQ(std::bit_cast<std::uint64_t>(got[k]), std::bit_cast<std::uint64_t>(want))
              << "query " << query << " text " << texts[k] << " fold " << fold << " chunk "
              << chunk;
        }
      }
    }
  }
}

// The vector fill against fill_column: every row within a lane's length and
// the non-ASCII flag, for tables under one to kMaxNibbles high nibbles (byte 0
// and bytes from 0x80 up among them), texts holding any byte, partial groups
// and rows that start past some lanes' ends.
template <class T>
void check_nibble_fill(std::mt19937_64& rng) {
  using Fill = NibbleFill<T>;
  constexpr std::size_t kLanes = Fill::kLanes;
  T table[256] = {};
  const std::size_t nibbles = 1 + rng() % Fill::kMaxNibbles;
  for (std::size_t g = 0; g < nibbles; ++g) {
    const unsigned h = static_cast<unsigned>(rng() % 16);
    for (unsigned l = 0; l < 16; ++l)
      if (rng() % 2) table[h * 16 + l] = static_cast<T>(rng());
  }
  const Fill fill(table);
  ASSERT_TRUE(fill.ready());
  const std::size_t count = 1 + rng() % kLanes;
  std::vector<std::vector<unsigned char>> texts(count);
  const unsigned char* bytes[kLanes] = {};
  std::size_t lengths[kLanes] = {};
  for (std::size_t k = 0; k < count; ++k) {
    texts[k].resize(rng() % 50);
    for (unsigned char& b : texts[k]) b = static_cast<unsigned char>(rng() % 3 ? rng() : rng() % 4);
    bytes[k] = texts[k].data();
    lengths[k] = texts[k].size();
  }
  for (std::size_t j0 = 0; j0 < 48; j0 += Fill::kRowSteps) {
    const std::size_t rows = 1 + rng() % Fill::kRowSteps;
    std::vector<T> got(Fill::kRowSteps * kLanes), want(Fill::kRowSteps * kLanes);
    unsigned char high[kLanes] = {};
    fill.fill_rows(bytes, lengths, count, j0, rows, got.data(), high);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t end = std::min(lengths[k], j0 + rows);
      if (end > j0) fill_column(bytes[k] + j0, end - j0, table, want.data() + k, kLanes);
      for (std::size_t j = j0; j < end; ++j)
        ASSERT_EQ(got[(j - j0) * kLanes + k], want[(j - j0) * kLanes + k]) << "lane " << k << " byte " << j;
      // The flag covers the whole sixteen bytes from j0, as far as the text goes.
      unsigned char all = 0;
      for (std::size_t j = j0; j < std::min(lengths[k], j0 + Fill::kRowSteps); ++j) all |= bytes[k][j];
      ASSERT_EQ(high[k] >= 0x80, all >= 0x80) << "lane " << k;
    }
  }
}

TEST(NibbleFill, EqualsFillColumn) {
  std::mt19937_64 rng(41);
  for (int round = 0; round < 300; ++round) {
    check_nibble_fill<std::uint8_t>(rng);
    check_nibble_fill<std::uint16_t>(rng);
  }
  // More high nibbles than the fill takes leave it to fill_column.
  std::uint16_t table[256] = {};
  for (unsigned h = 0; h <= NibbleFill<std::uint16_t>::kMaxNibbles; ++h) table[h * 16] = 1;
  EXPECT_FALSE(NibbleFill<std::uint16_t>(table).ready());
}

// One readable page between two that fault on any access: a read outside the
// readable page crashes the test. The page holds letters.
class GuardedPage {
 public:
  GuardedPage() {
    mapped_ = mmap(nullptr, 3 * kPageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
    if (mapped_ == MAP_FAILED) throw std::bad_alloc();
    page_ = static_cast<unsigned char*>(mapped_) + kPageBytes;
    for (std::size_t j = 0; j < kPageBytes; ++j) page_[j] = static_cast<unsigned char>('a' + j % 26);
    mprotect(mapped_, kPageBytes, PROT_NONE);
    mprotect(page_ + kPageBytes, kPageBytes, PROT_NONE);
  }
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;
  ~GuardedPage() { munmap(mapped_, 3 * kPageBytes); }

  // Texts of n bytes that end at the page's last byte and start at its first.
  std::array<const unsigned char*, 2> edges(std::size_t n) const {
    return {page_ + kPageBytes - n, page_};
  }

 private:
  void* mapped_;
  unsigned char* page_;
};

template <class T>
void check_fill_at_page_edges(const GuardedPage& page) {
  using Fill = NibbleFill<T>;
  constexpr std::size_t kLanes = Fill::kLanes;
  T table[256] = {};
  for (unsigned char c = 'a'; c <= 'z'; ++c) table[c] = static_cast<T>(c * 7 + 1);
  const Fill fill(table);
  for (std::size_t n = 1; n <= 40; ++n) {
    for (const unsigned char* text : page.edges(n)) {
      const unsigned char* bytes[kLanes];
      std::size_t lengths[kLanes];
      for (std::size_t k = 0; k < kLanes; ++k) bytes[k] = text, lengths[k] = n;
      for (std::size_t j0 = 0; j0 < n; j0 += Fill::kRowSteps) {
        std::vector<T> got(Fill::kRowSteps * kLanes);
        unsigned char high[kLanes] = {};
        fill.fill_rows(bytes, lengths, kLanes, j0, Fill::kRowSteps, got.data(), high);
        for (std::size_t j = j0; j < std::min(n, j0 + Fill::kRowSteps); ++j)
          ASSERT_EQ(got[(j - j0) * kLanes], table[text[j]]) << "length " << n << " byte " << j;
        ASSERT_EQ(high[0], 0) << "length " << n;
      }
    }
  }
}

// The row engines' match masks: below a pattern's length and its text's, bit
// i of a step's mask is whether byte i of the pattern is the text's byte
// (both lowered when folding), for one pattern of up to 32 bytes and for two
// of up to 16, over bytes from 0x80 up (the compare is of bytes, not signed
// values) and texts longer than a load, each read from an end of a page.
TEST(PatternRegister, MaskBitsAreWhetherPatternBytesAreTheTextByte) {
  const GuardedPage page;
  std::mt19937_64 rnd(5);
  for (int round = 0; round < 2000; ++round) {
    const bool halves = round % 2;
    const std::size_t na = rnd() % (halves ? 17 : 33), nb = halves ? rnd() % 17 : 0;
    const std::size_t la = rnd() % 70, lb = halves ? rnd() % 70 : la;
    const auto place = [&](std::size_t n) {
      auto* p = const_cast<unsigned char*>(page.edges(n)[rnd() % 2]);
      for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(round % 4 < 2 ? 'A' + rnd() % 4 + rnd() % 2 * 32 : rnd());
      return static_cast<const unsigned char*>(p);
    };
    const unsigned char *pa = place(na), *pb = place(nb), *ta = place(la), *tb = halves ? place(lb) : ta;
    const bool fold = rnd() % 2;
    const auto low = [fold](unsigned char c) { return fold ? ascii_lower(c) : c; };
    const simd::PatternRegister reg = halves ? simd::PatternRegister(pa, na, pb, nb, fold) : simd::PatternRegister(pa, na, fold);
    std::size_t steps = 0;
    reg.scan(ta, la, tb, lb, [&](std::size_t j, std::uint32_t bits) {
      ASSERT_EQ(j, steps++);
      std::uint32_t want = 0, known = 0;
      const auto half = [&](const unsigned char* p, std::size_t n, const unsigned char* t, std::size_t l, int shift) {
        for (std::size_t i = 0; i < n && j < l; ++i) {
          known |= std::uint32_t{1} << (shift + i);
          want |= static_cast<std::uint32_t>(low(p[i]) == low(t[j])) << (shift + i);
        }
      };
      half(pa, na, ta, la, 0);
      if (halves) half(pb, nb, tb, lb, 16);
      ASSERT_EQ(bits & known, want) << "round " << round << ", step " << j;
    });
    EXPECT_EQ(steps, (std::max(la, lb) + simd::kScanStride - 1) / simd::kScanStride * simd::kScanStride)
        << "round " << round;
  }
}

// The vector fill and the copy into a slot read short texts whole; neither
// may read outside the pages a text lies in.
TEST(ShortTexts, ReadNoPageOutsideTheText) {
  const GuardedPage page;
  check_fill_at_page_edges<std::uint8_t>(page);
  check_fill_at_page_edges<std::uint16_t>(page);
  // Copies packed end to end, each from a text against the page's end or
  // start, keep every earlier copy whole.
  std::vector<char> packed((kShortTextBytes + 1) * 2 * kShortTextBytes);
  std::vector<std::pair<TextView, std::string_view>> copies;
  char* next = packed.data();
  for (std::size_t n = 0; n <= kShortTextBytes; ++n) {
    for (const unsigned char* text : page.edges(n)) {
      const std::string_view want(reinterpret_cast<const char*>(text), n);
      const TextView copy = copy_short_text(TextView(want), next);
      next += n;
      copies.emplace_back(copy, want);
    }
  }
  for (const auto& [copy, want] : copies) ASSERT_EQ(copy.view(), want) << "length " << want.size();
}

}  // namespace
}  // namespace quillmatch
