// Clusters: the labels equal those of a plain fixpoint over the edges (every
// node takes the smallest label among its neighbours until none changes), for
// columns of every width and signedness, and a run polls between pieces and
// stops at any poll. The faults are checked through the module's messages
// (tests/test_clusters.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <type_traits>
#include <vector>

#include "quillmatch/quillmatch.h"

namespace quillmatch {
namespace {

using Edges = std::vector<std::int64_t>;

std::vector<std::int64_t> fixpoint_labels(std::size_t n, const Edges& i, const Edges& j) {
  std::vector<std::int64_t> label(n);
  for (std::size_t v = 0; v < n; ++v) label[v] = static_cast<std::int64_t>(v);
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t k = 0; k < i.size(); ++k) {
      std::int64_t& a = label[static_cast<std::size_t>(i[k])];
      std::int64_t& b = label[static_cast<std::size_t>(j[k])];
      if (a != b) {
        a = b = std::min(a, b);
        changed = true;
      }
    }
  }
  return label;
}

template <class T>
std::vector<T> narrowed(const Edges& e) {
  return std::vector<T>(e.begin(), e.end());
}

template <class T>
IndexColumn column_of(const std::vector<T>& v) {
  return IndexColumn(v.data(), v.size(), sizeof(T), std::is_signed_v<T>);
}

std::vector<std::int64_t> labels_of(std::size_t n, IndexColumn i, IndexColumn j) {
  std::vector<std::int64_t> labels(n, -7);
  const EdgeFault fault = clusters(i, j, labels);
  EXPECT_EQ(fault.kind, EdgeFault::Kind::kNone);
  return labels;
}

TEST(Clusters, EqualsTheFixpointOverRandomGraphsInEveryColumnType) {
  std::mt19937_64 rnd(11);
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = round == 0 ? 0 : rnd() % 120;  // below 2^7: every type holds the nodes
    const std::size_t m = n == 0 ? 0 : rnd() % (2 * n + 1);
    Edges i, j;
    for (std::size_t k = 0; k < m; ++k) {
      i.push_back(static_cast<std::int64_t>(rnd() % n));
      j.push_back(rnd() % 8 == 0 ? i.back() : static_cast<std::int64_t>(rnd() % n));  // some self loops
      if (rnd() % 6 == 0) {  // the same edge again, either way round
        const bool flip = rnd() % 2;
        i.push_back(flip ? j.back() : i.back());
        j.push_back(flip ? i[i.size() - 2] : j.back());
      }
    }
    const std::vector<std::int64_t> want = fixpoint_labels(n, i, j);
    ASSERT_EQ(labels_of(n, column_of(i), column_of(j)), want) << "round " << round;
    const auto u8 = narrowed<std::uint8_t>(i), u8j = narrowed<std::uint8_t>(j);
    const auto s16 = narrowed<std::int16_t>(i);
    const auto s32 = narrowed<std::int32_t>(j);
    const auto u64 = narrowed<std::uint64_t>(j);
    const auto s8 = narrowed<std::int8_t>(i);
    ASSERT_EQ(labels_of(n, column_of(u8), column_of(u8j)), want);
    ASSERT_EQ(labels_of(n, column_of(s16), column_of(s32)), want);
    ASSERT_EQ(labels_of(n, column_of(s8), column_of(u64)), want);
  }
}

TEST(Clusters, ARunPollsBetweenPiecesAndStopsAtAnyPoll) {
  const std::size_t n = std::size_t{1} << 20;
  std::mt19937_64 rnd(2);
  Edges i(n), j(n);
  for (std::size_t k = 0; k < n; ++k) {
    i[k] = static_cast<std::int64_t>(rnd() % n);
    j[k] = static_cast<std::int64_t>(rnd() % n);
  }
  const std::vector<std::int64_t> want = labels_of(n, column_of(i), column_of(j));
  // Waited for with no time between waits: the caller runs the task and is
  // asked on every poll; true at the stop_at-th (0: never).
  auto run_until = [&](std::size_t stop_at, std::vector<std::int64_t>& labels) {
    EdgeFault fault;
    auto run = std::move(start_clusters(column_of(i), column_of(j), labels, fault).value());
    std::size_t polls = 0;
    const std::function<bool()> poll = [&] { return ++polls == stop_at; };
    while (!run->wait_for(std::chrono::milliseconds(0), poll)) {
    }
    run->finish();
    EXPECT_EQ(fault.kind, EdgeFault::Kind::kNone);
    return polls;
  };
  std::vector<std::int64_t> labels(n);
  const std::size_t polls = run_until(0, labels);
  EXPECT_EQ(labels, want);
  EXPECT_GE(polls, 12u) << "nodes made, edges joined and nodes labelled a piece at a time";
  for (const std::size_t stop_at : {std::size_t{1}, polls / 2, polls - 1}) {
    std::fill(labels.begin(), labels.end(), -7);
    EXPECT_EQ(run_until(stop_at, labels), stop_at);
    EXPECT_NE(labels, want) << "stopped at poll " << stop_at;
  }
  // A stop asked for before the task starts: nothing is written.
  std::fill(labels.begin(), labels.end(), -7);
  EdgeFault fault;
  auto run = std::move(start_clusters(column_of(i), column_of(j), labels, fault).value());
  run->request_stop();
  run->finish();
  EXPECT_EQ(std::count(labels.begin(), labels.end(), -7), static_cast<std::ptrdiff_t>(n));
}

}  // namespace
}  // namespace quillmatch
