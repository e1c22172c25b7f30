// Top and pairs runs that score only the pairs the join filters keep.
//
// A run probes the filters of its index with each query in turn: the partition
// filter of edit distances (join/segments.h) or the composition filter of
// Jaro-Winkler (join/jaro.h), each with the character-count bound
// (join/texts.h), and scores what is left as the cross product scores every
// pair (score_candidates below). Since the filters only drop pairs that
// cannot be kept, the two plans give the same pairs and scores; the order of
// the output is restored (candidates in index order for each query, top lists
// by score then index, self pairs by (i, j)).
//
// Tasks are contiguous ranges of queries. In a self join each unordered pair
// is found once, by the longer text (or, at equal lengths, the later one),
// and the pairs are put in (i, j) order when the run completes.
#include <algorithm>
#include <numeric>
#include <optional>

#include "join/jaro.h"
#include "join/segments.h"
#include "many/job.h"
#include "text/text.h"

namespace quillmatch {

using join::CompositionIndex;
using join::JaroBounds;
using join::SegmentIndex;
using join::WorkingQuery;
using join::WorkingTexts;

struct JoinIndex::Impl {
  Impl(const ManyOptions& o, double scale, std::span<const TextView> candidates)
      : options(o), p(scale), texts(candidates, o.case_insensitive) {
    if (o.measure == Measure::kJaroWinkler) {
      // A cutoff of 0 keeps every pair: nothing to filter.
      if (*o.min_similarity > 0.0) {
        // Every pair under the bound of no common prefix; those that share a
        // first code point under that of three; those that share four under
        // the loosest, each only where it is looser than the one before.
        bounds.emplace(*o.min_similarity, p, join::kPrefixPoints);
        const JaroBounds none(*o.min_similarity, p, 0), three(*o.min_similarity, p, join::kPrefixPoints - 1);
        compositions.emplace(texts, none, false);
        if (three.least_jaro() < none.least_jaro()) initials.emplace(texts, three, true);
        if (bounds->least_jaro() < three.least_jaro()) prefixes.emplace(texts, *bounds);
      }
      for (std::size_t id = 0; id < texts.size(); ++id)
        if (texts.length(id) == 0) empties.push_back(static_cast<std::uint32_t>(id));
    } else {
      segments.emplace(texts, *o.max_distance, o.measure == Measure::kDamerau ? 1 : 0);
    }
  }

  // The partner lengths of a text of length n.
  std::uint32_t shortest(std::uint32_t n) const {
    if (options.measure == Measure::kJaroWinkler) return !bounds || n == 0 ? 0 : bounds->shortest_partner(n);
    const std::uint64_t d = *options.max_distance;
    return n > d ? static_cast<std::uint32_t>(n - d) : 0;
  }
  std::uint32_t longest(std::uint32_t n) const {
    if (options.measure == Measure::kJaroWinkler)
      return !bounds ? UINT32_MAX : n == 0 ? 0 : bounds->longest_partner(n);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{n} + *options.max_distance, UINT32_MAX));
  }

  // Every text the filters keep for r among lengths [lo, hi], sorted, once
  // each; in a self join (r being text i), only those that i finds.
  void candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi, std::optional<std::size_t> i,
                  std::vector<std::uint32_t>& out) const {
    out.clear();
    auto found_by_other = [&](std::uint32_t id, std::uint32_t length) {
      return i && (id == *i || (length == r.length && id > *i));
    };
    if (segments) {
      const std::uint64_t d = *options.max_distance;
      segments->candidates(r, lo, hi, [&](std::uint32_t id, std::uint32_t length, const join::CharCounts& c) {
        if (!found_by_other(id, length) && (join::count_distance(r.counts, c) + 1) / 2 <= d) out.push_back(id);
      });
    } else if (!compositions) {
      for (std::uint32_t id = 0; id < texts.size(); ++id)
        if (texts.length(id) >= lo && texts.length(id) <= hi && !found_by_other(id, texts.length(id)))
          out.push_back(id);
    } else if (r.length == 0) {
      for (const std::uint32_t id : empties)
        if (!found_by_other(id, 0)) out.push_back(id);
    } else {
      auto keep = [&](std::uint32_t id, std::uint32_t length) {
        if (!found_by_other(id, length)) out.push_back(id);
      };
      compositions->candidates(r, lo, hi, keep);
      if (initials) initials->candidates(r, lo, hi, keep);
      if (prefixes) prefixes->candidates(r, lo, hi, keep);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }

  ManyOptions options;  // the measure, folding, prefix scale and cutoff of the filters
  double p;
  WorkingTexts texts;
  std::optional<SegmentIndex> segments;
  std::optional<JaroBounds> bounds;
  std::optional<CompositionIndex> compositions, initials;
  std::optional<join::PrefixIndex> prefixes;
  std::vector<std::uint32_t> empties;  // Jaro-Winkler: the empty texts, paired apart
};

JoinIndex::JoinIndex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
JoinIndex::~JoinIndex() = default;

Result<std::shared_ptr<const JoinIndex>> JoinIndex::build(const ManyOptions& options,
                                                          std::span<const TextView> candidates) {
  const Result<double> scale = check_prefix_scale(options.p);
  if (!scale.ok()) return scale.error();
  return std::make_shared<const JoinIndex>(std::make_unique<Impl>(options, scale.value(), candidates));
}

std::size_t JoinIndex::size() const { return impl_->texts.size(); }
const ManyOptions& JoinIndex::options() const { return impl_->options; }

ScoreType JoinIndex::score_type(std::span<const TextView> queries) const {
  const TextView longest(nullptr, impl_->texts.longest_given_bytes());
  return many_score_type(impl_->options.measure, queries, std::span<const TextView>(&longest, 1));
}

namespace {

// The scores of one query's candidates, all working forms. Distances come
// from the batch scorer of the query, which gives every candidate the scalar
// measure's distance (an edit distance is the same whichever text is the
// pattern, so a self join may score i's pairs with i as the pattern whether
// i comes first or not; and the working forms are already folded, so the
// batch's rule for an empty query counts what the scalar measure counts).
// Similarities come from the scalar measure with the cutoff, the earlier text
// of a self join's pair as the pattern, as the cross product scores it.
template <class Order>
void score_candidates(const JoinIndex::Impl& index, const ManyOptions& run, std::string_view query,
                      std::span<const TextView> others, std::span<const std::uint8_t> flipped,
                      std::span<typename Order::Value> out) {
  if constexpr (std::is_same_v<typename Order::Value, double>) {
    for (std::size_t k = 0; k < others.size(); ++k) {
      const TextView q(query);
      out[k] = jaro_winkler(flipped[k] ? others[k] : q, flipped[k] ? q : others[k], index.p, std::nullopt,
                            false, run.min_similarity)
                   .value();
    }
  } else {
    const DistanceScorer scorer = index.options.measure == Measure::kDamerau
                                      ? DistanceScorer::damerau(TextView(query), false)
                                      : DistanceScorer::levenshtein(TextView(query), false);
    scorer.score(others, out);
  }
}

// What every filtered job shares: the index, the run's options, the queries
// (none: the index's own texts, self join) and the walk over one query's
// matches.
template <class Order>
class IndexJob : public ManyRun::Job {
 public:
  using Value = typename Order::Value;
  IndexJob(std::shared_ptr<const JoinIndex> index, const ManyOptions& run,
           std::optional<std::span<const TextView>> queries)
      : index_(std::move(index)), m_(index_->impl()), run_(run), queries_(queries) {
    if (!run_.max_distance) run_.max_distance = m_.options.max_distance;
    if (!run_.min_similarity) run_.min_similarity = m_.options.min_similarity;
    const std::size_t rows = queries ? queries->size() : m_.texts.size();
    const std::size_t tasks = std::max<std::size_t>(1, std::min(rows, run_.workers * 16));
    for (std::size_t t = 0; t <= tasks; ++t) plan.row_bounds.push_back(rows * t / tasks);
    plan.rows = rows;
  }

 protected:
  // What a task reuses from query to query.
  struct Scratch {
    WorkingQuery query;
    std::vector<std::uint32_t> found;
    std::vector<TextView> others;
    std::vector<std::uint8_t> flipped;  // the pair's earlier text is the candidate
    std::vector<Value> scores;
  };

  // Calls kept(j, score) for every candidate j the cutoff keeps with query i,
  // in increasing j. In a self join, only for the pairs query i finds (see
  // above), with j any index other than i, and the score that of
  // (min(i, j), max(i, j)).

  template <class Kept>
  void each_match(std::size_t i, Scratch& scratch, Kept&& kept) const {
    const bool self = !queries_;
    WorkingQuery& r = scratch.query;
    std::vector<std::uint32_t>& found = scratch.found;
    if (self) r.take(TextView(m_.texts.text(i)), false);
    else r.take((*queries_)[i], m_.options.case_insensitive);
    const std::uint32_t hi = self ? r.length : m_.longest(r.length);
    m_.candidates(r, m_.shortest(r.length), hi, self ? std::optional(i) : std::nullopt, found);
    if (found.empty()) return;
    scratch.others.clear();
    scratch.flipped.clear();
    for (const std::uint32_t j : found) {
      scratch.others.emplace_back(m_.texts.text(j));
      scratch.flipped.push_back(self && j < i);
    }
    scratch.scores.resize(found.size());
    score_candidates<Order>(m_, run_, r.text(), scratch.others, scratch.flipped, scratch.scores);
    for (std::size_t k = 0; k < found.size(); ++k)
      if (Order::within(scratch.scores[k], run_)) kept(found[k], scratch.scores[k]);
  }

  const std::shared_ptr<const JoinIndex> index_;
  const JoinIndex::Impl& m_;
  ManyOptions run_;
  const std::optional<std::span<const TextView>> queries_;
};

template <class Order>
class IndexTopJob final : public IndexJob<Order> {
 public:
  using Value = typename Order::Value;
  IndexTopJob(std::shared_ptr<const JoinIndex> index, const ManyOptions& run,
              std::span<const TextView> queries, const TopOutput& out)
      : IndexJob<Order>(std::move(index), run, queries), out_(out) {}

  void run(std::size_t task, const ThreadPool& pool) override {
    typename IndexJob<Order>::Scratch scratch;
    std::vector<Entry<Value>> items;
    for (std::size_t i = this->plan.row_bounds[task]; i < this->plan.row_bounds[task + 1]; ++i) {
      if (pool.stop_requested()) return;
      items.clear();
      this->each_match(i, scratch, [&](std::uint32_t j, Value s) { items.push_back({s, j}); });
      write_top_row<Order>(out_, i, items);
    }
  }

 private:
  const TopOutput out_;
};

template <class Order>
class IndexPairsJob final : public IndexJob<Order> {
 public:
  using Value = typename Order::Value;
  IndexPairsJob(std::shared_ptr<const JoinIndex> index, const ManyOptions& run,
                std::optional<std::span<const TextView>> queries, PairsFound::Buffers& out)
      : IndexJob<Order>(std::move(index), run, queries), out_(out) {
    out_.tasks.clear();
    out_.tasks.resize(this->plan.tasks());
  }

  void run(std::size_t task, const ThreadPool& pool) override {
    PairsFound::Buffers::Buffer& b = out_.tasks[task];
    typename IndexJob<Order>::Scratch scratch;
    const bool self = !this->queries_;
    for (std::size_t i = this->plan.row_bounds[task]; i < this->plan.row_bounds[task + 1]; ++i) {
      if (pool.stop_requested()) return;
      this->each_match(i, scratch, [&](std::size_t j, Value s) {
        b.queries.push_back(static_cast<std::int64_t>(self ? std::min(i, j) : i));
        b.candidates.push_back(static_cast<std::int64_t>(self ? std::max(i, j) : j));
        scores(b).push_back(s);
      });
    }
  }

  // A self join found its pairs by the longer text: put them in (i, j) order.
  void complete() override {
    if (this->queries_) return;
    PairsFound::Buffers::Buffer all;
    for (PairsFound::Buffers::Buffer& b : out_.tasks) {
      all.queries.insert(all.queries.end(), b.queries.begin(), b.queries.end());
      all.candidates.insert(all.candidates.end(), b.candidates.begin(), b.candidates.end());
      scores(all).insert(scores(all).end(), scores(b).begin(), scores(b).end());
      b = PairsFound::Buffers::Buffer();
    }
    std::vector<std::size_t> order(all.queries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
      return std::tie(all.queries[x], all.candidates[x]) < std::tie(all.queries[y], all.candidates[y]);
    });
    PairsFound::Buffers::Buffer& sorted = out_.tasks.front();
    sorted.queries.reserve(order.size());
    sorted.candidates.reserve(order.size());
    scores(sorted).reserve(order.size());
    for (const std::size_t k : order) {
      sorted.queries.push_back(all.queries[k]);
      sorted.candidates.push_back(all.candidates[k]);
      scores(sorted).push_back(scores(all)[k]);
    }
  }

 private:
  static std::vector<Value>& scores(PairsFound::Buffers::Buffer& b) {
    if constexpr (std::is_same_v<Value, double>) return b.similarities;
    else return b.distances;
  }

  PairsFound::Buffers& out_;
};

template <template <class> class Job, class... Args>
Result<std::unique_ptr<ManyRun>> start_on_index(std::shared_ptr<const JoinIndex> index,
                                                ManyOptions run, Args&&... args) {
  run.workers = std::clamp<std::size_t>(run.workers, 1, kMaxManyWorkers);
  std::unique_ptr<ManyRun::Job> job;
  if (index->options().measure == Measure::kJaroWinkler)
    job = std::make_unique<Job<SimilarityOrder>>(std::move(index), run, std::forward<Args>(args)...);
  else
    job = std::make_unique<Job<DistanceOrder>>(std::move(index), run, std::forward<Args>(args)...);
  return std::make_unique<ManyRun>(std::move(job), run.workers);
}

// Below this many pairs the cross product is quick whatever the filters do.
constexpr double kLeastFilteredPairs = 1 << 20;
// Building an index costs about as much as scoring each candidate against
// this many queries: fewer queries take the cross product.
constexpr double kLeastFilteredRows = 32;
// Segments shorter than this, on average, match too often to pay.
constexpr double kLeastSegment = 2.0;
// Below this least Jaro the overlap prefixes hold most of each text.
constexpr double kLeastJaro = 0.7;

}  // namespace

bool use_filters(const ManyOptions& o, std::size_t rows, std::span<const TextView> candidates,
                 bool self) {
  if (o.plan == JoinPlan::kCross || candidates.size() >= UINT32_MAX) return false;
  const bool jw = o.measure == Measure::kJaroWinkler;
  if (jw ? !(o.min_similarity && *o.min_similarity > 0.0) : !o.max_distance) return false;
  const Result<double> scale = check_prefix_scale(o.p);
  if (!scale.ok()) return false;  // the cross product's start reports it
  if (o.plan == JoinPlan::kFiltered) return true;
  const double n = static_cast<double>(candidates.size());
  if ((self ? n * (n - 1) / 2 : n * static_cast<double>(rows)) < kLeastFilteredPairs) return false;
  if (!self && static_cast<double>(rows) < kLeastFilteredRows) return false;
  if (jw) return JaroBounds(*o.min_similarity, scale.value(), join::kPrefixPoints).least_jaro() >= kLeastJaro;
  double bytes = 0;
  for (const TextView& t : candidates) bytes += static_cast<double>(t.size);
  const double d = static_cast<double>(*o.max_distance);
  const double gap = o.measure == Measure::kDamerau ? 1.0 : 0.0;
  return (bytes / n - gap * d) / (d + 1) >= kLeastSegment;
}

Result<std::unique_ptr<ManyRun>> start_index_top(std::shared_ptr<const JoinIndex> index,
                                                 const ManyOptions& options,
                                                 std::span<const TextView> queries,
                                                 const TopOutput& out) {
  return start_on_index<IndexTopJob>(std::move(index), options, queries, out);
}

Result<std::unique_ptr<ManyRun>> start_index_pairs(std::shared_ptr<const JoinIndex> index,
                                                   const ManyOptions& options,
                                                   std::optional<std::span<const TextView>> queries,
                                                   ScoreType type, PairsFound& out) {
  PairsFound::Buffers& buffers = ManyAccess::buffers(out);
  buffers.type = type;
  return start_on_index<IndexPairsJob>(std::move(index), options, queries, buffers);
}

}  // namespace quillmatch
