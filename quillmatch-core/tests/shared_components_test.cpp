// The union-find that a self join's workers share: threads that unite edges
// at once, started together so that their unions race on the same roots, give
// the labels of the sequential union-find (join/clusters.h); a `same` that
// said true holds for good. Then a self join's clusters run, stopped at any
// of its polls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "join/clusters.h"
#include "many/shared_components.h"
#include "quillmatch/quillmatch.h"

namespace quillmatch {
namespace {

struct Edge {
  std::uint64_t a, b;
};

std::vector<std::int64_t> sequential_labels(std::size_t n, const std::vector<Edge>& edges) {
  std::vector<std::int64_t> labels(n);
  join::Components components(labels);
  components.extend(n);
  for (const Edge& e : edges) components.join(e.a, e.b);
  components.label(0, n);
  return labels;
}

// Random edges, and chains walked from both ends (long paths whose links the
// threads halve while others lengthen them).
std::vector<Edge> random_edges(std::mt19937_64& rnd, std::size_t n, std::size_t m) {
  std::vector<Edge> edges;
  for (std::size_t k = 0; k < m; ++k) {
    const std::uint64_t a = rnd() % n;
    switch (rnd() % 4) {
      case 0: edges.push_back({a, rnd() % n}); break;
      case 1: edges.push_back({a, a + 1 < n ? a + 1 : a}); break;
      case 2: edges.push_back({n - 1 - a, a ? n - a : n - 1}); break;
      default: edges.push_back({a, a}); break;
    }
  }
  return edges;
}

TEST(SharedComponents, ThreadsUnitingAtOnceGiveTheSequentialLabels) {
  std::mt19937_64 rnd(5);
  struct Shape {
    std::size_t n, m, threads, rounds;
  };
  for (const Shape shape : {Shape{2, 8, 4, 100}, Shape{64, 2000, 2, 200}, Shape{4096, 6000, 7, 100},
                            Shape{std::size_t{1} << 16, std::size_t{1} << 17, 4, 4}}) {
    for (std::size_t round = 0; round < shape.rounds; ++round) {
      const std::vector<Edge> edges = random_edges(rnd, shape.n, shape.m);
      std::vector<std::int64_t> links(shape.n);
      const SharedComponents components(links);
      components.make_singletons(0, shape.n);
      // Each thread unites its share of the edges, all starting at once.
      std::atomic<bool> go{false};
      std::vector<std::thread> threads;
      for (std::size_t t = 0; t < shape.threads; ++t) {
        threads.emplace_back([&, t] {
          while (!go.load()) {
          }
          for (std::size_t k = t; k < edges.size(); k += shape.threads) components.unite(edges[k].a, edges[k].b);
        });
      }
      go = true;
      for (std::thread& t : threads) t.join();
      for (std::size_t from = 0; from < shape.n; from += 1000) components.label(from, std::min(shape.n, from + 1000));
      ASSERT_EQ(links, sequential_labels(shape.n, edges)) << shape.n << " nodes, round " << round;
    }
  }
}

// A run of a self join's clusters on the calling thread, asked on every poll:
// it polls in each phase, and stopped at the first poll, the middle or the
// last, it returns, whatever it left in the labels. (The labels against
// clusters() of the pairs: tests/test_clusters.py and the join fuzz target.)
TEST(SharedComponents, AJoinsClustersRunStopsAtAnyPoll) {
  std::mt19937_64 rnd(9);
  std::vector<std::string> owned;
  for (std::size_t k = 0; k < 3000; ++k) {
    std::string t = k && rnd() % 2 ? owned[rnd() % k] : std::string(3 + rnd() % 9, 'a');
    t[rnd() % t.size()] = static_cast<char>('a' + rnd() % 6);
    owned.push_back(t);
  }
  const std::vector<TextView> texts(owned.begin(), owned.end());
  for (const JoinPlan plan : {JoinPlan::kCross, JoinPlan::kFiltered}) {
    ManyOptions o;
    o.plan = plan;
    o.max_distance = 1;
    o.workers = 3;
    std::vector<std::int64_t> want(texts.size()), labels(texts.size());
    start_join_clusters(o, texts, want).value()->finish();
    o.workers = 1;
    auto run_until = [&](std::size_t stop_at) {
      std::fill(labels.begin(), labels.end(), -7);
      auto run = std::move(start_join_clusters(o, texts, labels).value());
      std::size_t polls = 0;
      const std::function<bool()> poll = [&] { return ++polls == stop_at; };
      while (!run->wait_for(std::chrono::milliseconds(0), poll)) {
      }
      run->finish();
      return polls;
    };
    const std::size_t polls = run_until(0);
    EXPECT_EQ(labels, want);
    EXPECT_GE(polls, 3u) << "singletons, join and labels each poll";
    for (const std::size_t stop_at : {std::size_t{1}, polls / 2, polls - 1}) EXPECT_EQ(run_until(stop_at), stop_at);
  }
}

}  // namespace
}  // namespace quillmatch
