// The self join of an edit distance with a fixed cutoff as two steps around
// a shuffle, for a host that groups rows by key across machines (Dask,
// Spark): key_rows() turns each text into rows (key, id, role), the host
// brings the rows of each key together, and bucket_pairs() scores the pairs
// met in each group of rows, keeping each pair in one group only.
//
// The keys are the partition filter's (src/join/segments.h): a text whose
// length is cut into segments gives one index row per segment, and every
// text gives one probe row per substring that a cut partner's segment may
// match, per partner length and window; texts too short to be cut meet
// through keys of length bands instead (src/join/keyed.cpp says how, and why
// every pair within the cutoff shares a key).
//
// Keys are a fixed function of the working forms' UTF-8 bytes, lengths and
// segment numbers, the same on every machine, process and run: rows made by
// different workers meet. They are a wire format; changing them changes which
// rows meet, so rows of two versions must never be mixed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quillmatch/quillmatch.h"

namespace quillmatch {

inline constexpr std::int8_t kIndexRow = 0;
inline constexpr std::int8_t kProbeRow = 1;

struct KeyedJoin {
  Measure measure = Measure::kLevenshtein;  // kLevenshtein or kDamerau
  std::uint64_t max_distance = 0;           // pairs at distance <= this are kept
  // Instead, a normalized cutoff: pairs whose normalized similarity
  // 1 - d / max(m, n) is at least this are kept. Each pair is found from its
  // shorter text, and each text is cut for its own threshold (join/thresholds.h).
  // REQUIRES: `longest` is given, as every partner length up to it is probed.
  std::optional<double> min_similarity;
  bool case_insensitive = false;
  // Only the top key_bits bits of each key are kept (1 to 64). Fewer bits
  // only make keys collide: more candidates, the same pairs.
  unsigned key_bits = 64;
  // A bound on the working length (in code points) of every text of the
  // join, when known: partner lengths above it are not probed. Without it, a
  // cutoff near or above the texts' lengths probes every length up to
  // m + cutoff for a text of length m.
  std::uint64_t longest = UINT32_MAX;
};

struct KeyRows {
  std::vector<std::uint64_t> keys;
  std::vector<std::int64_t> ids;
  std::vector<std::int8_t> roles;  // kIndexRow or kProbeRow
};

// Appends the rows of each text: texts[k] under ids[k], or under k when ids
// is empty. A text's rows are distinct (key, role) pairs. Returns the
// position of the first text longer than join.longest, if any, and stops
// there.
// REQUIRES: ids is empty or of texts' size; the measure is not Jaro-Winkler.
std::optional<std::size_t> key_rows(const KeyedJoin& join, std::span<const TextView> texts, std::span<const std::int64_t> ids,
              KeyRows& out);

struct KeyedPairs {
  std::vector<std::int64_t> left, right;  // left < right
  std::vector<std::uint64_t> distances;   // fixed cutoff
  std::vector<double> similarities;       // normalized cutoff
};

// Appends the pairs found in one group of rows (any rows key_rows() gave,
// row k's text being texts[k]): each pair of an index row and a probe row of
// the same key, of different ids, whose distance is within the cutoff and
// whose canonical meeting is this one. A pair's canonical meeting is the
// smallest key both texts share as index and probe, with the index side's
// text the one of smaller id when both sides share it; it is recomputed here
// from the two texts. So, over groups that partition the probe rows of every
// key, each holding every index row of the keys of its probe rows, each pair
// within the cutoff is appended exactly once. Rows may repeat.
// REQUIRES: the spans are of one size; rows of one id carry one text; fewer
// than 2^32 distinct ids; `join` is the one the rows were made with.
void bucket_pairs(const KeyedJoin& join, std::span<const std::uint64_t> keys, std::span<const std::int64_t> ids,
                  std::span<const std::int8_t> roles, std::span<const TextView> texts, KeyedPairs& out);

}  // namespace quillmatch
