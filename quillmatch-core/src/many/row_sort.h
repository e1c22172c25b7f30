// Sorting a row of a self join's pairs, packed as keys (the candidate above
// the distance, many/job.h's Buffers::Rows).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quillmatch {

// A row of packed pair keys sorted (Buffers::Rows): by candidate, the keys'
// top half, which is their order, each candidate appearing once in a row.
// A long row by least-significant-digit radix over the candidates' span, two
// passes of counting for a span of up to 2^20 where a comparison sort makes
// log2(h) of them; a short one by std::sort. `spare` is scratch.
inline void sort_row(std::uint64_t* keys, std::size_t h, std::vector<std::uint64_t>& spare) {
  constexpr std::size_t kRadixFrom = 128;
  constexpr unsigned kDigitBits = 10;
  if (h < kRadixFrom) {
    std::sort(keys, keys + h);
    return;
  }
  std::uint64_t least = UINT64_MAX, most = 0;
  for (std::size_t k = 0; k < h; ++k) {
    least = std::min(least, keys[k] >> 32);
    most = std::max(most, keys[k] >> 32);
  }
  // At least one pass: h >= 2 distinct candidates span at least 1.
  const auto bits = static_cast<unsigned>(std::bit_width(most - least));
  const unsigned passes = (bits + kDigitBits - 1) / kDigitBits;
  const unsigned digit = (bits + passes - 1) / passes;
  const std::uint64_t mask = (std::uint64_t{1} << digit) - 1;
  spare.resize(h);
  std::uint64_t *from = keys, *to = spare.data();
  std::array<std::uint32_t, std::size_t{1} << kDigitBits> at;
  for (unsigned p = 0; p < passes; ++p) {
    const auto digit_of = [&](std::uint64_t key) { return static_cast<std::size_t>(((key >> 32) - least) >> (p * digit) & mask); };
    std::fill_n(at.begin(), mask + 1, 0u);
    for (std::size_t k = 0; k < h; ++k) ++at[digit_of(from[k])];
    std::uint32_t sum = 0;
    for (std::size_t b = 0; b <= mask; ++b) sum += std::exchange(at[b], sum);
    for (std::size_t k = 0; k < h; ++k) to[at[digit_of(from[k])]++] = from[k];
    std::swap(from, to);
  }
  if (from != keys) std::copy(from, from + h, keys);
}

}  // namespace quillmatch
