// Two columns scored row by row: every entry is the scalar kernel's on
// (queries[i], candidates[i]), or on (queries[i], candidates[0]) for one
// candidate, whatever the workers; a bad prefix scale
// starts nothing.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "quillmatch/quillmatch.h"

namespace quillmatch {
namespace {

std::vector<std::string> random_texts(std::mt19937_64& rnd, std::size_t n) {
  // ASCII and Latin-1 of both cases most of the time (the pair engines'
  // texts), else code points past U+00FF too.
  static const std::vector<std::string> latin1 = {"a", "b", "A", "B", " ", "\xc3\xa9", "\xc3\x89", "\xc3\x9f", "\xc3\xbf"};
  static const std::vector<std::string> wider = {"a", "A", "\xc3\xa9", "\xc5\xb8", "\xc4\xb0", "\xce\xa3", "\xe4\xb8\xad"};
  std::vector<std::string> out(n);
  for (auto& s : out) {
    // Empty, short, around a lane pattern's 32 code points and a narrowed
    // text's 64, and long.
    const std::size_t len = rnd() % 8 == 0   ? 0
                            : rnd() % 4 == 0 ? 60 + rnd() % 90
                            : rnd() % 3 == 0 ? 28 + rnd() % 40
                                             : rnd() % 12;
    const std::vector<std::string>& letters = rnd() % 4 == 0 ? wider : latin1;
    for (std::size_t k = 0; k < len; ++k) s += letters[rnd() % letters.size()];
  }
  return out;
}

std::vector<TextView> views_of(const std::vector<std::string>& texts) {
  return std::vector<TextView>(texts.begin(), texts.end());
}

// The run's entries, read back from the two widest types.
std::vector<double> run_rows(const ManyOptions& o, std::span<const TextView> q, std::span<const TextView> c) {
  std::vector<std::uint64_t> distances(q.size());
  std::vector<double> values(q.size());
  const bool similarity = o.measure == Measure::kJaroWinkler;
  auto run = start_rows(o, q, c, similarity ? ScoreType::F64 : ScoreType::U64,
                        similarity ? static_cast<void*>(values.data()) : distances.data());
  EXPECT_TRUE(run.ok());
  run.value()->finish();
  if (!similarity) values.assign(distances.begin(), distances.end());
  return values;
}

double scalar(const ManyOptions& o, TextView a, TextView b) {
  switch (o.measure) {
    case Measure::kLevenshtein:
      return static_cast<double>(levenshtein_bp(a, b, std::nullopt, o.case_insensitive, std::nullopt).value());
    case Measure::kDamerau:
      return static_cast<double>(damerau_bp(a, b, std::nullopt, o.case_insensitive, std::nullopt).value());
    case Measure::kJaroWinkler:
      return jaro_winkler(a, b, o.p, std::nullopt, o.case_insensitive, std::nullopt).value();
  }
  return -1;
}

TEST(Rows, EveryRowIsTheScalarKernelsAndOneCandidateServesEveryRow) {
  std::mt19937_64 rnd(17);
  const std::vector<std::string> queries = random_texts(rnd, 700), candidates = random_texts(rnd, 700);
  const std::vector<TextView> q = views_of(queries), c = views_of(candidates);
  for (const Measure measure : {Measure::kLevenshtein, Measure::kDamerau, Measure::kJaroWinkler}) {
    for (const bool folded : {false, true}) {
      for (const std::size_t workers : {std::size_t{1}, std::size_t{3}}) {
        ManyOptions o;
        o.measure = measure;
        o.case_insensitive = folded;
        o.workers = workers;
        if (measure == Measure::kJaroWinkler) o.p = 0.2;
        const std::vector<double> rows = run_rows(o, q, c);
        const std::vector<double> broadcast = run_rows(o, q, std::span<const TextView>(c).first(1));
        for (std::size_t i = 0; i < q.size(); ++i) {
          ASSERT_EQ(rows[i], scalar(o, q[i], c[i]))
              << "row " << i << ", " << workers << " workers, measure " << static_cast<int>(measure) << ", folded "
              << folded << ": " << ::testing::PrintToString(q[i].view()) << " against "
              << ::testing::PrintToString(c[i].view());
          ASSERT_EQ(broadcast[i], scalar(o, q[i], c[0])) << "row " << i << " against one";
        }
        EXPECT_TRUE(run_rows(o, {}, {}).empty());
      }
    }
  }
}

TEST(Rows, ABadPrefixScaleStartsNothing) {
  ManyOptions o;
  o.measure = Measure::kJaroWinkler;
  o.p = 0.5;
  const std::vector<TextView> texts = {"a", "b"};
  double out[2] = {-1, -1};
  auto run = start_rows(o, texts, texts, ScoreType::F64, out);
  ASSERT_FALSE(run.ok());
  EXPECT_EQ(run.error().kind, MatchError::Kind::InvalidPrefixScale);
  EXPECT_EQ(out[0], -1);
}

}  // namespace
}  // namespace quillmatch
