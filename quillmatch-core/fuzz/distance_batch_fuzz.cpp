// levenshtein_batch and damerau_batch against their kernels, candidate by
// candidate, through the public functions only: whatever the engines do inside
// (fast paths today, SIMD lanes later), every entry must be the kernel's
// distance, and for the empty query the candidate's unfolded code-point count.
#include "fuzz_harness.h"

namespace quillmatch::fuzz {
namespace {

using Kernel = Result<std::uint64_t> (*)(TextView, TextView, std::optional<std::uint64_t>, bool,
                                         std::optional<std::uint64_t>);
using Engine = std::vector<std::uint64_t> (*)(TextView, std::span<const TextView>, bool);

void check_engine(const char* name, Engine engine, Kernel kernel, const Batch& batch, bool fold) {
  const std::span<const TextView> candidates = candidate_views(batch);
  const std::vector<std::uint64_t> got = engine(batch.query_view, candidates, fold);
  const auto context = [&] {
    return std::string(name) + "\n  query = " + show(batch.query) +
           "\n  case_insensitive = " + (fold ? "true" : "false") + "\n  " +
           std::to_string(candidates.size()) + " candidates";
  };
  QM_FUZZ_CHECK(got.size() == candidates.size(), context());
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const Result<std::uint64_t> want =
        batch.query.empty()
            ? Result<std::uint64_t>(batch.candidates[k].size())
            : kernel(batch.query_view, candidates[k], std::nullopt, fold, std::nullopt);
    QM_FUZZ_CHECK_RESULT(Result<std::uint64_t>(got[k]), want,
                         context() + "\n  candidate " + std::to_string(k) + " = " +
                             show(batch.candidates[k]));
  }
}

}  // namespace
}  // namespace quillmatch::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmatch;
  using namespace quillmatch::fuzz;
  FuzzInput in(data, size);
  const bool fold = in.flag();
  Batch batch;
  fill_batch(in, batch);
  check_engine("levenshtein_batch", levenshtein_batch, levenshtein_bp, batch, fold);
  check_engine("damerau_batch", damerau_batch, damerau_bp, batch, fold);
  return 0;
}
