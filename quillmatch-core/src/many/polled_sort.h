// A sort that polls for a stop while it runs: the index builds sort tens of
// millions of entries, far more work than one poll may cover.
//
// Quicksort's partitions split the range until every piece is short, and each
// piece is then sorted by std::sort; the meter is charged for every pass, so a
// stop is seen within about kPollWork of work plus one partition pass. Each
// partition is three-way (less than, equal to, greater than the pivot), so
// runs of equal entries end at once. Under a total order (every caller's: ids
// break ties) the result is the one std::sort gives.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

#include "many/thread_pool.h"

namespace quillmatch {

template <class It, class Less>
void sort_polled(It first, It last, Less less, Meter& meter) {
  constexpr std::ptrdiff_t kPiece = std::ptrdiff_t{1} << 14;
  using Value = typename std::iterator_traits<It>::value_type;
  struct Range {
    It lo, hi;
    unsigned depth;  // partitions left before std::sort takes the range whole
  };
  const auto n = static_cast<std::size_t>(last - first);
  std::vector<Range> todo{{first, last, 2 * static_cast<unsigned>(std::bit_width(n))}};
  while (!todo.empty()) {
    const Range r = todo.back();
    todo.pop_back();
    const auto size = static_cast<std::uint64_t>(r.hi - r.lo);
    if (r.hi - r.lo <= kPiece || r.depth == 0) {
      std::sort(r.lo, r.hi, less);
      meter.spend(size * static_cast<std::uint64_t>(std::bit_width(size)));
      continue;
    }
    // The median of the first, middle and last entries.
    Value a = *r.lo, b = *(r.lo + (r.hi - r.lo) / 2), c = *(r.hi - 1);
    if (less(b, a)) std::swap(a, b);
    if (less(c, b)) b = less(c, a) ? a : c;
    const Value pivot = b;
    const It equal = std::partition(r.lo, r.hi, [&](const Value& v) { return less(v, pivot); });
    const It greater = std::partition(equal, r.hi, [&](const Value& v) { return !less(pivot, v); });
    meter.spend(2 * size);
    todo.push_back({r.lo, equal, r.depth - 1});
    todo.push_back({greater, r.hi, r.depth - 1});
  }
}

// sort_polled on up to `workers` threads, from a task of meter's pool: the
// range cut into a part per worker, the parts sorted at once, then merged
// two by two, the merges of a round at once. Under a total order the result
// is the one std::sort gives. A merge is not polled: it is one pass over at
// most the whole range.
template <class It, class Less>
void sort_on_workers(It first, It last, Less less, std::size_t workers, Meter& meter) {
  constexpr std::size_t kLeastParallel = std::size_t{1} << 16;
  const auto n = static_cast<std::size_t>(last - first);
  const std::size_t parts = n < kLeastParallel ? 1 : std::max<std::size_t>(workers, 1);
  if (parts == 1) return sort_polled(first, last, less, meter);
  const auto at = [&](std::size_t k) { return first + static_cast<std::ptrdiff_t>(part_begin(n, parts, k)); };
  run_parts(meter.pool(), parts, parts, [&](std::size_t k, const ThreadPool& pool) {
    Meter part(pool);
    sort_polled(at(k), at(k + 1), less, part);
  });
  for (std::size_t width = 1; width < parts; width *= 2) {
    run_parts(meter.pool(), workers, (parts + 2 * width - 1) / (2 * width), [&](std::size_t m, const ThreadPool&) {
      const std::size_t a = 2 * width * m, b = std::min(a + width, parts), c = std::min(a + 2 * width, parts);
      if (b < c) std::inplace_merge(at(a), at(b), at(c), less);
    });
  }
}

}  // namespace quillmatch
