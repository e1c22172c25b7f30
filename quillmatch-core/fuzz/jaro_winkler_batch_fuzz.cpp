// jaro_winkler_batch against jaro_winkler, candidate by candidate and bit for
// bit, through the public functions only, for any prefix scale: a bad one must
// give InvalidPrefixScale whatever the candidates.
#include "fuzz_harness.h"

namespace quillmatch::fuzz {

void fuzz_one(FuzzInput& in) {
  const bool fold = in.flag();
  const std::optional<double> p = pick_scale(in);
  Batch batch;
  fill_batch(in, batch);
  const std::span<const TextView> candidates = candidate_views(batch);
  const auto context = [&] {
    return "jaro_winkler_batch\n  query = " + show(batch.query) + "\n  p = " + show(p) +
           "\n  case_insensitive = " + (fold ? "true" : "false") + "\n  " +
           std::to_string(candidates.size()) + " candidates";
  };

  const Result<std::vector<double>> got = jaro_winkler_batch(batch.query_view, candidates, p, fold);
  if (!valid_scale(p.value_or(0.1))) {
    QM_FUZZ_CHECK(!got.ok() && same_error(got.error(), MatchError::invalid_prefix_scale(*p)),
                  context() + "\n  got: " + (got.ok() ? "scores" : show(got.error())));
    return;
  }
  QM_FUZZ_CHECK(got.ok(), context() + "\n  got: " + show(got.error()));
  QM_FUZZ_CHECK(got.value().size() == candidates.size(), context());
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    QM_FUZZ_CHECK_RESULT(
        Result<double>(got.value()[k]),
        jaro_winkler(batch.query_view, candidates[k], p, std::nullopt, fold, std::nullopt),
        context() + "\n  candidate " + std::to_string(k) + " = " + show(batch.candidates[k]));
  }
}

}  // namespace quillmatch::fuzz
