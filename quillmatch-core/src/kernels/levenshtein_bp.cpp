// Levenshtein distance of two texts, bit-parallel over 64-bit words.
#include "kernels/bit_parallel.h"

namespace quillmatch {

Result<std::uint64_t> levenshtein_bp(TextView str_1, TextView str_2,
                                     std::optional<std::uint64_t> max_len, bool case_insensitive,
                                     std::optional<std::uint64_t> score_cutoff) {
  return bit_parallel_distance<LevenshteinWord, LevenshteinBlock>(str_1, str_2, max_len,
                                                                  case_insensitive, score_cutoff);
}

}  // namespace quillmatch
