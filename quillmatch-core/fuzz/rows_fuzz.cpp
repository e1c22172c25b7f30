// Two columns scored row by row against the scalar kernels: every row's
// score must be the kernel's on (query, candidate), bit for bit, whichever
// engine took the pair. The texts are drawn so that most pairs reach the
// pair engines (ASCII of both cases and Latin-1, lengths around the 32 code
// points of a lane's pattern and the 64 of a narrowed text, near copies) and
// some do not (code points past U+00FF, U+0178 which folds into Latin-1,
// longer texts); the row counts cross the engines' batches of 256 rows and
// leave the last group of lanes partly filled.
#include "fuzz_harness.h"

namespace quillmatch::fuzz {
namespace {

// ASCII letters of both cases, a space and a hyphen, Latin-1 letters of both
// cases (0xC0..0xFF, with the multiplication and division signs), signs
// from 0x80 up, and U+0178.
char32_t latin1(FuzzInput& in) {
  switch (in.below(8)) {
    case 0: case 1: case 2: return static_cast<char32_t>('a' + in.below(4));
    case 3: return static_cast<char32_t>('A' + in.below(4));
    case 4: return in.flag() ? U' ' : U'-';
    case 5: return static_cast<char32_t>(0xC0 + in.below(64));
    case 6: return static_cast<char32_t>(0x80 + in.below(64));
    default: return in.below(8) == 0 ? char32_t{0x0178} : static_cast<char32_t>(0xE0 + in.below(4));
  }
}

std::u32string row_text(FuzzInput& in) {
  static constexpr std::size_t kEdges[] = {0, 1, 2, 31, 32, 33, 63, 64, 65};
  const std::size_t length = in.below(4) == 0 ? in.pick(kEdges) : in.below(in.flag() ? 24 : 70);
  if (in.below(4) == 0) return random_text(in, length, pick_alphabet(in));
  std::u32string out(length, U' ');
  for (char32_t& cp : out) cp = latin1(in);
  return out;
}

Result<double> scalar(const ManyOptions& o, TextView a, TextView b) {
  if (o.measure == Measure::kJaroWinkler) return jaro_winkler(a, b, o.p, std::nullopt, o.case_insensitive, std::nullopt);
  const Result<std::uint64_t> d = o.measure == Measure::kDamerau
                                      ? damerau_bp(a, b, std::nullopt, o.case_insensitive, std::nullopt)
                                      : levenshtein_bp(a, b, std::nullopt, o.case_insensitive, std::nullopt);
  return static_cast<double>(d.value());
}

}  // namespace

void fuzz_one(FuzzInput& in) {
  ManyOptions o;
  static constexpr Measure kMeasures[] = {Measure::kLevenshtein, Measure::kDamerau, Measure::kJaroWinkler};
  o.measure = in.pick(kMeasures);
  o.case_insensitive = in.flag();
  if (o.measure == Measure::kJaroWinkler) {
    o.p = pick_scale(in);
    if (o.p && !valid_scale(*o.p)) o.p.reset();  // a bad scale is the start's to report
  }
  o.workers = 1 + in.below(3);
  static constexpr std::size_t kRows[] = {0, 1, 7, 8, 9, 255, 256, 257, 600};
  const std::size_t rows = in.below(3) == 0 ? in.pick(kRows) : in.below(40);
  std::vector<std::u32string> q(rows), c(rows);
  ExactTexts texts;
  for (std::size_t i = 0; i < rows; ++i) {
    q[i] = row_text(in);
    c[i] = in.below(3) == 0 ? near_copy(in, q[i]) : row_text(in);
    texts.add(q[i]);
  }
  for (std::size_t i = 0; i < rows; ++i) texts.add(c[i]);
  const std::span<const TextView> qv = texts.views().first(rows), all_c = texts.views().subspan(rows);
  const bool one = rows > 0 && in.below(5) == 0;  // one candidate for every row
  const std::span<const TextView> cv = one ? all_c.first(1) : all_c;

  const bool jw = o.measure == Measure::kJaroWinkler;
  std::vector<std::uint64_t> distances(rows);
  std::vector<double> similarities(rows);
  Result<std::unique_ptr<ManyRun>> run =
      start_rows(o, qv, cv, jw ? ScoreType::F64 : ScoreType::U64,
                 jw ? static_cast<void*>(similarities.data()) : distances.data());
  QM_FUZZ_CHECK(run.ok(), "the start failed");
  run.value()->finish();
  for (std::size_t i = 0; i < rows; ++i) {
    const std::size_t j = one ? 0 : i;
    const double got = jw ? similarities[i] : static_cast<double>(distances[i]);
    QM_FUZZ_CHECK_RESULT(Result<double>(got), scalar(o, qv[i], cv[j]),
                         "row " + std::to_string(i) + " of " + std::to_string(rows) + ", query " + show(q[i]) +
                             ", candidate " + show(c[j]) + ", folded " + std::to_string(o.case_insensitive) +
                             ", measure " + std::to_string(static_cast<int>(o.measure)));
  }
}

}  // namespace quillmatch::fuzz
