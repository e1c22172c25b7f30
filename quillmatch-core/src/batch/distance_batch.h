// The frame the two edit-distance batch engines share: the query prepared once,
// the lane engines (many candidates per vector register), the single-word ASCII
// scan, and the kernel for every other candidate.
//
// The engines touch no interpreter object and allocate nothing per fast-path
// candidate (the block lane engine allocates once per chunk), so they may run
// with the interpreter lock released.
// REQUIRES: every candidate view stays valid and unchanged until the call returns.
#pragma once

#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "kernels/bit_parallel.h"
#include "batch/slices.h"

namespace quillmatch {

template <class Word, auto kernel>
std::uint64_t score_candidate(const PreparedQuery& query, std::string_view candidate) {
  // Counted on the unfolded candidate: the empty query's rule does not fold.
  if (query.length == 0) return count_code_points(candidate);
  // The kernel's own single-word scan. Folding, the doubled masks stand in for
  // it on ASCII candidates; a code point beyond ASCII may fold to ASCII, so
  // the kernel takes those. Unfolded, a code point beyond ASCII equals none of
  // an ASCII query's: it steps with an empty mask (its first byte's, as the
  // masks of bytes from 0x80 are empty), and its other bytes take no step.
  // A query beyond ASCII, unfolded, is scanned the same way over code points,
  // each stepping with the query's mask of it (empty for one it lacks).
  const bool by_byte = query.fast && (!query.case_insensitive || is_ascii(candidate));
  if (by_byte || query.by_code_point) {
    if (candidate.empty()) return query.length;
    Word scan(query.length, query.top);
    if (by_byte) {
      for (unsigned char b : candidate)
        if (!is_continuation(b)) scan.step(query.masks[b]);
    } else {
      for_each_code_point(candidate, [&](char32_t cp) { scan.step(query.mask(cp)); });
    }
    return scan.score;
  }
  // Without max_len the kernel cannot fail; value() would report a broken
  // invariant as an internal fault.
  return kernel(TextView(query.query), TextView(candidate), std::nullopt, query.case_insensitive,
                std::nullopt)
      .value();
}

template <class Word, auto kernel>
void score_chunk(const PreparedQuery& query, std::span<const TextView> candidates,
                 std::span<std::uint64_t> out) {
  for (std::size_t k = 0; k < candidates.size(); ++k)
    out[k] = score_candidate<Word, kernel>(query, candidates[k].view());
}

// The lane engine: the candidates of a query the lanes take (fast, or latin1:
// see PreparedQuery) scanned kLanes at a time, one per lane of T bits, T the
// narrowest lane that holds the query.
//
// A lane takes a candidate of 1 to max(T) bytes, so its score (at most the
// larger of the two lengths) fits in the lane; longer candidates take
// score_candidate. Whether a candidate is ASCII is learnt while its bytes are
// read into the lanes: the result of a lane that met a byte of 0x80 or above
// is discarded (it only ever read in-bounds table entries), and once the
// slice's ASCII candidates are scored, those candidates go through the lanes
// again as one byte per code point (narrow_beyond_ascii), or, failing that,
// take score_candidate. Within a slice the lane candidates are ordered by
// length (lengths of 63 and more share one bucket), so the lanes of a group
// end at nearly the same step.
//
// Candidate bytes reach the lanes through a transposed block (fill_rows): for
// kBlockSteps text positions at a time, row j holds the query mask of byte j
// of every lane's candidate, narrowed to T. Past a candidate's end the row
// holds the mask of no byte of it (what an earlier group left, or byte 0's):
// that lane is retired, its score no longer moves, and the rest of its column
// state is never read.
template <class Word, template <class> class LaneStep, auto kernel, class T>
class LaneEngine {
 public:
  using V = simd::Lanes<T>;
  static constexpr std::size_t kLanes = V::kCount;
  static constexpr std::uint64_t kMaxLength = T(~T{0});
  static constexpr std::size_t kSlice = 256;
  static constexpr std::size_t kBlockSteps = 64;
  static constexpr std::size_t kBuckets = 64;

  // REQUIRES: query.lanes() and query.length <= bits of T; `query` outlives the engine.
  explicit LaneEngine(const PreparedQuery& query) : query_(query), fill_(narrow(query, masks_)) {}

  void score_chunk(std::span<const TextView> candidates, std::span<std::uint64_t> out) {
    for_each_slice(candidates, kSlice, [&](std::size_t base, std::size_t n, SliceAhead& ahead) {
      score_slice(candidates.subspan(base, n), out.subspan(base, n), ahead);
    });
  }

 private:
  // Unused lanes (size 0) retire before the first step.
  using Ordered = LaneOrder<T, kSlice, kLanes>;

  void score_slice(std::span<const TextView> texts, std::span<std::uint64_t> out,
                   SliceAhead& ahead) {
    Ordered o;
    const std::size_t lanes = order_lane_candidates<kBuckets>(
        texts, [](std::size_t size) { return size - 1 < kMaxLength; },
        [](std::size_t size) { return std::min<std::size_t>(size, kBuckets - 1); },
        [&](std::size_t at, std::size_t k) { o.put(at, k, texts[k]); },
        [&](std::size_t k) { out[k] = score_candidate<Word, kernel>(query_, texts[k].view()); });
    o.end(lanes);
    beyond_.restart();
    for (std::size_t i = 0; i < lanes; i += kLanes) {
      const std::size_t n = std::min(kLanes, lanes - i);
      ahead.fetch(n);
      score_group(o, i, n, out, &beyond_);
    }
    if (beyond_.found) score_beyond_ascii(texts, out);
  }

  // The slice's candidates that met a byte of 0x80 or above, narrowed and
  // scored in lanes again.
  void score_beyond_ascii(std::span<const TextView> texts, std::span<std::uint64_t> out) {
    beyond_.narrow(texts, query_.case_insensitive, query_.absent,
                   [&](std::size_t c) { out[c] = score_candidate<Word, kernel>(query_, texts[c].view()); });
    Ordered o;
    const std::size_t lanes =
        beyond_.template order<kBuckets>(o, [](std::size_t size) { return std::min<std::size_t>(size, kBuckets - 1); });
    std::uint64_t got[kSlice];
    for (std::size_t i = 0; i < lanes; i += kLanes) score_group(o, i, std::min(kLanes, lanes - i), got, nullptr);
    for (std::size_t k = 0; k < lanes; ++k) out[beyond_.of[k]] = got[k];
  }

  // The group of the n candidates from place i of the order, whose scores go
  // to out; with `beyond`, a candidate that met a byte of 0x80 or above goes
  // there instead (its lane read a table entry of no code point), and without
  // it every lane's score is taken (the texts are narrowed). Inlined
  // into the slice's loop whatever the compiler's estimate of its size: out
  // of line (clang's choice) a call per group costs a few per cent.
  template <class Out>
  __attribute__((always_inline)) void score_group(const Ordered& o, std::size_t i, std::size_t n, Out&& out,
                                                  BeyondAscii<kSlice>* beyond) {
    const T* lengths = o.sizes + i;
    const unsigned char* const* bytes = o.bytes + i;
    unsigned char high[kLanes] = {};  // the OR of every byte of the lane
    // Ordered by size up to the last bucket: the last is the longest, unless
    // it shares the last bucket with others.
    std::size_t steps = lengths[n - 1];
    if (steps >= kBuckets - 1) steps = *std::max_element(lengths, lengths + n);
    const V lane_lengths = V::load(lengths);
    LaneStep<T> scan(query_.length, query_.top);
    for (std::size_t j0 = 0; j0 < steps; j0 += kBlockSteps) {
      const std::size_t j1 = std::min(j0 + kBlockSteps, steps);
      fill_rows(fill_, masks_, bytes, lengths, n, j0, j1, block_, high);
      for (std::size_t j = j0; j < j1; ++j) {
        // The lanes whose candidate has exactly j bytes are done before step j.
        scan.retire(lane_lengths == V::splat(static_cast<T>(j)));
        scan.step(V::load(block_ + (j - j0) * kLanes));
      }
    }
    alignas(32) T scores[kLanes];
    scan.score.store(scores);
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint16_t c = o.place[i + k];
      if (beyond && high[k] >= 0x80)
        beyond->add(c);
      else
        out[c] = scores[k];
    }
  }

  // The query's masks narrowed to T, into `masks`.
  static const T* narrow(const PreparedQuery& query, T (&masks)[256]) {
    for (std::size_t b = 0; b < 256; ++b) masks[b] = static_cast<T>(query.masks[b]);
    return masks;
  }

  static_assert(BeyondAscii<kSlice>::kLongest <= kMaxLength);

  const PreparedQuery& query_;
  T masks_[256];
  LaneFill<T> fill_;
  alignas(32) T block_[kBlockSteps * kLanes] = {};
  BeyondAscii<kSlice> beyond_;
};

// Below this many candidates a chunk is scored candidate by candidate: the
// lanes' set-up (the query's masks narrowed, the fill's tables) costs more
// than they save. Each lane's score is score_candidate's, so either way gives
// the same scores.
inline constexpr std::size_t kFewForLanes = 8;

template <class Word, template <class> class LaneStep, auto kernel, class T>
void score_chunk_lanes(const PreparedQuery& query, std::span<const TextView> candidates,
                       std::span<std::uint64_t> out) {
  if (candidates.size() < kFewForLanes) return score_chunk<Word, kernel>(query, candidates, out);
  LaneEngine<Word, LaneStep, kernel, T>(query).score_chunk(candidates, out);
}

// The lane engine of a pure ASCII query of more than 64 bytes: kLanes (four
// with AVX2) candidates at a time, one per 64-bit lane, each lane running the
// block scan over all W words. Every nonempty candidate takes a lane; as in LaneEngine, one that
// turns out not to be ASCII is scored again by score_candidate, and candidates
// are ordered by length (in steps of 16 bytes) so a group's lanes end together.
// Each step reads one byte per lane and transposes the kLanes mask rows into
// W words of kLanes lanes (W is a multiple of 4, so of kLanes).
template <class Word, class BlockLanes, auto kernel>
class BlockLaneEngine {
 public:
  using V = simd::Lanes<std::uint64_t>;
  static constexpr std::size_t kLanes = V::kCount;
  static constexpr std::size_t kSlice = 256;
  static constexpr std::size_t kBuckets = 64;

  // REQUIRES: query.rows is filled; `query` outlives the engine.
  explicit BlockLaneEngine(const PreparedQuery& query)
      : query_(query), scan_(query.length), pm_(2 * query.row_words) {}

  void score_chunk(std::span<const TextView> candidates, std::span<std::uint64_t> out) {
    for (std::size_t base = 0; base < candidates.size(); base += kSlice) {
      const std::size_t n = std::min(kSlice, candidates.size() - base);
      const auto texts = candidates.subspan(base, n);
      const auto texts_out = out.subspan(base, n);
      std::uint16_t sorted[kSlice];
      const std::size_t lanes = order_lane_candidates<kBuckets>(
          texts, [](std::size_t size) { return size > 0; },
          [](std::size_t size) { return std::min<std::size_t>(size / 16, kBuckets - 1); },
          [&](std::size_t at, std::size_t k) { sorted[at] = static_cast<std::uint16_t>(k); },
          [&](std::size_t k) { texts_out[k] = score_candidate<Word, kernel>(query_, texts[k].view()); });
      for (std::size_t i = 0; i < lanes; i += kLanes) {
        const std::size_t group = std::min(kLanes, lanes - i);
        score_group(texts, std::span<const std::uint16_t>(sorted + i, group), texts_out);
      }
    }
  }

 private:
  void score_group(std::span<const TextView> texts, std::span<const std::uint16_t> group,
                   std::span<std::uint64_t> out) {
    // Unused lanes have length 0: they retire before the first step.
    alignas(32) std::uint64_t lengths[kLanes] = {};
    const unsigned char* bytes[kLanes] = {};
    unsigned char high[kLanes] = {};  // the OR of every byte of the lane
    std::size_t steps = 0;
    for (std::size_t k = 0; k < group.size(); ++k) {
      const TextView& t = texts[group[k]];
      lengths[k] = t.size;
      bytes[k] = reinterpret_cast<const unsigned char*>(t.data);
      steps = std::max(steps, t.size);
    }
    const V lane_lengths = V::load(lengths);
    const std::size_t words = query_.row_words;
    BlockLanes& scan = scan_;
    scan.restart();
    for (std::size_t j = 0; j < steps; ++j) {
      scan.retire(lane_lengths == V::splat(j));
      const std::uint64_t* rows[kLanes];
      for (std::size_t k = 0; k < kLanes; ++k) {
        const unsigned char b = j < lengths[k] ? bytes[k][j] : 0;
        high[k] |= b;
        rows[k] = query_.rows.data() + b * words;
      }
      // Two buffers in turn: the OSA step reads the previous step's masks.
      V* pm = pm_.data() + (j % 2) * words;
      for (std::size_t w = 0; w < words; w += kLanes) simd::transpose_square(rows, w, pm + w);
      scan.step(pm);
    }
    alignas(32) std::uint64_t scores[kLanes];
    scan.score.store(scores);
    for (std::size_t k = 0; k < group.size(); ++k) {
      const std::uint16_t i = group[k];
      out[i] = high[k] < 0x80 ? scores[k] : score_candidate<Word, kernel>(query_, texts[i].view());
    }
  }

  const PreparedQuery& query_;
  BlockLanes scan_;
  std::vector<V> pm_;
};

template <class Word, class BlockLanes, auto kernel>
void score_chunk_block_lanes(const PreparedQuery& query, std::span<const TextView> candidates,
                             std::span<std::uint64_t> out) {
  BlockLaneEngine<Word, BlockLanes, kernel>(query).score_chunk(candidates, out);
}

struct DistanceScorer::State {
  PreparedQuery query;
  void (*score)(const PreparedQuery&, std::span<const TextView>, std::span<std::uint64_t>);
};

// The chunk scorer for this query: lanes of the narrowest width that hold a
// fast query, block lanes for a longer ASCII query, candidate by candidate
// otherwise.
template <class Word, template <class> class LaneStep, class BlockLanes, auto kernel>
std::unique_ptr<const DistanceScorer::State> distance_scorer_state(TextView query,
                                                                   bool case_insensitive) {
  PreparedQuery prepared(query, case_insensitive);
  auto chunk = score_chunk<Word, kernel>;
  if (prepared.lanes()) {
    const std::uint64_t m = prepared.length;
    chunk = m <= 8    ? score_chunk_lanes<Word, LaneStep, kernel, std::uint8_t>
            : m <= 16 ? score_chunk_lanes<Word, LaneStep, kernel, std::uint16_t>
            : m <= 32 ? score_chunk_lanes<Word, LaneStep, kernel, std::uint32_t>
                      : score_chunk_lanes<Word, LaneStep, kernel, std::uint64_t>;
  } else if (!prepared.rows.empty()) {
    chunk = score_chunk_block_lanes<Word, BlockLanes, kernel>;
  }
  return std::make_unique<const DistanceScorer::State>(
      DistanceScorer::State{std::move(prepared), chunk});
}

}  // namespace quillmatch
