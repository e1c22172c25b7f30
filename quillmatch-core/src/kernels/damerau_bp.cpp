// Optimal string alignment (restricted Damerau) distance of two texts,
// bit-parallel over 64-bit words. The roles of the texts never change and
// nothing is stripped: str_1 is the pattern, str_2 is scanned.
#include "kernels/bit_parallel.h"

namespace quillmatch {

Result<std::uint64_t> damerau_bp(TextView str_1, TextView str_2,
                                 std::optional<std::uint64_t> max_len, bool case_insensitive,
                                 std::optional<std::uint64_t> score_cutoff) {
  return bit_parallel_distance<OsaWord, OsaBlock>(str_1, str_2, max_len, case_insensitive,
                                                  score_cutoff);
}

}  // namespace quillmatch
