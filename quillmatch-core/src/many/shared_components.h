// Connected components that the workers of a self join build together, each
// pair joining its two texts' components as it is found, so that no pair is
// held; the links are kept in the caller's label array.
//
// links[v] is v's parent; a root links to itself. Every link points to a
// smaller node: a union links the larger of two roots under the smaller, and
// path halving relinks a node to its grandparent, smaller still. Three things
// follow.
//
// - The structure is acyclic whatever the interleaving, since links only go
//   down; a find ends in at most v steps.
// - A root is the smallest node of its component, which is the label the
//   clusters run gives (join/clusters.h). Labelling is one sweep in increasing
//   order: when v is reached its parent, smaller, already holds its label.
// - Every value ever stored in links[v] is a node of v's component, then and
//   for good (components only grow). So any value a thread reads, however
//   stale, is a true member of v's component, and relaxed atomics suffice: no
//   other data is published through a link.
//
// Concurrent union: a = find(a), b = find(b). When they are equal, a and b
// are in one component, for good. Otherwise, ordered so that a < b, b is
// linked under a by a compare-and-swap that succeeds only while b is still a
// root (links[b] == b). When it succeeds, all of b's component hangs under a,
// in a's component: the two are one. (a may have been linked under a smaller
// node by then; the new link is still downward and into a's component, which
// is all the argument needs.) When it fails, another union has linked b
// meanwhile, and this one starts again from the new roots: lock-free, as a
// failure is another union's success. Two components merge only through such
// a compare-and-swap, and every union that returns has put its a and b in
// one component: once the workers are joined (which orders all their writes
// before the labelling), the components are exactly those of the pairs given.
//
// Path halving writes by compare-and-swap too, relinking v from its parent p
// to p's parent g only while v still links to p. When that fails, another
// thread has moved v's link already, downward and within the component too;
// either way the find goes on from g, which is below p in v's component.
//
// Without union by rank a find takes O(log n) amortized steps (halving alone
// bounds it), and in practice one or two: texts arrive in no particular order.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "many/job.h"

namespace quillmatch {

class SharedComponents {
 public:
  // REQUIRES: `links` outlives every copy, and is aligned as int64 is.
  explicit SharedComponents(std::span<std::int64_t> links) : links_(links) {}

  std::size_t size() const { return links_.size(); }

  // Makes nodes [from, to) singletons. REQUIRES: no union or find meanwhile.
  void make_singletons(std::size_t from, std::size_t to) const {
    for (std::size_t v = from; v < to; ++v) links_[v] = static_cast<std::int64_t>(v);
  }

  // The root of v's component, halving the path on the way. Any thread.
  std::uint64_t find(std::uint64_t v) const {
    for (;;) {
      std::uint64_t p = load(v);
      if (p == v) return v;
      const std::uint64_t g = load(p);
      if (g == p) return p;
      auto expected = static_cast<std::int64_t>(p);
      link(v).compare_exchange_weak(expected, static_cast<std::int64_t>(g), std::memory_order_relaxed);
      v = g;
    }
  }

  // Puts a and b in one component. Any thread.
  void unite(std::uint64_t a, std::uint64_t b) const {
    for (;;) {
      a = find(a);
      b = find(b);
      if (a == b) return;
      if (a > b) std::swap(a, b);
      auto expected = static_cast<std::int64_t>(b);
      if (link(b).compare_exchange_strong(expected, static_cast<std::int64_t>(a), std::memory_order_relaxed))
        return;
    }
  }

  // Rewrites links [from, to) as labels, the smallest node of each component.
  // REQUIRES: no union meanwhile, and its workers joined; from is 0 or the
  // `to` of the call before.
  void label(std::size_t from, std::size_t to) const {
    for (std::size_t v = from; v < to; ++v) {
      const std::int64_t p = links_[v];
      if (static_cast<std::size_t>(p) != v) links_[v] = links_[static_cast<std::size_t>(p)];
    }
  }

 private:
  std::atomic_ref<std::int64_t> link(std::uint64_t v) const { return std::atomic_ref<std::int64_t>(links_[v]); }
  std::uint64_t load(std::uint64_t v) const {
    return static_cast<std::uint64_t>(link(v).load(std::memory_order_relaxed));
  }

  static_assert(std::atomic_ref<std::int64_t>::is_always_lock_free);
  std::span<std::int64_t> links_;
};

// One task over every node, a piece at a time with a poll for a stop between
// pieces: the singletons before a join, or the labels after it.
class ComponentsPhase final : public ManyRun::Job {
 public:
  enum class Step { kSingletons, kLabels };
  ComponentsPhase(SharedComponents components, Step step) : components_(components), step_(step) {
    plan.row_bounds = {0, 1};
  }

  void run(std::size_t, const ThreadPool& pool) override {
    const std::size_t n = components_.size();
    for (std::size_t from = 0; from < n; from += kPiece) {
      if (pool.stop_requested()) return;
      const std::size_t to = std::min(n, from + kPiece);
      if (step_ == Step::kSingletons) components_.make_singletons(from, to);
      else components_.label(from, to);
    }
  }

 private:
  // Nodes between two polls: a label reads its parent from anywhere in the
  // array, so a piece takes a few milliseconds at most.
  static constexpr std::size_t kPiece = std::size_t{1} << 18;
  const SharedComponents components_;
  const Step step_;
};

// A self join's clusters: the singletons phase, then the join's chain (the
// last join phase's next() gives the labels phase).
inline std::unique_ptr<ManyRun::Job> after_singletons(SharedComponents components,
                                                      std::unique_ptr<ManyRun::Job> join) {
  auto first = std::make_unique<ComponentsPhase>(components, ComponentsPhase::Step::kSingletons);
  first->then = std::move(join);
  return first;
}

}  // namespace quillmatch
