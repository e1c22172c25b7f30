// A row of packed pair keys sorts as std::sort sorts it, on both sides of the
// length where the radix sort takes over, for candidate spans that take one,
// two and three passes (up to 2^32).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "many/row_sort.h"

namespace quillmatch {
namespace {

TEST(RowSort, PackedKeysSortAsStdSortSortsThem) {
  std::mt19937_64 rng(3);
  std::vector<std::uint64_t> spare;
  for (const std::size_t h : {2, 3, 127, 128, 129, 1000, 5000})
    for (const std::uint64_t span : {std::uint64_t{1}, std::uint64_t{h}, std::uint64_t{1} << 10, std::uint64_t{1} << 20,
                                     (std::uint64_t{1} << 20) + 1, std::uint64_t{1} << 31, (std::uint64_t{1} << 32) - 1}) {
      if (span + 1 < h) continue;  // a row's candidates are distinct
      const std::uint64_t least = rng() % ((std::uint64_t{1} << 32) - span);
      std::set<std::uint64_t> candidates{least, least + span};
      while (candidates.size() < h) candidates.insert(least + rng() % (span + 1));
      std::vector<std::uint64_t> keys;
      for (const std::uint64_t c : candidates) keys.push_back(c << 32 | (rng() & 0xFFFFFFFF));
      std::shuffle(keys.begin(), keys.end(), rng);
      std::vector<std::uint64_t> want = keys;
      std::sort(want.begin(), want.end());
      sort_row(keys.data(), keys.size(), spare);
      ASSERT_EQ(keys, want) << h << " keys over a span of " << span;
    }
}

}  // namespace
}  // namespace quillmatch
