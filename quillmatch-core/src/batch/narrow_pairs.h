// The texts of a batch of row pairs as one byte per code point, for the pair
// engine (batch/pair_lanes.h): a text whose code points all lie below U+0100
// is read in place when it is ASCII, else narrowed into an arena held here,
// one text after another, so nothing is allocated per pair and the narrowed
// texts of a batch share a few cache lines.
#pragma once

#include <cstddef>

#include "quillmatch/quillmatch.h"
#include "text/text.h"

namespace quillmatch {

class NarrowPairs {
 public:
  static constexpr std::size_t kMaxRows = 256;
  static constexpr std::size_t kTextPoints = 64;  // the longest text narrowed

  // `fold`: texts are narrowed folded. `fold_in_place`: an ASCII text read in
  // place is left as it is, for an engine that folds as it reads; else
  // folding narrows every text.
  NarrowPairs(bool fold, bool fold_in_place) : fold_(fold), in_place_(!fold || fold_in_place) {}

  // Starts a batch: the texts narrowed before are given up.
  void restart() { used_ = 0; }

  // A text as one byte per code point: its bytes and their count n.
  struct Narrowed {
    const unsigned char* bytes;
    std::size_t n;  // kNotNarrow: not narrow
  };

  // A text of the batch: at most kTextPoints code points, each one byte;
  // n is kNotNarrow when the text has more, or one of U+0100 or above (after
  // folding). Returned by value, in two registers: out-parameters would send
  // every text's two words through memory.
  // REQUIRES: at most 2 * kMaxRows texts since restart(). The bytes stay
  // valid until the next restart().
  // The test of a text read in place is inlined into the engine's loop; the
  // narrowing is a call of its own.
  __attribute__((always_inline)) Narrowed code_points(TextView t) {
    if (in_place_ && t.size <= kTextPoints && short_ascii(t.data, t.size))
      return {reinterpret_cast<const unsigned char*>(t.data), t.size};
    return narrow(t);
  }

  bool fold() const { return fold_; }

 private:
  // Narrows into the arena from used_: narrow_code_points writes inside the
  // kTextPoints bytes there, and a text kept moves used_ past its n bytes
  // only, so the next one overwrites what it wrote beyond them. At most 2 * kMaxRows - 1 texts of at most kTextPoints
  // bytes lie before the last, whose room is then still inside the arena.
  __attribute__((noinline)) Narrowed narrow(TextView t) {
    unsigned char* const room = arena_ + used_;
    const std::size_t n = narrow_code_points(t.view(), fold_, room, kTextPoints);
    if (n != kNotNarrow) used_ += n;
    return {room, n};
  }

  const bool fold_, in_place_;
  std::size_t used_ = 0;
  unsigned char arena_[2 * kMaxRows * kTextPoints];
};

}  // namespace quillmatch
