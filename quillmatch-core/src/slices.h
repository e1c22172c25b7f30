// The walk of the lane engines over a long list of candidates, one slice at a
// time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "quillmatch/quillmatch.h"

namespace quillmatch {

// Calls score_slice(begin, count) for consecutive slices of at most `slice`
// candidates, in order. The texts of a long list lie scattered and long out of
// cache: asking for the next slice's first bytes before scoring this one
// overlaps their misses with this slice's work.
template <class ScoreSlice>
void for_each_slice(std::span<const TextView> candidates, std::size_t slice,
                    ScoreSlice score_slice) {
  for (std::size_t base = 0; base < candidates.size(); base += slice) {
    const std::size_t n = std::min(slice, candidates.size() - base);
    const std::size_t next_end = std::min(base + n + slice, candidates.size());
    for (std::size_t k = base + n; k < next_end; ++k) __builtin_prefetch(candidates[k].data);
    score_slice(base, n);
  }
}

}  // namespace quillmatch
