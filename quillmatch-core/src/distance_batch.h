// The frame the two edit-distance batch engines share: the query prepared once,
// the single-word ASCII fast path, and the kernel for every other candidate.
//
// The engines touch no interpreter object and allocate nothing per fast-path
// candidate, so they may run with the interpreter lock released.
// REQUIRES: every candidate view stays valid and unchanged until the call returns.
#pragma once

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

struct DistanceScorer::State {
  PreparedQuery query;
  void (*score)(const PreparedQuery&, std::span<const TextView>, std::span<std::uint64_t>);
};

template <class Word, auto kernel>
std::unique_ptr<const DistanceScorer::State> distance_scorer_state(TextView query,
                                                                   bool case_insensitive) {
  return std::make_unique<const DistanceScorer::State>(
      DistanceScorer::State{PreparedQuery(query, case_insensitive), score_chunk<Word, kernel>});
}

}  // namespace quillmatch
