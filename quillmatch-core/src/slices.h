// What the lane engines share on the way from candidate texts to lanes: the
// walk over a long list one slice at a time, with the next slice's texts
// fetched while this one is scored, and the copy of a text's table entries
// into its lane's column of a block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "quillmatch/quillmatch.h"

namespace quillmatch {

// The texts of a long list lie scattered and long out of cache. Asking for all
// of the next slice's first bytes at once stalls: the processor keeps only
// about ten misses in flight, so the later requests wait for the earlier ones
// and nothing else runs meanwhile. Asking for a few at a time, spread over
// this slice's work, overlaps the misses with it instead.
class SliceAhead {
 public:
  SliceAhead(std::span<const TextView> candidates, std::size_t begin, std::size_t end)
      : candidates_(candidates), next_(begin), end_(end) {}

  // Asks for the first bytes of up to `count` more texts of the next slice.
  void fetch(std::size_t count) {
    const std::size_t stop = std::min(end_, next_ + count);
    for (; next_ < stop; ++next_) __builtin_prefetch(candidates_[next_].data);
  }
  void fetch_rest() { fetch(end_ - next_); }

 private:
  std::span<const TextView> candidates_;
  std::size_t next_;
  std::size_t end_;
};

// Calls score_slice(begin, count, ahead) for consecutive slices of at most
// `slice` candidates, in order; score_slice calls ahead.fetch as it goes.
template <class ScoreSlice>
void for_each_slice(std::span<const TextView> candidates, std::size_t slice,
                    ScoreSlice score_slice) {
  for (std::size_t base = 0; base < candidates.size(); base += slice) {
    const std::size_t n = std::min(slice, candidates.size() - base);
    SliceAhead ahead(candidates, base + n, std::min(base + n + slice, candidates.size()));
    score_slice(base, n, ahead);
    ahead.fetch_rest();
  }
}

// Writes table[bytes[j]] to column[j * stride] for every j < n and returns the
// OR of the bytes (0x80 and above when a byte is not ASCII). Four bytes a
// round: the loop's own counting would otherwise cost as much as the copy.
template <class T>
unsigned char fill_column(const unsigned char* bytes, std::size_t n, const T* table, T* column,
                          std::size_t stride) {
  unsigned char seen = 0;
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4, column += 4 * stride) {
    const unsigned char b0 = bytes[j], b1 = bytes[j + 1], b2 = bytes[j + 2], b3 = bytes[j + 3];
    seen |= static_cast<unsigned char>(b0 | b1 | b2 | b3);
    column[0] = table[b0];
    column[stride] = table[b1];
    column[2 * stride] = table[b2];
    column[3 * stride] = table[b3];
  }
  for (; j < n; ++j, column += stride) {
    seen |= bytes[j];
    *column = table[bytes[j]];
  }
  return seen;
}

}  // namespace quillmatch
