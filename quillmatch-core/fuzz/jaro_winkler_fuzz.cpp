// jaro_winkler against the literal transcription of its steps, bit for bit:
// results, the cutoff, and both errors in their order (the prefix scale before
// max_len), for every strategy (word-parallel ASCII, block). The
// similarity must also be the same float with the texts swapped.
#include "fuzz_harness.h"

namespace quillmatch::fuzz {

void fuzz_one(FuzzInput& in) {
  const bool fold = in.flag();
  const std::u32string s1 = random_text(in, 130, true);
  const std::u32string s2 = in.flag() ? near_copy(in, s1) : random_text(in, 130, true);
  ExactTexts texts;
  const TextView v1 = texts.add(s1), v2 = texts.add(s2);

  const std::u32string a = maybe_folded(s1, fold), b = maybe_folded(s2, fold);
  const std::optional<double> p = pick_scale(in);
  const double scale = p.value_or(0.1);
  const double similarity = testing::jaro_winkler_steps(a, b, valid_scale(scale) ? scale : 0.0);
  const std::optional<std::uint64_t> max_len = pick_max_len(in, a.size(), b.size());
  const std::optional<double> cutoff = pick_similarity_cutoff(in, similarity);

  Result<double> want = similarity;
  if (!valid_scale(scale)) {
    want = MatchError::invalid_prefix_scale(scale);
  } else if (const auto error = length_error(a.size(), b.size(), max_len)) {
    want = *error;
  } else if (cutoff && *cutoff > similarity && !(a.empty() || b.empty())) {
    want = 0.0;  // empty texts are settled before the cutoff
  }
  const auto context = [&] {
    return "\n  str_1 = " + show(s1) + "\n  str_2 = " + show(s2) + "\n  p = " + show(p) +
           "\n  case_insensitive = " + (fold ? "true" : "false") + "\n  max_len = " +
           show(max_len) + "\n  score_cutoff = " + show(cutoff);
  };
  QM_FUZZ_CHECK_RESULT(jaro_winkler(v1, v2, p, max_len, fold, cutoff), want,
                       "jaro_winkler" + context());

  if (valid_scale(scale)) {
    const Result<double> swapped = jaro_winkler(v2, v1, p, std::nullopt, fold, std::nullopt);
    QM_FUZZ_CHECK_RESULT(swapped, Result<double>(similarity),
                         "jaro_winkler with the texts swapped" + context());
  }
}

}  // namespace quillmatch::fuzz
