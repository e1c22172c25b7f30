// The many-against-many engine against the batch engines (the scalar kernels
// for an empty query's distances): a few queries (the batch's query and some
// of its candidates) against the candidates, or against each other, on 1 to 4
// workers, sometimes with the candidates repeated past the point where few
// queries are split over candidate ranges. Every matrix cell must be the
// batch engine's score for its query, stored in the run's type; every top
// list and pair list must be what sorting and filtering those scores gives; an
// invalid prefix scale must fail the start as it fails the batch.
#include <algorithm>
#include <tuple>

#include "fuzz_harness.h"

namespace quillmatch::fuzz {
namespace {

using Scores = std::vector<double>;  // every score fits a double exactly here

double read(const std::vector<unsigned char>& bytes, ScoreType type, std::size_t at) {
  const unsigned char* p = bytes.data() + at * score_size(type);
  auto load = [p](auto v) {
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
  };
  switch (type) {
    case ScoreType::U8: return load(std::uint8_t{});
    case ScoreType::U16: return load(std::uint16_t{});
    case ScoreType::U32: return load(std::uint32_t{});
    case ScoreType::U64: return load(std::uint64_t{});
    case ScoreType::F64: return load(double{});
  }
  return -1;
}

// The batch engine's scores of one query, or its error. An empty query's
// distances come from the scalar kernels: the batch counts a candidate before
// folding it, a run (as the scalar measure) after.
Result<Scores> batch_scores(const ManyOptions& o, TextView query,
                            std::span<const TextView> candidates) {
  if (o.measure == Measure::kJaroWinkler) {
    Result<std::vector<double>> r = jaro_winkler_batch(query, candidates, o.p, o.case_insensitive);
    if (!r.ok()) return r.error();
    return r.value();
  }
  if (query.size == 0) {
    Scores out;
    for (const TextView& c : candidates) {
      const Result<std::uint64_t> d =
          o.measure == Measure::kLevenshtein
              ? levenshtein_bp(query, c, std::nullopt, o.case_insensitive, std::nullopt)
              : damerau_bp(query, c, std::nullopt, o.case_insensitive, std::nullopt);
      out.push_back(static_cast<double>(d.value()));
    }
    return out;
  }
  const std::vector<std::uint64_t> d =
      o.measure == Measure::kLevenshtein ? levenshtein_batch(query, candidates, o.case_insensitive)
                                        : damerau_batch(query, candidates, o.case_insensitive);
  return Scores(d.begin(), d.end());
}

void run_to_end(Result<std::unique_ptr<ManyRun>>& run, const std::string& context) {
  QM_FUZZ_CHECK(run.ok(), context);
  run.value()->finish();
}

}  // namespace

void fuzz_one(FuzzInput& in) {
  ManyOptions o;
  static constexpr Measure kMeasures[] = {Measure::kLevenshtein, Measure::kDamerau,
                                          Measure::kJaroWinkler};
  o.measure = in.pick(kMeasures);
  const bool jw = o.measure == Measure::kJaroWinkler;
  o.case_insensitive = in.flag();
  if (jw) o.p = pick_scale(in);
  o.workers = 1 + in.below(4);
  Batch batch;
  fill_batch(in, batch);

  std::vector<TextView> candidates(candidate_views(batch).begin(), candidate_views(batch).end());
  std::vector<TextView> queries{batch.query_view};
  for (std::uint64_t q = in.below(6); q > 0 && q <= candidates.size(); --q)
    queries.push_back(candidates[q - 1]);
  const bool self = in.below(4) == 0;
  // Repeated, the candidates are also a dictionary column: codes into the first `distinct`.
  const std::size_t distinct = candidates.size();
  if (!self && !candidates.empty() && in.below(4) == 0) {
    while (candidates.size() < 1100) {
      const TextView again = candidates[candidates.size() % distinct];
      candidates.push_back(again);
    }
  }
  const std::span<const TextView> cands = self ? std::span<const TextView>(queries) : candidates;
  const std::size_t n = queries.size(), m = cands.size();

  const auto context = [&] {
    return std::string(jw ? "jaro_winkler" : o.measure == Measure::kDamerau ? "damerau" : "levenshtein") +
           "\n  query = " + show(batch.query) + "\n  case_insensitive = " +
           (o.case_insensitive ? "true" : "false") + ", p = " + show(o.p) + ", workers = " +
           std::to_string(o.workers) + ", " + std::to_string(n) + " queries x " +
           std::to_string(m) + " candidates" + (self ? " (self)" : "");
  };

  std::vector<Scores> want;
  for (const TextView& q : queries) {
    Result<Scores> r = batch_scores(o, q, cands);
    if (!r.ok()) {  // the run must refuse to start with the same error
      std::vector<unsigned char> none;
      Result<std::unique_ptr<ManyRun>> run = start_matrix(o, queries, cands, ScoreType::F64, none.data());
      QM_FUZZ_CHECK(!run.ok() && same_error(run.error(), r.error()), context());
      return;
    }
    want.push_back(std::move(r.value()));
  }
  const ScoreType type = many_score_type(o.measure, queries, cands);

  std::vector<unsigned char> matrix(n * m * score_size(type));
  Result<std::unique_ptr<ManyRun>> run = start_matrix(o, queries, cands, type, matrix.data());
  run_to_end(run, context());
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < m; ++j)
      QM_FUZZ_CHECK(same_bits(read(matrix, type, i * m + j), want[i][j]),
                    context() + "\n  matrix cell " + std::to_string(i) + ", " + std::to_string(j) +
                        " = " + show(read(matrix, type, i * m + j)) + ", batch " + show(want[i][j]));

  // A cutoff at some score of the first row, or none.
  const double pivot = m ? want[0][in.below(m)] : 0.0;
  const bool cut = in.flag();
  if (cut && jw) o.min_similarity = pivot;
  // A distance cutoff is sometimes within a text's length of 2^64.
  const std::uint64_t distance_cut = in.below(4) == 0 ? UINT64_MAX - in.below(100) : static_cast<std::uint64_t>(pivot);
  if (cut && !jw) o.max_distance = distance_cut;
  const auto within = [&](double s) {
    return !cut || (jw ? s >= pivot : s <= static_cast<double>(distance_cut));
  };

  const std::size_t k = std::min<std::size_t>(1 + in.below(m + 2), m);
  std::vector<std::int64_t> indices(n * k), counts(n);
  std::vector<unsigned char> scores(n * k * score_size(type));
  std::vector<std::uint32_t> codes(self ? 0 : m);  // self: the queries, not coded
  for (std::size_t r = 0; r < codes.size(); ++r) codes[r] = static_cast<std::uint32_t>(r % distinct);
  const TopOutput top_out{k, type, indices.data(), scores.data(), counts.data()};
  const CodedTexts coded{std::span<const TextView>(candidates.data(), std::min(distinct, m)), codes};
  for (const bool as_codes : {false, true}) {
    if (as_codes && self) break;
    std::fill(indices.begin(), indices.end(), 7);
    std::fill(scores.begin(), scores.end(), 0xAB);
    Result<std::unique_ptr<ManyRun>> top = as_codes ? start_top(o, queries, cands, coded, top_out)
                                                    : start_top(o, queries, cands, top_out);
    const std::string where = context() + (as_codes ? " (coded)" : "");
    run_to_end(top, where);
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<std::pair<double, std::int64_t>> kept;
      for (std::size_t j = 0; j < m; ++j)
        if (within(want[i][j])) kept.emplace_back(jw ? -want[i][j] : want[i][j], static_cast<std::int64_t>(j));
      std::sort(kept.begin(), kept.end());
      kept.resize(std::min(kept.size(), k));
      QM_FUZZ_CHECK(counts[i] == static_cast<std::int64_t>(kept.size()), where);
      for (std::size_t r = 0; r < k; ++r) {
        const bool real = r < kept.size();
        const double s = read(scores, type, i * k + r);
        QM_FUZZ_CHECK(indices[i * k + r] == (real ? kept[r].second : -1) &&
                          s == (real ? (jw ? -kept[r].first : kept[r].first) : 0.0),
                      where + "\n  top entry " + std::to_string(i) + ", " + std::to_string(r));
      }
    }
  }

  if (!cut) return;  // pairs need a cutoff
  std::vector<std::tuple<std::int64_t, std::int64_t, double>> expected;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = self ? i + 1 : 0; j < m; ++j)
      if (within(want[i][j]))
        expected.emplace_back(static_cast<std::int64_t>(i), static_cast<std::int64_t>(j), want[i][j]);
  for (const bool as_codes : {false, true}) {
    if (as_codes && self) break;
    PairsFound found;
    std::optional<std::span<const TextView>> pair_candidates;
    if (!self) pair_candidates = cands;
    Result<std::unique_ptr<ManyRun>> pairs =
        as_codes ? start_pairs(o, queries, cands, coded, type, found)
                 : start_pairs(o, queries, pair_candidates, type, found);
    const std::string where = context() + (as_codes ? " (coded)" : "");
    run_to_end(pairs, where);
    QM_FUZZ_CHECK(found.size() == expected.size(), where + "\n  pairs found: " + std::to_string(found.size()));
    std::vector<std::int64_t> qi(expected.size()), ci(expected.size());
    std::vector<unsigned char> ps(expected.size() * score_size(type));
    found.drain_to(qi.data(), ci.data(), ps.data());
    for (std::size_t r = 0; r < expected.size(); ++r)
      QM_FUZZ_CHECK(std::make_tuple(qi[r], ci[r], read(ps, type, r)) == expected[r],
                    where + "\n  pair " + std::to_string(r));
  }
}

}  // namespace quillmatch::fuzz
