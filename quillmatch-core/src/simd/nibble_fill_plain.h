// The NibbleFill of batch/slices.h for back ends without a byte-shuffle fill
// (NEON, portable): the same contract as the AVX2 fill, met by reading each
// lane's bytes one at a time. The engines and the tests use it exactly as they
// use the vector fill.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "simd/simd.h"

namespace quillmatch {

template <class T>
class NibbleFill {
  static_assert(std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t>);

 public:
  using V = simd::Lanes<T>;
  static constexpr std::size_t kLanes = V::kCount;
  static constexpr std::size_t kRowSteps = 16;
  // As the vector fill takes tables under at most this many high nibbles.
  static constexpr std::size_t kMaxNibbles = 4;

  // ready() tells whether the table's nonzero entries fall under at most
  // kMaxNibbles high nibbles.
  explicit NibbleFill(const T* table) : table_(table) {
    std::size_t nibbles = 0;
    for (unsigned h = 0; h < 16; ++h) {
      bool used = false;
      for (unsigned l = 0; l < 16; ++l) used = used || table[h * 16 + l] != 0;
      nibbles += used;
    }
    ready_ = nibbles <= kMaxNibbles;
  }

  bool ready() const { return ready_; }

  // Rows j0 .. j0 + rows - 1 of a group's block (row j at
  // block + (j - j0) * kLanes); lanes from `count` up, like rows past a lane's
  // end, get byte 0's entry. high[k] gets 0x80 when lane k has a byte of 0x80
  // or above among its bytes j0 .. j0 + kRowSteps - 1.
  // texts[k] has lengths[k] bytes.
  // REQUIRES: ready(), 1 <= rows <= kRowSteps, and room for kRowSteps rows.
  template <class Length>
  void fill_rows(const unsigned char* const* texts, const Length* lengths, std::size_t count,
                 std::size_t j0, std::size_t rows, T* block, unsigned char* high) const {
    for (std::size_t k = 0; k < kLanes; ++k) {
      const std::size_t length = k < count ? static_cast<std::size_t>(lengths[k]) : 0;
      for (std::size_t j = j0; j < j0 + rows; ++j)
        block[(j - j0) * kLanes + k] = table_[j < length ? texts[k][j] : 0];
      unsigned char seen = 0;
      for (std::size_t j = j0; j < std::min(length, j0 + kRowSteps); ++j) seen |= texts[k][j];
      high[k] |= seen & 0x80;
    }
  }

 private:
  const T* table_;
  bool ready_ = false;
};

}  // namespace quillmatch
