// levenshtein_batch and damerau_batch against their kernels, candidate by
// candidate, through the public functions only: whatever the engines do inside
// (lanes of every width, block lanes, the single-word scan), every entry must be
// the kernel's distance, and for the empty query the candidate's unfolded
// code-point count. The queries cover every lane width (1 to 8, 9 to 16, 17 to
// 32, 33 to 64 code points) and block lanes of 2 to 7 words; the scorers also
// run chunk by chunk, since the lane engines group each chunk on their own.
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

void check_chunks(const char* name, DistanceScorer (*make)(TextView, bool), Engine engine,
                  const Batch& batch, bool fold, std::size_t chunk) {
  const std::span<const TextView> candidates = candidate_views(batch);
  const std::vector<std::uint64_t> whole = engine(batch.query_view, candidates, fold);
  const DistanceScorer scorer = make(batch.query_view, fold);
  std::vector<std::uint64_t> got(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); i += chunk) {
    const std::size_t n = std::min(chunk, candidates.size() - i);
    scorer.score(candidates.subspan(i, n), std::span(got).subspan(i, n));
  }
  for (std::size_t k = 0; k < candidates.size(); ++k)
    QM_FUZZ_CHECK(got[k] == whole[k],
                  std::string(name) + " in chunks of " + std::to_string(chunk) + ": " +
                      show(got[k]) + " against " + show(whole[k]) + "\n  query = " +
                      show(batch.query) + "\n  candidate " + std::to_string(k) + " = " +
                      show(batch.candidates[k]));
}

// A query of 257 to 400 code points, past what the shared batch draws, so that
// block lanes and the kernel's block scan run over 5 to 7 words; candidates as
// in fill_batch, fewer of them.
void fill_long_query_batch(FuzzInput& in, Batch& batch) {
  batch.query = random_text(in, 257 + in.below(144), pick_alphabet(in));
  for (std::uint64_t k = 1 + in.below(6); k > 0; --k) {
    switch (in.below(4)) {
      case 0: case 1: batch.candidates.push_back(near_copy(in, batch.query)); break;
      case 2: batch.candidates.emplace_back(); break;
      default: batch.candidates.push_back(random_text(in, 130, true)); break;
    }
  }
  batch.query_view = batch.texts.add(batch.query);
  for (const std::u32string& c : batch.candidates) batch.texts.add(c);
}

}  // namespace

void fuzz_one(FuzzInput& in) {
  const bool fold = in.flag();
  Batch batch;
  if (in.below(16) == 0)
    fill_long_query_batch(in, batch);
  else
    fill_batch(in, batch);
  check_engine("levenshtein_batch", levenshtein_batch, levenshtein_bp, batch, fold);
  check_engine("damerau_batch", damerau_batch, damerau_bp, batch, fold);
  const std::size_t chunk = 1 + in.below(40);
  check_chunks("levenshtein scorer", DistanceScorer::levenshtein, levenshtein_batch, batch, fold,
               chunk);
  check_chunks("damerau scorer", DistanceScorer::damerau, damerau_batch, batch, fold, chunk);
}

}  // namespace quillmatch::fuzz
