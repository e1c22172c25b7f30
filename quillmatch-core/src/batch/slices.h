// What the lane engines share on the way from candidate texts to lanes: the
// walk over a long list one slice at a time, with the next slice's texts
// fetched while this one is scored, and the copy of a text's table entries
// into its lane's column of a block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "simd/fill_column.h"
#include "quillmatch/quillmatch.h"
#include "simd/simd.h"
#include "text/text.h"

// NibbleFill: the vector fill of 8- and 16-bit lanes, where the back end has one.
#if defined(QUILLMATCH_SIMD_AVX2)
#include "simd/nibble_fill_avx2.h"
#else
#include "simd/nibble_fill_plain.h"
#endif

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

// Orders the candidates of a slice that a lane engine takes (takes(size)) by
// bucket(size), stably, by a counting sort: place(at, k) puts candidate k at
// place `at` of the order, and other(k) scores each candidate the lanes do
// not take. Returns how many were ordered.
template <std::size_t kBuckets, class Takes, class Bucket, class Place, class Other>
std::size_t order_lane_candidates(std::span<const TextView> texts, Takes takes, Bucket bucket,
                                  Place place, Other other) {
  std::size_t starts[kBuckets + 1] = {};
  for (const TextView& t : texts)
    if (takes(t.size)) ++starts[bucket(t.size) + 1];
  for (std::size_t b = 1; b <= kBuckets; ++b) starts[b] += starts[b - 1];
  for (std::size_t k = 0; k < texts.size(); ++k) {
    if (takes(texts[k].size))
      place(starts[bucket(texts[k].size)]++, k);
    else
      other(k);
  }
  return starts[kBuckets];
}

// A slice's lane candidates in the order the lanes take them: each one's
// place in the slice, size and bytes, so that a group finds its lanes' side by
// side. Sizes past the last candidate are 0 (end() writes them): the unused
// lanes of the last group, whose bytes (left unset) are never read.
template <class T, std::size_t kSlice, std::size_t kLanes>
struct LaneOrder {
  void put(std::size_t at, std::size_t k, const TextView& t) {
    place[at] = static_cast<std::uint16_t>(k);
    sizes[at] = static_cast<T>(t.size);
    bytes[at] = reinterpret_cast<const unsigned char*>(t.data);
  }
  void end(std::size_t count) { std::fill_n(sizes + count, kLanes, T{0}); }

  std::uint16_t place[kSlice];
  alignas(32) T sizes[kSlice + kLanes];
  const unsigned char* bytes[kSlice];
};

// A candidate beyond ASCII as the lanes of a query they take read it (see
// PreparedQuery::latin1), one byte per code point, into out (room for
// text.size bytes): unfolded, a code point below U+0100 as itself and any
// other as `absent`, a byte whose mask is empty; folded, the code points
// folded (narrow_code_points: a code point may fold into ASCII, and the
// entries of both cases stand for an ASCII letter's folding), or kNotNarrow
// when one folds to U+0100 or above. Returns the count written.
// REQUIRES: valid UTF-8.
inline std::size_t narrow_beyond_ascii(std::string_view text, bool fold, unsigned char absent, unsigned char* out,
                                       std::size_t room) {
  if (fold) return narrow_code_points(text, true, out, room);
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80)
      out[n++] = b;
    else if (b == 0xC2 || b == 0xC3)  // U+0080 to U+00FF: two bytes
      out[n++] = static_cast<unsigned char>(((b & 0x1F) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
    else if (!is_continuation(b))
      out[n++] = absent;
  }
  return n;
}

// The candidates of a slice whose lanes met a byte of 0x80 or above (their
// results discarded), found by a fast query's lane engine and then narrowed
// (narrow_beyond_ascii) for the lanes to read again, end to end in an arena
// of their own.
template <std::size_t kSlice>
struct BeyondAscii {
  // The longest candidate narrowed, in bytes; its code points fit every lane.
  static constexpr std::size_t kLongest = 64;

  void restart() { found = 0; }
  void add(std::uint16_t c) { which[found++] = c; }

  // Narrows each candidate found into views[0, narrowed), of candidate
  // of[k]; other(c) scores one that is too long, does not fit, or does not
  // narrow.
  template <class Other>
  void narrow(std::span<const TextView> texts, bool fold, unsigned char absent, Other other) {
    std::size_t used = 0;
    narrowed = 0;
    for (std::size_t r = 0; r < found; ++r) {
      const TextView t = texts[which[r]];
      const std::size_t n = t.size <= kLongest && used + t.size <= sizeof(arena)
                                ? narrow_beyond_ascii(t.view(), fold, absent, arena + used, t.size)
                                : kNotNarrow;
      if (n == kNotNarrow) {
        other(which[r]);
        continue;
      }
      views[narrowed] = TextView(reinterpret_cast<const char*>(arena + used), n);
      of[narrowed++] = which[r];
      used += n;
    }
  }

  // The narrowed candidates in a lane engine's order (order_lane_candidates
  // by bucket(size)), into o; returns their count.
  template <std::size_t kBuckets, class Ordered, class Bucket>
  std::size_t order(Ordered& o, Bucket bucket) const {
    const std::span<const TextView> v(views, narrowed);
    const std::size_t lanes = order_lane_candidates<kBuckets>(
        v, [](std::size_t) { return true; }, bucket, [&](std::size_t at, std::size_t k) { o.put(at, k, v[k]); },
        [](std::size_t) {});
    o.end(lanes);
    return lanes;
  }

  std::size_t found = 0;
  std::uint16_t which[kSlice];
  std::size_t narrowed = 0;
  TextView views[kSlice];
  std::uint16_t of[kSlice];
  unsigned char arena[kSlice * kShortTextBytes];
};

// Lanes of 32 and 64 bits keep fill_column.
struct NoNibbleFill {
  static constexpr std::size_t kRowSteps = 16;
  explicit NoNibbleFill(const void*) {}
  bool ready() const { return false; }
  template <class T, class Length>
  void fill_rows(const unsigned char* const*, const Length*, std::size_t, std::size_t,
                 std::size_t, T*, unsigned char*) const {}
};

// What a lane engine of T-bit lanes fills rows with, when ready().
template <class T>
using LaneFill = std::conditional_t<sizeof(T) <= 2, NibbleFill<T>, NoNibbleFill>;

// Rows j0 .. j1 - 1 of a group's block (row j at block + (j - j0) * kLanes)
// from the lanes' texts, through `fill` when it is ready, else fill_column
// lane by lane;
// high[k] gets the OR of (at least) lane k's bytes among them, as to 0x80.
// REQUIRES: room for the rows up to j0 + kRowSteps past the last one filled.
template <class T, class Length>
void fill_rows(const LaneFill<T>& fill, const T* table, const unsigned char* const* texts,
               const Length* lengths, std::size_t count, std::size_t j0, std::size_t j1,
               T* block, unsigned char* high) {
  constexpr std::size_t kLanes = simd::Lanes<T>::kCount;
  if (fill.ready()) {
    for (std::size_t s = j0; s < j1; s += LaneFill<T>::kRowSteps)
      fill.fill_rows(texts, lengths, count, s, std::min(LaneFill<T>::kRowSteps, j1 - s),
                     block + (s - j0) * kLanes, high);
    return;
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t end = std::min<std::size_t>(lengths[k], j1);
    if (end > j0) high[k] |= fill_column(texts[k] + j0, end - j0, table, block + k, kLanes);
  }
}

}  // namespace quillmatch
