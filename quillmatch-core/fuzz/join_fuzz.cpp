// The filtered plan of top and pairs runs against the cross product, which
// scores every pair: random texts and near copies of one another (so that
// many pairs lie within the cutoff), ASCII and beyond, folded or not, every
// distance cutoff from 0 to past the texts' lengths and similarity cutoffs
// around the scores that occur, distance cutoffs near 2^64, short texts with
// cutoffs 0 to 4, exact copies, self joins and queries against candidates,
// 1 to 3 workers. Both plans, and runs over an index built for a looser
// cutoff, must give the same arrays, to the bit; a self join's clusters,
// merged while either plan joins, must be the clusters of its pairs.
//
// Normalized edit distances too, with cutoffs k / n (often a score of a pair
// that occurs, so that pairs land exactly on the cutoff): first the cross
// product's pairs (which skip pairs by their lengths), and the matrix and
// row-by-row runs, against the scalar distance and the texts' lengths as
// compared, then the plans as above.
#include <algorithm>
#include <tuple>

#include "fuzz_harness.h"

namespace quillmatch::fuzz {
namespace {

struct Pairs {
  std::vector<std::int64_t> queries, candidates;
  std::vector<unsigned char> scores;
  bool operator==(const Pairs&) const = default;
};

struct Top {
  std::vector<std::int64_t> indices, counts;
  std::vector<unsigned char> scores;
  bool operator==(const Top&) const = default;
};

Pairs finish_pairs(Result<std::unique_ptr<ManyRun>> run, PairsFound& found, ScoreType type,
                   const std::string& context) {
  QM_FUZZ_CHECK(run.ok(), context);
  run.value()->finish();
  Pairs out;
  out.queries.resize(found.size());
  out.candidates.resize(found.size());
  out.scores.resize(found.size() * score_size(type));
  found.drain_to(out.queries.data(), out.candidates.data(), out.scores.data());
  return out;
}

Top finish_top(Result<std::unique_ptr<ManyRun>> run, Top out, const std::string& context) {
  QM_FUZZ_CHECK(run.ok(), context);
  run.value()->finish();
  return out;
}

Top empty_top(std::size_t rows, std::size_t k, ScoreType type) {
  Top t;
  t.indices.resize(rows * k);
  t.counts.resize(rows);
  t.scores.resize(rows * k * score_size(type));
  return t;
}

TopOutput target(Top& t, std::size_t k, ScoreType type) {
  return TopOutput{k, type, t.indices.data(), t.scores.data(), t.counts.data()};
}

// The normalized score of a pair from the scalar distance and the lengths of
// the texts as compared, which are their scalar distances to the empty text.
double normalized_reference(const ManyOptions& o, TextView a, TextView b) {
  const auto distance = [&](TextView x, TextView y) {
    return o.measure == Measure::kDamerau
               ? damerau_bp(x, y, std::nullopt, o.case_insensitive, std::nullopt).value()
               : levenshtein_bp(x, y, std::nullopt, o.case_insensitive, std::nullopt).value();
  };
  return normalized_similarity(distance(a, b), distance(a, ""), distance(b, ""));
}

// The cross product's self pairs, the matrix and the row-by-row scores of a
// normalized run against the reference, pair by pair.
void check_normalized_cross(const ManyOptions& o, std::span<const TextView> all, const std::string& context) {
  ManyOptions cross = o;
  cross.plan = JoinPlan::kCross;
  Pairs want;
  for (std::size_t i = 0; i < all.size(); ++i)
    for (std::size_t j = i + 1; j < all.size(); ++j) {
      const double s = normalized_reference(o, all[i], all[j]);
      if (s < *o.min_similarity) continue;
      want.queries.push_back(static_cast<std::int64_t>(i));
      want.candidates.push_back(static_cast<std::int64_t>(j));
      want.scores.resize(want.scores.size() + sizeof s);
      std::memcpy(want.scores.data() + want.scores.size() - sizeof s, &s, sizeof s);
    }
  PairsFound found;
  const Pairs got = finish_pairs(start_pairs(cross, all, std::nullopt, ScoreType::F64, found), found,
                                 ScoreType::F64, context);
  QM_FUZZ_CHECK(got == want, context + ": cross product's pairs against the reference");

  std::vector<double> matrix(all.size() * all.size()), rows(all.size());
  Result<std::unique_ptr<ManyRun>> run = start_matrix(o, all, all, ScoreType::F64, matrix.data());
  QM_FUZZ_CHECK(run.ok(), context);
  run.value()->finish();
  const std::vector<TextView> reversed(all.rbegin(), all.rend());
  run = start_rows(o, all, reversed, ScoreType::F64, rows.data());
  QM_FUZZ_CHECK(run.ok(), context);
  run.value()->finish();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const double row = normalized_reference(o, all[i], reversed[i]);
    QM_FUZZ_CHECK(std::memcmp(&rows[i], &row, sizeof row) == 0, context + ": row " + std::to_string(i));
    for (std::size_t j = 0; j < all.size(); ++j) {
      const double cell = normalized_reference(o, all[i], all[j]);
      QM_FUZZ_CHECK(std::memcmp(&matrix[i * all.size() + j], &cell, sizeof cell) == 0,
                    context + ": cell " + std::to_string(i) + ", " + std::to_string(j));
    }
  }
}

}  // namespace

void fuzz_one(FuzzInput& in) {
  ManyOptions o;
  static constexpr Measure kMeasures[] = {Measure::kLevenshtein, Measure::kDamerau,
                                          Measure::kJaroWinkler};
  o.measure = in.pick(kMeasures);
  const bool jw = o.measure == Measure::kJaroWinkler;
  o.case_insensitive = in.flag();
  if (jw) {
    o.p = pick_scale(in);
    if (o.p && !valid_scale(*o.p)) o.p.reset();
  }
  o.workers = 1 + in.below(3);
  o.normalized = !jw && in.flag();
  const bool similarity = jw || o.normalized;

  // Roots and near copies of them, of lengths up to 40 (sometimes 90), or
  // half the time short ones, up to 4 to 16 code points: the lengths the
  // deletion filter holds at cutoffs 1 to 3, and longer ones of the same
  // list, which the partition filter holds.
  std::vector<std::u32string> texts;
  static constexpr std::size_t kShortLongest[] = {4, 8, 12, 16};
  const bool short_texts = in.flag();
  const std::size_t longest = short_texts ? in.pick(kShortLongest) : in.below(6) == 0 ? 90 : 1 + in.below(40);
  const std::size_t roots = 1 + in.below(6), count = in.below(80);
  // Exact copies too: a self join of edit distances joins one text of each
  // group of equal texts and gives the pairs of their members.
  for (std::size_t k = 0; k < count; ++k) {
    if (k < roots || in.below(5) == 0) texts.push_back(random_text(in, longest, false));
    else if (in.below(4) == 0) texts.push_back(texts[in.below(k)]);
    else texts.push_back(near_copy(in, texts[in.below(k)]));
  }
  ExactTexts exact;
  for (const auto& t : texts) exact.add(t);
  const std::span<const TextView> all = exact.views();
  const std::size_t split = in.below(all.size() + 1);
  const std::span<const TextView> queries = all.subspan(0, split), candidates = all.subspan(split);

  // A cutoff, and a looser one for an index.
  std::uint64_t d = 0, d_index = 0;
  double t = 0, t_index = 0;
  static constexpr double kSimilarities[] = {0.0, 0.5, 0.7, 0.75, 0.8, 0.85, 0.9, 0.93, 0.95, 0.97, 1.0};
  if (jw) {
    t = in.pick(kSimilarities);
    if (in.flag() && !all.empty()) {  // a score that occurs
      const TextView a = all[in.below(all.size())], b = all[in.below(all.size())];
      t = jaro_winkler(a, b, o.p, std::nullopt, o.case_insensitive, std::nullopt).value();
    }
    t_index = in.flag() ? t : std::max(0.0, t - 0.1 * static_cast<double>(in.below(4)));
    o.min_similarity = t;
  } else if (o.normalized) {
    if (in.flag() && !all.empty()) {  // a score that occurs
      const TextView a = all[in.below(all.size())], b = all[in.below(all.size())];
      t = normalized_reference(o, a, b);
    } else {
      const std::uint64_t n = 1 + in.below(longest + 2);
      t = normalized_similarity(in.below(n + 1), n, n);
    }
    t_index = in.flag() ? t : std::max(0.0, t - 0.05 * static_cast<double>(in.below(4)));
    o.min_similarity = t;
  } else {
    // Sometimes within a text's length of 2^64, where a partner's length
    // bound n + d would wrap.
    d = short_texts && in.flag() ? in.below(5)
        : in.below(8) == 0      ? UINT64_MAX - in.below(longest + 3)
                                : in.below(longest + 3);
    const std::uint64_t looser = in.flag() ? 0 : in.below(3);
    d_index = d > UINT64_MAX - looser ? UINT64_MAX : d + looser;
    o.max_distance = d;
  }

  const auto context = [&](const char* what) {
    return std::string(what) + ": " + (jw ? "jaro_winkler" : o.measure == Measure::kDamerau ? "damerau" : "levenshtein") +
           (o.normalized ? " normalized" : "") +
           ", case_insensitive = " + (o.case_insensitive ? "true" : "false") + ", p = " + show(o.p) +
           ", cutoff = " + (similarity ? show(t) : show(d)) +
           ", index cutoff = " + (similarity ? show(t_index) : show(d_index)) +
           ", " + std::to_string(queries.size()) + " queries x " + std::to_string(candidates.size()) +
           " candidates, workers = " + std::to_string(o.workers);
  };

  ManyOptions cross = o, filtered = o;
  cross.plan = JoinPlan::kCross;
  filtered.plan = JoinPlan::kFiltered;
  const ScoreType type = o.normalized ? ScoreType::F64 : many_score_type(o.measure, queries, candidates);
  const ScoreType self_type = o.normalized ? ScoreType::F64 : many_score_type(o.measure, all, {});
  if (o.normalized) check_normalized_cross(o, all, context("normalized"));

  // Pairs, self join and queries against candidates.
  for (const bool self : {true, false}) {
    const std::span<const TextView> q = self ? all : queries;
    const std::optional<std::span<const TextView>> c = self ? std::nullopt : std::optional(candidates);
    const ScoreType ty = self ? self_type : type;
    PairsFound a, b;
    const Pairs want = finish_pairs(start_pairs(cross, q, c, ty, a), a, ty, context("cross pairs"));
    const Pairs got = finish_pairs(start_pairs(filtered, q, c, ty, b), b, ty, context("filtered pairs"));
    QM_FUZZ_CHECK(got == want, context(self ? "self pairs" : "pairs") + ": " + std::to_string(got.queries.size()) +
                                   " pairs filtered, " + std::to_string(want.queries.size()) + " crossed");
    if (!self) continue;
    std::vector<std::int64_t> want_labels(all.size());
    clusters(std::span<const std::int64_t>(want.queries), std::span<const std::int64_t>(want.candidates), want_labels);
    for (const ManyOptions& plan : {cross, filtered}) {
      std::vector<std::int64_t> labels(all.size(), -1);
      Result<std::unique_ptr<ManyRun>> run = start_join_clusters(plan, all, labels);
      QM_FUZZ_CHECK(run.ok(), context("clusters"));
      run.value()->finish();
      QM_FUZZ_CHECK(labels == want_labels, context(plan.plan == JoinPlan::kCross ? "cross clusters" : "filtered clusters"));
    }
  }

  // Top lists.
  const std::size_t k = std::min<std::size_t>(1 + in.below(6), candidates.size());
  Top cross_top = empty_top(queries.size(), k, type), filtered_top = empty_top(queries.size(), k, type);
  cross_top = finish_top(start_top(cross, queries, candidates, target(cross_top, k, type)), std::move(cross_top),
                         context("cross top"));
  filtered_top = finish_top(start_top(filtered, queries, candidates, target(filtered_top, k, type)),
                            std::move(filtered_top), context("filtered top"));
  QM_FUZZ_CHECK(filtered_top == cross_top, context("top"));

  // An index built for a looser cutoff, searched with this one.
  ManyOptions loose = o;
  if (similarity) loose.min_similarity = t_index;
  else loose.max_distance = d_index;
  Result<std::shared_ptr<const JoinIndex>> index = JoinIndex::build(loose, candidates);
  QM_FUZZ_CHECK(index.ok(), context("index"));
  QM_FUZZ_CHECK(index.value()->score_type(queries) == type, context("index score type"));
  Top index_top = empty_top(queries.size(), k, type);
  index_top = finish_top(start_index_top(index.value(), o, queries, target(index_top, k, type)),
                         std::move(index_top), context("index top"));
  QM_FUZZ_CHECK(index_top == cross_top, context("index top"));
  PairsFound a, b;
  const Pairs want_pairs = finish_pairs(start_pairs(cross, queries, candidates, type, a), a, type, context("cross"));
  const Pairs index_pairs =
      finish_pairs(start_index_pairs(index.value(), o, queries, type, b), b, type, context("index pairs"));
  QM_FUZZ_CHECK(index_pairs == want_pairs, context("index pairs"));

  Result<std::shared_ptr<const JoinIndex>> whole = JoinIndex::build(loose, all);
  PairsFound c, e;
  const Pairs want_self = finish_pairs(start_pairs(cross, all, std::nullopt, self_type, c), c, self_type, context("cross"));
  const Pairs index_self =
      finish_pairs(start_index_pairs(whole.value(), o, std::nullopt, self_type, e), e, self_type, context("index self"));
  QM_FUZZ_CHECK(index_self == want_self, context("index self pairs"));
}

}  // namespace quillmatch::fuzz
