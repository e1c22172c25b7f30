// Stopping a run: every phase of a long run polls for a stop between bounded
// pieces of work, also when the caller's own thread does the work, and a run
// stopped anywhere ends cleanly. The polled sorts sort as std::sort does.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "many/polled_sort.h"
#include "many/thread_pool.h"
#include "quillmatch/quillmatch.h"

namespace quillmatch {
namespace {

using std::chrono::milliseconds;

TEST(PolledSort, SortsAsStdSortAndStopsWhenAsked) {
  std::mt19937_64 rnd(7);
  for (const std::size_t n : {0u, 1u, 1000u, 100000u}) {
    for (const std::uint64_t keys : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{1000}, std::uint64_t{1} << 30}) {  // runs of equal keys, or none
      std::vector<std::pair<std::uint64_t, std::uint32_t>> v(n);
      for (std::size_t k = 0; k < n; ++k) v[k] = {rnd() % keys, static_cast<std::uint32_t>(rnd())};
      if (keys == 3) std::sort(v.begin(), v.end());  // and already sorted
      auto want = v;
      std::sort(want.begin(), want.end());
      // Polled on the task's thread, and in parts on 3 and 4 workers, merged
      // in rounds of pairs (one part left over in a round, or none).
      for (const std::size_t workers : {0u, 3u, 4u}) {
        auto got = v;
        ThreadPool pool(1, 1, [&](std::size_t, const ThreadPool& p) {
          Meter meter(p);
          if (workers == 0) sort_polled(got.begin(), got.end(), std::less<>(), meter);
          else sort_on_workers(got.begin(), got.end(), std::less<>(), workers, meter);
        });
        pool.finish();
        ASSERT_EQ(got, want) << n << " entries, " << keys << " keys, " << workers << " workers";
      }
    }
  }
  std::vector<std::uint64_t> big(1 << 20);
  for (auto& x : big) x = rnd();
  ThreadPool pool(1, 1, [&](std::size_t, const ThreadPool& p) {
    Meter meter(p);
    sort_polled(big.begin(), big.end(), std::less<>(), meter);
  });
  pool.request_stop();
  pool.finish();  // Stopped ends the task inside the pool
  EXPECT_FALSE(pool.completed());
}

TEST(ThreadPool, TheCallerRunsTheTasksWhenNoWorkerRunsAndChecksFromTheirPolls) {
  int checks = 0;
  bool ended_by_stop = false;
  ThreadPool pool(1, 1, [&](std::size_t, const ThreadPool& p) {
    while (!p.stop_requested()) {
    }
    ended_by_stop = true;
  });
  const ThreadPool::Check check = [&] { return ++checks == 3; };
  while (!pool.wait_for(milliseconds(1), check)) {
  }
  EXPECT_EQ(checks, 3);
  EXPECT_TRUE(ended_by_stop);
  EXPECT_FALSE(pool.completed());
  pool.finish();
}

// A run waited for as a caller that looks for a signal on every poll of the
// work it does itself (one worker, a wait of no time), stopping at the
// `stop_at`-th look (0: never). Returns how many looks there were.
std::size_t looks_until_the_end(const std::function<Result<std::unique_ptr<ManyRun>>()>& start,
                                std::size_t stop_at) {
  Result<std::unique_ptr<ManyRun>> run = start();
  EXPECT_TRUE(run.ok());
  std::size_t looks = 0;
  const std::function<bool()> look = [&] { return ++looks == stop_at; };
  while (!run.value()->wait_for(milliseconds(0), look) && !look()) {
  }
  if (looks >= stop_at && stop_at) run.value()->request_stop();
  run.value()->finish();
  return looks;
}

TEST(ManyRun, EveryPhaseOfALongRunPollsAndStopsAtAnyLook) {
  std::mt19937_64 rnd(3);
  std::vector<std::string> names(200000), equal(1500, "same"), long_texts(8);
  for (auto& s : names) {
    s.resize(8 + rnd() % 12);
    for (char& c : s) c = static_cast<char>('a' + rnd() % 12);
  }
  for (auto& s : long_texts) {
    s.resize(5000);
    for (char& c : s) c = static_cast<char>('a' + rnd() % 4);
  }
  const auto views = [](const std::vector<std::string>& texts) {
    std::vector<TextView> v;
    for (const auto& s : texts) v.emplace_back(s);
    return v;
  };
  const std::vector<TextView> name_views = views(names), equal_views = views(equal),
                              long_views = views(long_texts);
  ManyOptions lev;
  lev.max_distance = 0;
  ManyOptions filtered = lev;
  filtered.plan = JoinPlan::kFiltered;
  ManyOptions damerau;
  damerau.measure = Measure::kDamerau;
  damerau.max_distance = 2;
  std::shared_ptr<const JoinIndex> index;
  PairsFound found;
  std::vector<std::uint64_t> cells(long_views.size() * long_views.size());
  std::vector<TextView> long_rows;
  for (std::size_t k = 0; k < 48; ++k) long_rows.push_back(long_views[k % long_views.size()]);
  std::vector<std::uint64_t> row_scores(long_rows.size());
  std::vector<std::int64_t> indices(5), counts(1);
  std::vector<std::uint64_t> scores(5);
  const TopOutput top{5, ScoreType::U64, indices.data(), scores.data(), counts.data()};
  const std::vector<std::pair<const char*, std::function<Result<std::unique_ptr<ManyRun>>()>>> runs = {
      {"an index built", [&] { return start_index_build(damerau, name_views, index); }},
      {"a self join of equal texts, put in order",
       [&] { return start_pairs(filtered, equal_views, std::nullopt, ScoreType::U64, found); }},
      {"a matrix of long texts",
       [&] { return start_matrix(damerau, long_views, long_views, ScoreType::U64, cells.data()); }},
      {"long texts row by row",
       [&] { return start_rows(damerau, long_rows, long_rows, ScoreType::U64, row_scores.data()); }},
      {"one query's top list, lengths found first",
       [&] { return start_top(lev, std::span<const TextView>(name_views).first(1), name_views, top); }},
  };
  for (const auto& [what, start] : runs) {
    const std::size_t looks = looks_until_the_end(start, 0);
    EXPECT_GE(looks, 3u) << what << ": the work is cut into pieces";
    for (const std::size_t stop_at : {std::size_t{1}, looks - 1})
      EXPECT_EQ(looks_until_the_end(start, stop_at), stop_at) << what << ", stopped at look " << stop_at;
  }
}

}  // namespace
}  // namespace quillmatch
