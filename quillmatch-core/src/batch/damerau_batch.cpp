// Optimal string alignment distances of one query against many candidates.
#include "batch/distance_batch.h"

namespace quillmatch {

DistanceScorer DistanceScorer::damerau(TextView query, bool case_insensitive) {
  return DistanceScorer(
      distance_scorer_state<OsaWord, OsaLanes, OsaBlockLanes, damerau_bp>(query,
                                                                            case_insensitive));
}

std::vector<std::uint64_t> damerau_batch(TextView query, std::span<const TextView> candidates,
                                         bool case_insensitive) {
  std::vector<std::uint64_t> out(candidates.size());
  DistanceScorer::damerau(query, case_insensitive).score(candidates, out);
  return out;
}

}  // namespace quillmatch
