// Two columns scored row by row: every entry is the scalar kernel's on
// (queries[i], candidates[i]), or on (queries[i], candidates[0]) for one
// candidate, whatever the workers, also over rows still arriving; a bad
// prefix scale starts nothing.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
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

// The rows written by another thread in parts of uneven size, each
// published once written, while the run scores them: the entries of a run
// over the rows written whole first. The views are made only as their part
// is written, so a batch that read ahead of its rows would see null views.
TEST(Rows, RowsStillArrivingScoreAsRowsWrittenWhole) {
  std::mt19937_64 rnd(29);
  const std::vector<std::string> queries = random_texts(rnd, 5000), candidates = random_texts(rnd, 5000);
  const std::vector<TextView> q = views_of(queries), c = views_of(candidates);
  for (const Measure measure : {Measure::kLevenshtein, Measure::kDamerau, Measure::kJaroWinkler}) {
    for (const std::size_t workers : {std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
      ManyOptions o;
      o.measure = measure;
      o.workers = workers;
      const bool similarity = measure == Measure::kJaroWinkler;
      std::vector<TextView> fed_q(q.size()), fed_c(c.size());
      std::vector<std::uint64_t> distances(q.size());
      std::vector<double> values(q.size());
      RowFeed feed;
      auto run = start_rows(o, fed_q, fed_c, similarity ? ScoreType::F64 : ScoreType::U64,
                            similarity ? static_cast<void*>(values.data()) : distances.data(), feed);
      ASSERT_TRUE(run.ok());
      // One worker runs on the waiting thread, so the rows must all be there
      // before the wait, as the module's calling thread does.
      std::thread producer([&] {
        std::mt19937_64 parts(workers);
        for (std::size_t at = 0; at < q.size();) {
          const std::size_t end = std::min(q.size(), at + 1 + parts() % 700);
          std::copy(q.begin() + at, q.begin() + end, fed_q.begin() + at);
          std::copy(c.begin() + at, c.begin() + end, fed_c.begin() + at);
          feed.arrived(end);
          at = end;
          if (parts() % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      });
      producer.join();
      run.value()->finish();
      if (!similarity) values.assign(distances.begin(), distances.end());
      EXPECT_EQ(values, run_rows(o, q, c)) << static_cast<int>(measure) << ", " << workers << " workers";
    }
  }
}

// A feed abandoned part way ends the run's waits: the run stops with the
// rows that arrived scored and the others untouched.
TEST(Rows, AnAbandonedFeedEndsTheRun) {
  std::mt19937_64 rnd(31);
  const std::vector<std::string> texts = random_texts(rnd, 3000);
  const std::vector<TextView> all = views_of(texts);
  std::vector<TextView> fed(all.size());
  std::copy(all.begin(), all.begin() + 1000, fed.begin());
  ManyOptions o;
  o.workers = 2;
  std::vector<std::uint64_t> out(all.size(), 999);
  RowFeed feed;
  auto run = start_rows(o, fed, fed, ScoreType::U64, out.data(), feed);
  ASSERT_TRUE(run.ok());
  feed.arrived(1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  feed.abandon();
  run.value()->request_stop();
  run.value()->finish();
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_TRUE(out[i] == 0 || out[i] == 999) << i;
  for (std::size_t i = 1000; i < out.size(); ++i) ASSERT_EQ(out[i], 999u) << i;
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
