// The frame the two edit-distance batch engines share: the query prepared once,
// the single-word ASCII fast path, and the kernel for every other candidate.
//
// The engines touch no interpreter object and allocate nothing per fast-path
// candidate, so they may run with the interpreter lock released.
// REQUIRES: every candidate view stays valid and unchanged until the call returns.
#pragma once

#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "bit_parallel.h"

namespace quillmatch {

template <class Word, auto kernel>
std::uint64_t score_candidate(const PreparedQuery& query, std::string_view candidate) {
  // Counted on the unfolded candidate: the empty query's rule does not fold.
  if (query.length == 0) return count_code_points(candidate);
  if (query.fast && is_ascii(candidate)) {
    if (candidate.empty()) return query.length;
    // The kernel's own single-word scan; the doubled masks stand in for folding.
    Word scan(query.length, query.top);
    for (unsigned char b : candidate) scan.step(query.masks[b]);
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

// The lane engine: the ASCII candidates of a fast query scanned kCount at a
// time, one per lane of T bits, T the narrowest lane that holds the query.
//
// A lane takes a candidate of 1 to max(T) bytes, so its score (at most the
// larger of the two lengths) fits in the lane; longer and non-ASCII candidates
// take score_candidate. Within a slice of candidates the lane candidates are
// ordered by length (lengths of 63 and more share one bucket), so the lanes of
// a group end at nearly the same step.
//
// Candidate bytes reach the lanes through a transposed block: for kBlockSteps
// text positions at a time, row j holds the query mask of byte j of every
// lane's candidate, narrowed to T, and zero past a candidate's end. One load
// then gives the step its lane masks.
template <template <class> class LaneStep, class T>
class LaneEngine {
 public:
  using V = simd::Lanes<T>;
  static constexpr std::size_t kLanes = V::kCount;
  static constexpr std::uint64_t kMaxLength = T(~T{0});
  static constexpr std::size_t kSlice = 256;
  static constexpr std::size_t kBlockSteps = 64;
  static constexpr std::size_t kBuckets = 64;

  // REQUIRES: query.fast and query.length <= bits of T.
  explicit LaneEngine(const PreparedQuery& query) : query_(query) {
    for (std::size_t b = 0; b < 256; ++b) masks_[b] = static_cast<T>(query.masks[b]);
  }

  // True when `text` is a lane candidate.
  static bool takes(std::string_view text) {
    return text.size() - 1 < kMaxLength && is_ascii(text);
  }

  // Scores the lane candidates text[order[i]], writing out[order[i]].
  // REQUIRES: order.size() <= kSlice; every listed text is a lane candidate.
  void score(std::span<const TextView> texts, std::span<const std::uint16_t> order,
             std::span<std::uint64_t> out) const {
    std::uint16_t sorted[kSlice];
    std::size_t counts[kBuckets + 1] = {};
    auto bucket = [&](std::uint16_t k) {
      return std::min<std::size_t>(texts[k].size, kBuckets - 1);
    };
    for (std::uint16_t k : order) ++counts[bucket(k) + 1];
    for (std::size_t b = 1; b <= kBuckets; ++b) counts[b] += counts[b - 1];
    for (std::uint16_t k : order) sorted[counts[bucket(k)]++] = k;
    for (std::size_t i = 0; i < order.size(); i += kLanes) {
      const std::size_t n = std::min(kLanes, order.size() - i);
      score_group(texts, std::span<const std::uint16_t>(sorted + i, n), out);
    }
  }

 private:
  void score_group(std::span<const TextView> texts, std::span<const std::uint16_t> group,
                   std::span<std::uint64_t> out) const {
    // Unused lanes have length 0: they retire before the first step.
    alignas(32) T lengths[kLanes] = {};
    const unsigned char* bytes[kLanes] = {};
    std::size_t steps = 0;
    for (std::size_t k = 0; k < group.size(); ++k) {
      const TextView& t = texts[group[k]];
      lengths[k] = static_cast<T>(t.size);
      bytes[k] = reinterpret_cast<const unsigned char*>(t.data);
      steps = std::max(steps, t.size);
    }
    const V lane_lengths = V::load(lengths);
    LaneStep<T> scan(query_.length, query_.top);
    alignas(32) T block[kBlockSteps * kLanes];
    for (std::size_t j0 = 0; j0 < steps; j0 += kBlockSteps) {
      const std::size_t j1 = std::min(j0 + kBlockSteps, steps);
      for (std::size_t k = 0; k < kLanes; ++k) {
        const std::size_t end = std::clamp<std::size_t>(lengths[k], j0, j1);
        T* column = block + k - j0 * kLanes;
        for (std::size_t j = j0; j < end; ++j) column[j * kLanes] = masks_[bytes[k][j]];
        for (std::size_t j = end; j < j1; ++j) column[j * kLanes] = 0;
      }
      for (std::size_t j = j0; j < j1; ++j) {
        // The lanes whose candidate has exactly j bytes are done before step j.
        scan.retire(lane_lengths == V::splat(static_cast<T>(j)));
        scan.step(V::load(block + (j - j0) * kLanes));
      }
    }
    alignas(32) T scores[kLanes];
    scan.score.store(scores);
    for (std::size_t k = 0; k < group.size(); ++k) out[group[k]] = scores[k];
  }

  const PreparedQuery& query_;
  T masks_[256];
};

// A chunk through the lane engine: slices of up to kSlice candidates, the lane
// candidates of each slice scored together, every other one by score_candidate.
template <class Word, template <class> class LaneStep, auto kernel, class T>
void score_chunk_lanes(const PreparedQuery& query, std::span<const TextView> candidates,
                       std::span<std::uint64_t> out) {
  using Engine = LaneEngine<LaneStep, T>;
  const Engine engine(query);
  for (std::size_t base = 0; base < candidates.size(); base += Engine::kSlice) {
    const std::size_t n = std::min(Engine::kSlice, candidates.size() - base);
    const auto slice = candidates.subspan(base, n);
    const auto slice_out = out.subspan(base, n);
    std::uint16_t order[Engine::kSlice];
    std::size_t lanes = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const std::string_view text = slice[k].view();
      if (Engine::takes(text))
        order[lanes++] = static_cast<std::uint16_t>(k);
      else
        slice_out[k] = score_candidate<Word, kernel>(query, text);
    }
    engine.score(slice, std::span<const std::uint16_t>(order, lanes), slice_out);
  }
}

struct DistanceScorer::State {
  PreparedQuery query;
  void (*score)(const PreparedQuery&, std::span<const TextView>, std::span<std::uint64_t>);
};

// The chunk scorer for this query: lanes of the narrowest width that hold a
// fast query, candidate by candidate otherwise.
template <class Word, template <class> class LaneStep, auto kernel>
std::unique_ptr<const DistanceScorer::State> distance_scorer_state(TextView query,
                                                                   bool case_insensitive) {
  PreparedQuery prepared(query, case_insensitive);
  auto chunk = score_chunk<Word, kernel>;
  if (prepared.fast) {
    const std::uint64_t m = prepared.length;
    chunk = m <= 8    ? score_chunk_lanes<Word, LaneStep, kernel, std::uint8_t>
            : m <= 16 ? score_chunk_lanes<Word, LaneStep, kernel, std::uint16_t>
            : m <= 32 ? score_chunk_lanes<Word, LaneStep, kernel, std::uint32_t>
                      : score_chunk_lanes<Word, LaneStep, kernel, std::uint64_t>;
  }
  return std::make_unique<const DistanceScorer::State>(
      DistanceScorer::State{std::move(prepared), chunk});
}

}  // namespace quillmatch
