// Levenshtein distances of one query against many candidates.
#include "distance_batch.h"

namespace quillmatch {

std::vector<std::uint64_t> levenshtein_batch(TextView query, std::span<const TextView> candidates,
                                             bool case_insensitive) {
  return distance_batch<LevenshteinWord, levenshtein_bp>(query, candidates, case_insensitive);
}

}  // namespace quillmatch
