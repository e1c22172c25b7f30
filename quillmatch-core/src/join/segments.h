// The partition filter of edit distances: which indexed texts may lie within
// a pair's threshold of a query.
//
// Each pair has a threshold t, the largest distance at which it is kept: the
// cutoff d itself, or for a normalized cutoff D of the longer text's length
// (join/thresholds.h). An indexed text s of length l is cut into k = W(l) + 1
// segments, W(l) being the largest threshold of any pair s can be looked up
// in (d for a fixed cutoff; D(l) when only longer texts look it up), separated by `gap` code points that belong to no segment (0
// for Levenshtein, 1 for OSA). If r is within distance t of s, then r contains
// one of the first t + 1 segments unchanged, at a position close to the
// segment's own; the filter looks those segments up at exactly those positions
// and returns every text so found.
//
// Why it is exact. Take an optimal edit script from s to r: at most t <= W(l)
// < k operations, each a substitution, deletion, insertion or (OSA) a
// transposition of two adjacent characters. Give every operation a place in s:
// a substitution or deletion its character, a transposition its two
// characters, an insertion the place between two characters of s (or an end)
// where it falls. An operation touches a segment when one of its characters
// lies in it. An insertion touches a segment when both its neighbours lie in
// it, when it comes first in s (the first segment), or when it comes right
// after the segment's last character and no gap follows (gap 0, or the last
// segment); any other insertion lies in a gap. Then each operation touches at
// most one segment: with gap 0 only a transposition could touch two, and
// Levenshtein has none; with gap 1 no two segments are adjacent, so no
// transposition reaches two.
//
// Count, for segment i (1-based), e_i = the operations that touch segment i or
// lie in the gap after it (in gap 0 there is none). Each operation is counted
// at most once, so e_1 + ... + e_k <= t < k. Let E_i = e_1 + ... + e_i and
// g(i) = E_i - i: g(0) = 0, g(k) <= t - k <= -1, and each step g(i) - g(i-1) =
// e_i - 1 is at least -1. So there is a first i with g(i) = -1; there
// g(i-1) = 0 and e_i = 0: segment i is untouched, E_{i-1} = i - 1 operations
// lie before it (so i <= t + 1), and at most t - (i - 1) after it.
//
// An untouched segment's characters are matched one to one, in order, with no
// insertion between them: r holds it at some position q. The part of s before
// it (p_i code points) becomes the part of r before q using only the
// operations before it, and each operation changes a length by at most one,
// so |q - p_i| <= i - 1; likewise after it, with D = |r| - l,
// |(q - p_i) - D| <= t + 1 - i. The filter looks segment i (i <= t + 1) up at
// every q in
//   [max(p_i - (i-1), p_i + D - (t+1-i)), min(p_i + (i-1), p_i + D + (t+1-i))]
// and only for lengths l with |D| <= t (every operation changes a length by at
// most one). Texts too short for k non-empty segments (l < k + gap * (k - 1))
// are not cut: they are returned for every query of a length they may pair
// with.
//
// Segments are keyed by a 64-bit hash of their bytes, their text's length and
// their number. A collision only returns a text that is then scored and
// dropped.
//
// Paired segments, for W(l) = 1. Two segments of a short text are short (3 or
// 4 code points in a surname), and where many texts share them their lists
// are long. The texts of such a length l, up to a bound, with room for three
// non-empty segments S1, S2, S3 (l >= 3 + 2 gap), whose segments are shared
// by many texts on average (segments.cpp), are entered instead under three pairs of them, each pair keyed as one:
// (S1, S2), (S1, S3) and (S2, S3), each covering about two thirds of the
// text. Why it is exact for t <= 1: with no operation, r = s and every pair
// lies where it lies in s. One operation touches at most one segment (above)
// and has a place in s; every segment wholly before that place lies in r
// where it lies in s (p), every segment wholly after it at p + D, D = |r| - l.
// An operation that lies before S2 begins has S2 and S3 after it; one that
// lies after S1 ends and before S3 begins has S1 before it and S3 after it;
// one that lies after S2 ends has S1 and S2 before it. Every place is one of
// the three (a segment it touches lies within the span named), so r holds
//   S1 at p1 and S2 at p2, or S1 at p1 and S3 at p3 + D, or S2 at p2 + D and
//   S3 at p3 + D,
// and a query looks each pair up at exactly those positions of itself: three
// lookups a partner length, with D fixed by it, and |D| <= t.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "join/texts.h"
#include "join/thresholds.h"

namespace quillmatch::join {

struct Segment {
  std::uint32_t start;   // in code points
  std::uint32_t length;  // in code points
};

// Segment i (from 0) of a text of `length` code points cut into k segments
// with `gap` code points between them: the characters outside the gaps
// spread evenly, the last (length - gap(k - 1)) mod k segments one longer.
// REQUIRES: the cut leaves every segment non-empty.
inline Segment cut_segment(std::uint32_t length, std::uint32_t k, std::uint32_t i, std::uint32_t gap) {
  const std::uint32_t body = length - gap * (k - 1);
  const std::uint32_t base = body / k, extra = body % k;
  const std::uint32_t longer_from = k - extra;
  return Segment{i * (base + gap) + (i > longer_from ? i - longer_from : 0), base + (i >= longer_from ? 1u : 0u)};
}

// The positions q of a query of m code points at which segment number i
// (from 1), `s`, of a text of length l within t of the query may lie
// unchanged (the window above); none when first > last.
// The hash of code points [start, start + length) of a text whose
// code_point_starts are `starts`: the same for a segment where it is cut and
// where a query holds it.
inline std::uint64_t hash_code_points(std::string_view text, const std::vector<std::uint32_t>& starts,
                                      std::size_t start, std::size_t length) {
  const std::uint32_t b0 = starts[start], b1 = starts[start + length];
  return hash_bytes(text.data() + b0, b1 - b0);
}

struct Window {
  std::int64_t first, last;
};
inline Window segment_window(Segment s, std::uint32_t i, std::uint64_t t, std::int64_t m, std::int64_t l) {
  const std::int64_t left = i - 1, right = static_cast<std::int64_t>(t) + 1 - i, p = s.start, shift = m - l;
  return Window{std::max({p - left, p + shift - right, std::int64_t{0}}),
                std::min({p + left, p + shift + right, m - static_cast<std::int64_t>(s.length)})};
}

class SegmentIndex {
 public:
  // REQUIRES: fewer than 2^32 texts; `thresholds` are those of every pair
  // the index will be searched for, or larger; with Reach::kLongerPartners,
  // every search looks up only lengths at least the query's. Texts shorter
  // than `shortest` are left out (another filter holds them).
  // The lengths held by pairs of segments are those whose single segments
  // are shared by `paired_share` texts or more on average (0: every length
  // that may be).
  // Its sort runs on up to `workers` threads, from a task of meter's pool.
  SegmentIndex(const WorkingTexts& texts, const Thresholds& thresholds, std::uint32_t gap, Reach reach,
               std::uint32_t shortest, std::size_t workers, Meter& meter, double paired_share = kPairedShare);

  // The least average number of texts that share a segment of a length held
  // by pairs.
  static constexpr double kPairedShare = 40;

  // Calls keep(id, length, counts, t) for every text that may lie within its
  // pair's threshold t of the query, at least once, whose length lies in
  // [lo, hi]. Ids come in no particular order and may repeat. A segment's
  // entry carries its text's counts, so a caller can rule most texts out
  // without reading them.
  // Given `within`, t is at most that: the argument above holds for any t
  // below the number of segments.
  // REQUIRES: every length in [lo, hi] may pair with the query's.
  // `scratch` is the caller's, reused from query to query.
  struct Probe {
    std::uint64_t key;
    std::uint64_t t;
    std::uint32_t length;
    std::uint32_t first, last;  // the key's bucket of keys, then its postings
  };
  struct Scratch {
    std::vector<Probe> probes;
  };
  template <class Keep>
  void candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi, std::optional<std::uint64_t> within,
                  Scratch& scratch, Keep&& keep) const;

 private:
  std::uint64_t key(std::uint64_t bytes_hash, std::uint32_t length, std::uint32_t i) const;
  // The key of the pair of segments other than segment `left_out`, from
  // their bytes' hashes in order.
  std::uint64_t pair_key(std::uint64_t first_hash, std::uint64_t second_hash, std::uint32_t length,
                         std::uint32_t left_out) const {
    return key(first_hash ^ std::rotl(second_hash * 0x9E3779B97F4A7C15ull, 29), length, kPairKeys + left_out);
  }
  // The segments a paired text is cut into.
  static constexpr std::uint32_t kPairedSegments = 3;
  // The two segments, in order, of the pair that leaves out segment `left_out`.
  static constexpr std::array<std::uint32_t, 2> paired_with(std::uint32_t left_out) {
    return {left_out == 0 ? 1u : 0u, left_out == 2 ? 1u : 2u};
  }
  // Sets a pair's key apart from those of single segments (numbered below k <= l).
  static constexpr std::uint32_t kPairKeys = 0x80000000u;
  std::size_t slot(std::uint64_t key) const { return static_cast<std::size_t>(key >> shift_); }
  // The lookups of the three pairs of a paired length l, at their positions
  // (above), none when |D| > t. Out of line: the loop over the other lengths
  // stays as tight as without it.
  void add_pair_probes(const WorkingQuery& r, std::uint32_t l, std::uint64_t t, std::vector<Probe>& probes) const;
  // Keeps paired_[l] only for the lengths whose segments are shared by
  // `share` texts or more on average.
  void keep_shared_pairs(const WorkingTexts& texts, std::uint32_t shortest, double share, Meter& meter);

  Thresholds thresholds_;
  std::uint32_t gap_;
  // A text under one of its segments, with its counts at hand.
  struct Posting {
    std::uint32_t id;
    CharCounts counts;
  };
  // A distinct segment key and where its texts begin in postings_; they end
  // where the next key's begin. Sorted by key, with one last entry that only
  // ends the list; directory_[b] is the first key whose top bits are at
  // least b.
  struct Key {
    std::uint64_t key;
    std::uint32_t start;
  };
  std::vector<Key> keys_;
  std::vector<Posting> postings_;
  std::vector<std::uint32_t> directory_;
  unsigned shift_ = 63;
  // By length, up to the longest text: the segments its texts are cut into
  // (0: none of them is cut), and where its uncut texts begin in uncut_ (they
  // end where the next length's begin), in id order.
  std::vector<std::uint32_t> segments_;
  std::vector<std::uint8_t> paired_;  // by length: its texts are entered by pairs of segments
  std::vector<std::uint32_t> uncut_from_;
  std::vector<std::uint32_t> uncut_;
  const WorkingTexts& texts_;
};

template <class Keep>
void SegmentIndex::candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi,
                              std::optional<std::uint64_t> within, Scratch& scratch, Keep&& keep) const {
  const std::string_view text = r.text();
  const std::uint64_t end = std::min<std::uint64_t>(hi, segments_.size() - 1);
  // Every lookup's key first, then their directory slots, then their buckets
  // of keys, then their postings, each step's reads started together: the
  // three reads of one lookup wait on each other and miss the cache alike.
  auto& probes = scratch.probes;
  probes.clear();
  for (std::uint64_t l = lo; l <= end; ++l) {
    const std::uint64_t t = std::min(thresholds_.pair(std::max<std::uint64_t>(r.length, l)), within.value_or(UINT64_MAX));
    for (std::uint32_t e = uncut_from_[l]; e < uncut_from_[l + 1]; ++e)
      keep(uncut_[e], static_cast<std::uint32_t>(l), texts_.counts(uncut_[e]), t);
    const std::uint32_t k = segments_[l];
    if (k == 0) continue;
    if (paired_[l]) {
      add_pair_probes(r, static_cast<std::uint32_t>(l), t, probes);
      continue;
    }
    // t < k for a length that may pair with the query's (thresholds.h); the
    // bound only keeps the reads within the segments.
    const std::uint32_t looked_up = static_cast<std::uint32_t>(std::min<std::uint64_t>(t + 1, k));
    for (std::uint32_t i = 1; i <= looked_up; ++i) {
      const Segment s = cut_segment(static_cast<std::uint32_t>(l), k, i - 1, gap_);
      const Window w = segment_window(s, i, t, r.length, static_cast<std::int64_t>(l));
      for (std::int64_t q = w.first; q <= w.last; ++q) {
        const std::uint64_t h = key(hash_code_points(text, r.starts, static_cast<std::size_t>(q), s.length),
                                    static_cast<std::uint32_t>(l), i - 1);
        probes.push_back({h, t, static_cast<std::uint32_t>(l), 0, 0});
        __builtin_prefetch(&directory_[slot(h)]);
      }
    }
  }
  for (Probe& p : probes) {
    const std::size_t b = slot(p.key);
    p.first = directory_[b];
    p.last = directory_[b + 1];
    __builtin_prefetch(&keys_[p.first]);  // keys_ ends with an entry no bucket holds
  }
  for (Probe& p : probes) {
    std::uint32_t u = p.first;
    while (u < p.last && keys_[u].key != p.key) ++u;
    if (u < p.last) {
      p.first = keys_[u].start;
      p.last = keys_[u + 1].start;
      __builtin_prefetch(&postings_[p.first]);
    } else {
      p.first = p.last = 0;
    }
  }
  for (const Probe& p : probes)
    for (std::uint32_t e = p.first; e < p.last; ++e) keep(postings_[e].id, p.length, postings_[e].counts, p.t);
}

}  // namespace quillmatch::join
