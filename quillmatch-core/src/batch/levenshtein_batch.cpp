// Levenshtein distances of one query against many candidates.
#include "batch/distance_batch.h"

namespace quillmatch {

DistanceScorer::DistanceScorer(std::unique_ptr<const State> state) : state_(std::move(state)) {}
DistanceScorer::DistanceScorer(DistanceScorer&&) noexcept = default;
DistanceScorer& DistanceScorer::operator=(DistanceScorer&&) noexcept = default;
DistanceScorer::~DistanceScorer() = default;

void DistanceScorer::score(std::span<const TextView> candidates,
                           std::span<std::uint64_t> out) const {
  state_->score(state_->query, candidates, out);
}

DistanceScorer DistanceScorer::levenshtein(TextView query, bool case_insensitive) {
  return DistanceScorer(
      distance_scorer_state<LevenshteinWord, LevenshteinLanes, LevenshteinBlockLanes,
                            levenshtein_bp>(query, case_insensitive));
}

std::vector<std::uint64_t> levenshtein_batch(TextView query, std::span<const TextView> candidates,
                                             bool case_insensitive) {
  std::vector<std::uint64_t> out(candidates.size());
  DistanceScorer::levenshtein(query, case_insensitive).score(candidates, out);
  return out;
}

}  // namespace quillmatch
