// The texts of a batch of row pairs as one byte per code point, for the pair
// engine (batch/pair_lanes.h): a text whose code points all lie below U+0100
// is read in place when it is ASCII, else narrowed into rows held here, so
// nothing is allocated per pair.
#pragma once

#include <cstddef>

#include "quillmatch/quillmatch.h"
#include "text/text.h"

#if defined(QUILLMATCH_SIMD_AVX2)
#include "simd/narrow_latin1_avx2.h"
#endif

namespace quillmatch {

class NarrowPairs {
 public:
  static constexpr std::size_t kMaxRows = 256;
  static constexpr std::size_t kTextPoints = 64;  // the longest text narrowed, and each row's room

  // `fold`: texts are narrowed folded. `fold_in_place`: an ASCII text read in
  // place is left as it is, for an engine that folds as it reads; else
  // folding narrows every text.
  NarrowPairs(bool fold, bool fold_in_place) : fold_(fold), in_place_(!fold || fold_in_place) {}

  // Side 0 or 1 of row k: at most kTextPoints code points, each one byte.
  // False when the text has more, or one of U+0100 or above (after folding).
  // REQUIRES: k < kMaxRows. The bytes stay valid until side `side` of row k
  // is narrowed again.
  bool code_points(TextView t, std::size_t k, int side, const unsigned char*& bytes, std::size_t& n) {
    if (in_place_ && t.size <= kTextPoints && short_ascii(t.data, t.size)) {
      bytes = reinterpret_cast<const unsigned char*>(t.data), n = t.size;
      return true;
    }
    unsigned char* const room = rows_[k] + side * kTextPoints;
#if defined(QUILLMATCH_SIMD_AVX2)
    // What narrow_code_points does for such a text, without its call.
    if (!fold_ && t.size <= simd::kNarrowLatin1Bytes) {
      bytes = room, n = simd::narrow_latin1(reinterpret_cast<const unsigned char*>(t.data), t.size, room);
      return n != kNotNarrow;
    }
#endif
    bytes = room, n = narrow_code_points(t.view(), fold_, room, kTextPoints);
    return n != kNotNarrow;
  }

  bool fold() const { return fold_; }

 private:
  const bool fold_, in_place_;
  unsigned char rows_[kMaxRows][2 * kTextPoints];
};

}  // namespace quillmatch
