// Optimal string alignment distances of one query against many candidates.
#include "distance_batch.h"

namespace quillmatch {

std::vector<std::uint64_t> damerau_batch(TextView query, std::span<const TextView> candidates,
                                         bool case_insensitive) {
  return distance_batch<OsaWord, damerau_bp>(query, candidates, case_insensitive);
}

}  // namespace quillmatch
