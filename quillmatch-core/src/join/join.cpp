// Top and pairs runs that score only the pairs the join filters keep.
//
// A run probes the filters of its index with each query in turn: the partition
// filter of edit distances (join/segments.h), with the deletion filter
// (join/deletions.h) for the short texts of a fixed cutoff, or the
// composition filter of Jaro-Winkler (join/jaro.h), each with the
// character-count bound (join/texts.h), and scores what is left as the cross
// product scores every pair (score_candidates below). Since the filters only drop pairs that
// cannot be kept, the two plans give the same pairs and scores; the order of
// the output is restored (candidates in index order for each query, top lists
// by score then index, self pairs by (i, j)).
//
// Tasks are contiguous ranges of queries. In a self join each unordered pair
// is found once, by the longer text (or, at equal lengths, the later one),
// and the pairs are put in (i, j) order when the run completes. With a
// normalized cutoff it is found by the shorter text (at equal lengths, the
// earlier one) instead: the pair's threshold is then that of the text looked
// up (join/thresholds.h), so the index of a filtered self join cuts each text
// for its own threshold only, which is often smaller than the widest.
//
// A self join of edit distances over a list whose texts repeat (surnames,
// words, categories) indexes and probes one text of each group of equal
// texts (join/groups.h): two groups within the cutoff give every pair of
// their members, at the groups' score, and the members of one group pair
// with each other at distance 0 (similarity 1.0), which every cutoff keeps.
// So the pairs are those of the whole list, each once, with the work of the
// distinct texts.
#include <algorithm>
#include <bit>
#include <functional>
#include <numeric>
#include <optional>

#include "join/deletions.h"
#include "join/groups.h"
#include "join/jaro.h"
#include "join/scratch_shelf.h"
#include "join/segments.h"
#include "many/job.h"
#include "many/row_sort.h"
#include "many/shared_components.h"
#include "text/text.h"

namespace quillmatch {

using join::CompositionIndex;
using join::DeletionIndex;
using join::EqualGroups;
using join::JaroBounds;
using join::SegmentIndex;
using join::WorkingQuery;
using join::WorkingTexts;

namespace {

// The longest texts the deletion filter (join/deletions.h) holds, by fixed
// cutoff d; longer texts, larger cutoffs and normalized cutoffs stay on the
// partition filter. A text of length l has sum_{k<=d} C(l, k) variants (at the
// longest held: d = 2, 37; d = 3, 93). Chosen by the time of the
// filtered self join and the median latency of Index.top on 200 000 Faker
// surnames (100 000 at d = 3) and the English word list, holding lengths up to
// L and the rest on segments:
//   d = 1: L = 0 (segments only), 8, 10, 12, 14, 16 within 0.65-0.84 s on
//          surnames, no trend; and against segments only, the deletion
//          filter up to 12 took 1.9 times as long on the words and 1.18 on a
//          million surnames (bench_join.py --short): none at d = 1, where
//          two segments of 3 or more characters are selective enough.
//   d = 2: L = 0: 13.8 s; 6: 6.8 s; 8: 6.1 s; 10: 6.7 s; 12: 8.2 s (words,
//          8: 0.63 s, 10: 0.82 s; top 40-62 us on surnames, least at 8).
//   d = 3: L = 0: 20.4 s; 5: 12.4 s; 7: 8.6 s; 8: 7.5 s; 9: 6.4 s on
//          surnames, but on words 7: 3.9 s, 9: 4.6 s; 8 between them, and
//          at 93 entries a text of length 8 takes about 560 bytes.
// With d = 0 the partition filter's one segment is the whole text: exact
// hashing already.
constexpr std::uint32_t kDeletionLongest[] = {0, 0, 8, 8};

// The longest length the deletion filter holds for these options, if any.
std::optional<std::uint32_t> deletion_longest(const ManyOptions& o) {
  if (o.measure == Measure::kJaroWinkler || o.normalized || !o.max_distance) return std::nullopt;
  const std::uint64_t d = *o.max_distance;
  if (d >= std::size(kDeletionLongest) || kDeletionLongest[d] == 0) return std::nullopt;
  return kDeletionLongest[d];
}

// Texts sampled, evenly, to judge a list before the work: whether it repeats
// texts, and how many pairs the filters must keep anyway.
constexpr std::size_t kSampled = 2048;

// The even sample of a list: min(size, kSampled) texts, text k of it at
// k * (size / that).
std::size_t sample_size(std::span<const TextView> texts) { return std::min(texts.size(), kSampled); }
TextView sampled(std::span<const TextView> texts, std::size_t k) {
  return texts[k * (texts.size() / sample_size(texts))];
}

// The hashes of the sample's texts, sorted: equal texts lie side by side.
std::vector<std::uint64_t> sampled_hashes(std::span<const TextView> texts) {
  std::vector<std::uint64_t> hashes(sample_size(texts));
  for (std::size_t k = 0; k < hashes.size(); ++k) {
    const TextView t = sampled(texts, k);
    hashes[k] = join::hash_bytes(t.data, t.size);
  }
  std::sort(hashes.begin(), hashes.end());
  return hashes;
}

// The groups of equal texts of a self join's list, if the sample holds a
// repeat (a list without, such as full names, is not grouped: that would
// cost a sort of the whole list for nothing), and some text repeats.
std::optional<EqualGroups> repeats(std::span<const TextView> texts, Meter& meter) {
  if (texts.size() >= UINT32_MAX) return std::nullopt;
  const std::vector<std::uint64_t> hashes = sampled_hashes(texts);
  if (std::adjacent_find(hashes.begin(), hashes.end()) == hashes.end()) return std::nullopt;
  EqualGroups groups = join::group_equal(
      static_cast<std::uint32_t>(texts.size()), [](std::uint32_t) { return true; },
      [&](std::uint32_t id) { return texts[id].view(); }, meter);
  if (groups.size() == texts.size()) return std::nullopt;
  return groups;
}

// The working forms of the texts, or of the first text of each group.
WorkingTexts working_texts(std::span<const TextView> texts, const std::optional<EqualGroups>& groups,
                           bool case_insensitive, Meter& meter) {
  if (!groups) return WorkingTexts(texts, case_insensitive, meter);
  std::vector<TextView> firsts;
  firsts.reserve(groups->size());
  for (std::size_t g = 0; g < groups->size(); ++g) firsts.push_back(texts[groups->first(g)]);
  return WorkingTexts(firsts, case_insensitive, meter);
}

}  // namespace

struct JoinIndex::Impl {
  // REQUIRES: with Reach::kLongerPartners or `group_repeats`, the index serves
  // a self join only; `group_repeats` only for edit distances.
  Impl(const ManyOptions& o, double scale, std::span<const TextView> candidates, join::Reach reach,
       bool group_repeats, Meter& meter)
      : options(o),
        p(scale),
        groups(group_repeats ? repeats(candidates, meter) : std::nullopt),
        texts(working_texts(candidates, groups, o.case_insensitive, meter)) {
    if (o.measure == Measure::kJaroWinkler) {
      // A cutoff of 0 keeps every pair: nothing to filter.
      if (*o.min_similarity > 0.0) {
        // Every pair under the bound of no common prefix; those that share a
        // first code point under that of three; those that share four under
        // the loosest, each only where it is looser than the one before.
        bounds.emplace(*o.min_similarity, p, join::kPrefixPoints);
        const JaroBounds none(*o.min_similarity, p, 0), three(*o.min_similarity, p, join::kPrefixPoints - 1);
        compositions.emplace(texts, none, false, meter);
        if (three.least_jaro() < none.least_jaro()) initials.emplace(texts, three, true, meter);
        if (bounds->least_jaro() < three.least_jaro()) prefixes.emplace(texts, *bounds, meter);
      }
      for (std::size_t id = 0; id < texts.size(); ++id)
        if (texts.length(id) == 0) empties.push_back(static_cast<std::uint32_t>(id));
    } else {
      thresholds.emplace(o.normalized ? join::Thresholds::normalized(*o.min_similarity)
                                      : join::Thresholds(*o.max_distance));
      std::uint32_t segmented_from = 0;
      if (const std::optional<std::uint32_t> held = deletion_longest(o);
          held && DeletionIndex::held_entries(texts, static_cast<std::uint32_t>(*o.max_distance), *held) < UINT32_MAX) {
        deletions.emplace(texts, static_cast<std::uint32_t>(*o.max_distance), *held, o.workers, meter);
        segmented_from = *held + 1;
      }
      segments.emplace(texts, *thresholds, o.measure == Measure::kDamerau ? 1 : 0, reach, segmented_from, o.workers,
                       meter);
      // What a top search asks before it looks for equal texts (IndexTopJob),
      // where short texts are held: the search of distance 0 on segments
      // alone costs about what asking does.
      if (!group_repeats && !o.normalized && deletions)
        exact.emplace(static_cast<std::uint32_t>(texts.size()), [&](std::uint32_t id) { return texts.text(id); },
                      meter);
      if (o.normalized) {
        for (std::size_t id = 0; id < texts.size(); ++id) {
          const std::uint32_t l = texts.length(id);
          if (l >= longest_partners.size()) longest_partners.resize(std::size_t{l} + 1, 0);
          if (!longest_partners[l]) longest_partners[l] = thresholds->longest_partner(l);
        }
      }
    }
  }

  // The partner lengths of a text of length n.
  std::uint32_t shortest(std::uint32_t n) const {
    if (options.measure == Measure::kJaroWinkler) return !bounds || n == 0 ? 0 : bounds->shortest_partner(n);
    return thresholds->shortest_partner(n);
  }
  std::uint32_t longest(std::uint32_t n) const {
    if (options.measure == Measure::kJaroWinkler)
      return !bounds ? UINT32_MAX : n == 0 ? 0 : bounds->longest_partner(n);
    if (n < longest_partners.size() && longest_partners[n]) return longest_partners[n];
    return thresholds->longest_partner(n);
  }

  // Whether a self join finds each pair from its shorter text (see above).
  bool self_from_shorter() const { return options.normalized; }

  // What a search reuses from query to query.
  struct FilterScratch {
    DeletionIndex::Scratch deletions;
    join::SegmentIndex::Scratch segments;
  };

  // Every text the filters keep for r among lengths [lo, hi], once each,
  // sorted unless `any_order`; in a self join (r being text i), only those
  // that i finds. Given `within` (edit distances), only for pairs within that
  // distance too.
  void candidates(const WorkingQuery& r, std::uint32_t lo, std::uint32_t hi, std::optional<std::size_t> i,
                  std::optional<std::uint64_t> within, bool any_order, FilterScratch& scratch,
                  std::vector<std::uint32_t>& out) const {
    out.clear();
    const bool from_shorter = self_from_shorter();
    auto found_by_other = [&](std::uint32_t id, std::uint32_t length) {
      return i && (id == *i || (length == r.length && (from_shorter ? id < *i : id > *i)));
    };
    if (segments) {
      // Each length is held by one of the two filters; the other has no
      // texts of it.
      auto keep = [&](std::uint32_t id, std::uint32_t length, const join::CharCounts& c, std::uint64_t t) {
        if (!found_by_other(id, length) && (join::count_distance(r.counts, c) + 1) / 2 <= t) out.push_back(id);
      };
      if (deletions) deletions->candidates(r, lo, hi, within, scratch.deletions, keep);
      const std::size_t held = out.size();
      segments->candidates(r, lo, hi, within, scratch.segments, keep);
      // The deletion filter gives each text once, and the two filters hold
      // different lengths: only the partition filter's texts may repeat.
      if (any_order) {
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(held), out.end());
        out.erase(std::unique(out.begin() + static_cast<std::ptrdiff_t>(held), out.end()), out.end());
        return;
      }
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
  // A self join's groups of equal texts, if it groups them: text g of the
  // index is the first of group g, and the list's texts are the members.
  std::optional<EqualGroups> groups;
  WorkingTexts texts;
  std::optional<join::Thresholds> thresholds;  // edit distances
  // Normalized: the longest partner of each length that an indexed text has,
  // a bisection each, found once rather than for every query (0: not found
  // here).
  std::vector<std::uint32_t> longest_partners;
  std::optional<DeletionIndex> deletions;  // the short texts of a fixed cutoff, if any
  std::optional<join::ExactTexts> exact;  // a fixed cutoff's texts, unless the index serves a self join
  std::optional<SegmentIndex> segments;
  std::optional<JaroBounds> bounds;
  std::optional<CompositionIndex> compositions, initials;
  std::optional<join::PrefixIndex> prefixes;
  std::vector<std::uint32_t> empties;  // Jaro-Winkler: the empty texts, paired apart
  // The searches' scratch between runs; the runs over an index may overlap.
  mutable join::ScratchShelf shelf;
};

JoinIndex::JoinIndex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
JoinIndex::~JoinIndex() = default;

namespace {

// The phase that builds an index, in one task that polls for a stop; the
// phase after it (a run over the index) is made from what it built.
class BuildJob final : public ManyRun::Job {
 public:
  using Then = std::function<std::unique_ptr<ManyRun::Job>(std::shared_ptr<const JoinIndex>)>;
  BuildJob(const ManyOptions& options, double scale, std::span<const TextView> candidates, join::Reach reach,
           bool group_repeats, std::shared_ptr<const JoinIndex>* out, Then after)
      : options_(options),
        scale_(scale),
        candidates_(candidates),
        reach_(reach),
        group_repeats_(group_repeats),
        out_(out),
        then_(std::move(after)) {
    plan.row_bounds = {0, 1};
  }

  void run(std::size_t, const ThreadPool& pool) override {
    Meter meter(pool);
    built_ = std::make_shared<const JoinIndex>(
        std::make_unique<JoinIndex::Impl>(options_, scale_, candidates_, reach_, group_repeats_, meter));
    if (out_) *out_ = built_;
  }
  std::unique_ptr<ManyRun::Job> next() override { return then_ ? then_(built_) : nullptr; }

 private:
  const ManyOptions options_;
  const double scale_;
  const std::span<const TextView> candidates_;
  const join::Reach reach_;
  const bool group_repeats_;
  std::shared_ptr<const JoinIndex>* const out_;
  const Then then_;
  std::shared_ptr<const JoinIndex> built_;
};

// `group_repeats`: a self join of edit distances, which may group equal texts.
Result<std::unique_ptr<ManyRun>> start_build(const ManyOptions& options, std::span<const TextView> candidates,
                                             join::Reach reach, bool group_repeats,
                                             std::shared_ptr<const JoinIndex>* out, BuildJob::Then after) {
  const Result<double> scale = check_prefix_scale(options.p);
  if (!scale.ok()) return scale.error();
  return std::make_unique<ManyRun>(
      std::make_unique<BuildJob>(options, scale.value(), candidates, reach, group_repeats, out, std::move(after)),
      clamp_workers(options.workers));
}

}  // namespace

Result<std::unique_ptr<ManyRun>> start_index_build(const ManyOptions& options,
                                                   std::span<const TextView> candidates,
                                                   std::shared_ptr<const JoinIndex>& out) {
  return start_build(options, candidates, join::Reach::kAllPartners, false, &out, nullptr);
}

Result<std::shared_ptr<const JoinIndex>> JoinIndex::build(const ManyOptions& options,
                                                          std::span<const TextView> candidates) {
  std::shared_ptr<const JoinIndex> index;
  Result<std::unique_ptr<ManyRun>> run = start_index_build(options, candidates, index);
  if (!run.ok()) return run.error();
  run.value()->finish();
  return index;
}

std::size_t JoinIndex::size() const { return impl_->texts.size(); }
const ManyOptions& JoinIndex::options() const { return impl_->options; }

ScoreType JoinIndex::score_type(std::span<const TextView> queries) const {
  if (impl_->options.normalized) return ScoreType::F64;
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
// A normalized score is normalized_similarity of that distance and the
// working forms' lengths, which are the lengths as compared. Similarities
// come from the scalar measure with the cutoff, the earlier text of a self
// join's pair as the pattern, as the cross product scores it.
// `scorer` is the query's, made on first use and kept while the query is
// searched (a top list searches it distance by distance).
inline constexpr std::size_t kFewForScorer = 6;

template <class Order>
void score_candidates(const JoinIndex::Impl& index, const ManyOptions& run, const WorkingQuery& query,
                      std::span<const std::uint32_t> found, std::span<const TextView> others,
                      std::span<const std::uint8_t> flipped, std::optional<DistanceScorer>& scorer,
                      std::vector<std::uint64_t>& distances, std::span<typename Order::Value> out) {
  auto score_distances = [&](std::span<std::uint64_t> to) {
    // A few candidates of an ASCII query are scored by the scalar measure,
    // which gives the batch scorer's distances: preparing the scorer (the
    // query's table of masks, its allocation) costs more than they do. (Beyond
    // ASCII each scalar call decodes the query again, and the scorer wins.)
    // Once made, the scorer serves the query's later searches.
    if (!scorer && others.size() <= kFewForScorer && is_ascii(query.text())) {
      const auto measure = index.options.measure == Measure::kDamerau ? damerau_bp : levenshtein_bp;
      for (std::size_t k = 0; k < others.size(); ++k)
        to[k] = measure(TextView(query.text()), others[k], std::nullopt, false, std::nullopt).value();
      return;
    }
    if (!scorer)
      scorer = index.options.measure == Measure::kDamerau ? DistanceScorer::damerau(TextView(query.text()), false)
                                                          : DistanceScorer::levenshtein(TextView(query.text()), false);
    scorer->score(others, to);
  };
  if constexpr (std::is_same_v<typename Order::Value, double>) {
    if (index.options.normalized) {
      distances.resize(others.size());
      score_distances(distances);
      for (std::size_t k = 0; k < others.size(); ++k)
        out[k] = normalized_similarity(distances[k], query.length, index.texts.length(found[k]));
      return;
    }
    for (std::size_t k = 0; k < others.size(); ++k) {
      const TextView q(query.text());
      out[k] = jaro_winkler(flipped[k] ? others[k] : q, flipped[k] ? q : others[k], index.p, std::nullopt,
                            false, run.min_similarity)
                   .value();
    }
  } else {
    score_distances(out);
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
    run_.normalized = m_.options.normalized;
    const std::size_t rows = queries ? queries->size() : m_.texts.size();
    const std::size_t tasks = std::max<std::size_t>(1, std::min(rows, run_.workers * 16));
    plan.row_bounds.reserve(tasks + 1);
    for (std::size_t t = 0; t <= tasks; ++t) plan.row_bounds.push_back(rows * t / tasks);
    plan.rows = rows;
  }

 protected:
  // What a task reuses from query to query, and a later run's task after it.
  struct Scratch : join::ScratchShelf::Item {
    WorkingQuery query;
    std::vector<std::uint32_t> found;
    JoinIndex::Impl::FilterScratch filters;
    std::vector<TextView> others;
    std::vector<std::uint8_t> flipped;  // the pair's earlier text is the candidate
    std::optional<DistanceScorer> scorer;  // of the query taken
    std::vector<std::uint64_t> distances;  // normalized: before they are scores
    std::vector<Value> scores;
    std::vector<Entry<Value>> items;  // a top list's row
  };

  // A task's scratch, back on the index's shelf when the task ends.
  join::ScratchShelf::Loan<Scratch> borrow_scratch() const { return join::ScratchShelf::Loan<Scratch>(m_.shelf); }

  // Calls kept(j, score) for every candidate j the cutoff keeps with query i,
  // in increasing j (in any order with `any_order`). In a self join, only for
  // the pairs query i finds (see above), with j any index other than i, and
  // the score that of (min(i, j), max(i, j)).
  template <class Kept>
  void each_match(std::size_t i, Scratch& scratch, Kept&& kept, bool any_order = false) const {
    take(i, scratch);
    match(i, scratch, kept, std::nullopt, any_order);
  }

  // The score of two equal texts, each text i of the index: distance 0, or
  // its normalized similarity (1.0 at every length, 0 included).
  Value equal_score(std::size_t i) const {
    if constexpr (std::is_same_v<Value, double>) {
      const std::uint32_t l = m_.texts.length(i);
      return normalized_similarity(0, l, l);
    } else {
      return 0;
    }
  }

  // Query i's working form into scratch.query (its scorer made anew).
  void take(std::size_t i, Scratch& scratch) const {
    if (!queries_) scratch.query.take(TextView(m_.texts.text(i)), false);
    else scratch.query.take((*queries_)[i], m_.options.case_insensitive);
    scratch.scorer.reset();
  }

  // each_match for the query taken, and given `within` (edit distances),
  // only for the candidates within that distance too; with `any_order`, in
  // any order of j.
  template <class Kept>
  void match(std::size_t i, Scratch& scratch, Kept&& kept, std::optional<std::uint64_t> within,
             bool any_order = false) const {
    const bool self = !queries_;
    const WorkingQuery& r = scratch.query;
    std::vector<std::uint32_t>& found = scratch.found;
    std::uint32_t lo = m_.shortest(r.length), hi = m_.longest(r.length);
    if (self) (m_.self_from_shorter() ? lo : hi) = r.length;
    if (within) {
      // Every edit changes a length by at most one.
      lo = static_cast<std::uint32_t>(std::max<std::uint64_t>(lo, r.length - std::min<std::uint64_t>(*within, r.length)));
      hi = static_cast<std::uint32_t>(std::min<std::uint64_t>(hi, std::uint64_t{r.length} + *within));
    }
    m_.candidates(r, lo, hi, self ? std::optional(i) : std::nullopt, within, any_order, scratch.filters, found);
    if (found.empty()) return;
    scratch.others.clear();
    scratch.flipped.clear();
    // Where each candidate lies, then its bytes, asked for ahead of their
    // use: the candidates lie anywhere in the list.
    for (const std::uint32_t j : found) m_.texts.prefetch_place(j);
    for (const std::uint32_t j : found) {
      scratch.others.emplace_back(m_.texts.text(j));
      __builtin_prefetch(scratch.others.back().data);
      scratch.flipped.push_back(self && j < i);
    }
    scratch.scores.resize(found.size());
    score_candidates<Order>(m_, run_, r, found, scratch.others, scratch.flipped, scratch.scorer, scratch.distances,
                            scratch.scores);
    for (std::size_t k = 0; k < found.size(); ++k) {
      bool keep = Order::within(scratch.scores[k], run_);
      if constexpr (std::is_same_v<Order, DistanceOrder>) keep = keep && (!within || scratch.scores[k] <= *within);
      if (keep) kept(found[k], scratch.scores[k]);
    }
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
    const auto loan = this->borrow_scratch();
    auto& scratch = *loan;
    std::vector<Entry<Value>>& items = scratch.items;
    const auto push = [&](std::uint32_t j, Value s) { items.push_back({s, j}); };
    const std::optional<std::uint64_t> last = stepped();
    for (std::size_t i = this->plan.row_bounds[task]; i < this->plan.row_bounds[task + 1]; ++i) {
      if (pool.stop_requested()) return;
      items.clear();
      // A row's list is sorted by score and index once found.
      if (!last) {
        this->each_match(i, scratch, push, true);
      } else {
        // Distance 0, 1, ... up to the cutoff, until k texts lie within the
        // distance searched. The filters find every text within it, so then
        // the k best of all (by distance, then index) are among those found:
        // any other lies farther. Distance 0 alone finds k texts only where k
        // equal texts are indexed: beyond k = 1, or where no indexed text
        // can equal the query, the search starts at 1 (distance 0 would find
        // nothing, and the search would go on).
        this->take(i, scratch);
        // Asked only where the answer saves work: a top 1's search at
        // distance 0, the deletion filter's lookup of equal texts.
        WorkingQuery& query = scratch.query;
        const join::DeletionIndex* deletions = this->m_.deletions ? &*this->m_.deletions : nullptr;
        const bool ask = out_.k == 1 || (deletions && query.length <= deletions->longest());
        query.may_equal_held = !ask || !this->m_.exact || this->m_.exact->may_hold(query.text());
        for (std::uint64_t t = out_.k == 1 && query.may_equal_held ? 0 : 1;; ++t) {
          items.clear();
          this->match(i, scratch, push, t, true);
          if (items.size() >= out_.k || t == *last) break;
        }
      }
      write_top_row<Order>(out_, i, items);
    }
  }

 private:
  // The cutoff, when the lists are searched distance by distance: fixed
  // cutoffs 1 to kMostSteps of the edit distances. Beyond, the search at each
  // distance costs nearly what the whole does.
  std::optional<std::uint64_t> stepped() const {
    static constexpr std::uint64_t kMostSteps = 3;
    if constexpr (std::is_same_v<Order, DistanceOrder>) {
      const std::optional<std::uint64_t> d = this->run_.max_distance;
      if (this->m_.segments && d && *d >= 1 && *d <= kMostSteps) return d;
    }
    return std::nullopt;
  }

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
    const auto loan = this->borrow_scratch();
    auto& scratch = *loan;
    const bool self = !this->queries_;
    auto push = [&](std::size_t i, std::size_t j, Value s) {
      b.queries.push_back(static_cast<std::int64_t>(self ? std::min(i, j) : i));
      b.candidates.push_back(static_cast<std::int64_t>(self ? std::max(i, j) : j));
      scores(b).push_back(s);
    };
    const std::optional<EqualGroups>& groups = this->m_.groups;
    for (std::size_t i = this->plan.row_bounds[task]; i < this->plan.row_bounds[task + 1]; ++i) {
      if (pool.stop_requested()) return;
      // A self join's pairs are put in order after (next()).
      if (!groups) {
        this->each_match(i, scratch, [&](std::size_t j, Value s) { push(i, j, s); }, self);
        continue;
      }
      // Group i's members with each other, then with each kept group's,
      // written in place: their number is known before the first.
      const std::span<const std::uint32_t> own = groups->group(i);
      const Value equal = this->equal_score(i);
      for (std::size_t a = 0; a < own.size(); ++a) {
        if (pool.stop_requested()) return;
        push_product(b, own.subspan(a, 1), own.subspan(a + 1), equal, self);
      }
      this->each_match(i, scratch, [&](std::size_t j, Value s) { push_product(b, own, groups->group(j), s, self); },
                       self);
    }
  }

  // Each pair of a text of xs with one of ys into b, the smaller index first
  // in a self join.
  static void push_product(PairsFound::Buffers::Buffer& b, std::span<const std::uint32_t> xs,
                           std::span<const std::uint32_t> ys, Value s, bool self) {
    const std::size_t at = b.queries.size(), end = at + xs.size() * ys.size();
    b.queries.resize(end);
    b.candidates.resize(end);
    scores(b).resize(end, s);
    std::int64_t* query = b.queries.data() + at;
    std::int64_t* candidate = b.candidates.data() + at;
    for (const std::uint32_t x : xs) {
      for (const std::uint32_t y : ys) {
        *query++ = self ? std::min(x, y) : x;
        *candidate++ = self ? std::max(x, y) : y;
      }
    }
  }

  // A self join found its pairs by the longer or the shorter text: a phase
  // follows that puts them in (i, j) order.
  std::unique_ptr<ManyRun::Job> next() override {
    if (this->queries_) return nullptr;
    const std::optional<EqualGroups>& groups = this->m_.groups;
    // Every pair kept lies within the cutoff, so a cutoff below 2^32 lets
    // the pairs be packed.
    const std::optional<std::uint64_t> d = this->run_.max_distance;
    return std::make_unique<OrderPairs>(out_, groups ? groups->members.size() : this->plan.rows, this->run_.workers,
                                        std::is_same_v<Value, std::uint64_t> && d && *d >> 32 == 0);
  }

 private:
  static PairColumn<Value>& scores(PairsFound::Buffers::Buffer& b) {
    if constexpr (std::is_same_v<Value, double>) return b.similarities;
    else return b.distances;
  }

  // The pairs put in order of query by a counting sort in two phases, the
  // found buffers shared out among the workers (share s takes buffers s,
  // s + shares, ...): this one counts each share's pairs by query; once every
  // share's place within every row is known, Scatter moves them there,
  // freeing each buffer once read; SortRows then sorts each query's
  // candidates. A pair is found once: no ties.
  class OrderPairs final : public ManyRun::Job {
   public:
    // `packed`: every distance is below 2^32 (Buffers::Rows).
    OrderPairs(PairsFound::Buffers& out, std::size_t rows, std::size_t workers, bool packed)
        : out_(out), rows_(rows), workers_(workers),
          shares_(std::clamp<std::size_t>(std::min(workers, out.tasks.size()), 1, kMostShares)),
          at_(shares_, std::vector<std::size_t>(rows, 0)),
          packed_(packed) {
      for (std::size_t s = 0; s <= shares_; ++s) plan.row_bounds.push_back(s);
    }

    void run(std::size_t share, const ThreadPool& pool) override {
      Meter meter(pool);
      std::vector<std::size_t>& count = at_[share];
      for (std::size_t t = share; t < out_.tasks.size(); t += shares_) {
        for (const std::int64_t i : out_.tasks[t].queries) ++count[static_cast<std::size_t>(i)];
        meter.spend(out_.tasks[t].queries.size());
      }
    }

    // Row r's pairs begin at row_begin_[r], share 0's first, and at_[s][r]
    // becomes where share s's pairs of row r go: into packed keys, or into
    // three columns.
    std::unique_ptr<ManyRun::Job> next() override {
      row_begin_.resize(rows_ + 1);
      std::size_t at = 0;
      for (std::size_t r = 0; r < rows_; ++r) {
        row_begin_[r] = at;
        for (std::vector<std::size_t>& share : at_) at += std::exchange(share[r], at);
      }
      row_begin_[rows_] = at;
      if (packed_) {
        out_.rows.keys.resize(at);
      } else {
        sorted_.queries.resize(at);
        sorted_.candidates.resize(at);
        scores(sorted_).resize(at);
      }
      return std::make_unique<Scatter>(*this);
    }

   private:
    class Scatter final : public ManyRun::Job {
     public:
      explicit Scatter(OrderPairs& order) : order_(order) { plan.row_bounds = order.plan.row_bounds; }

      void run(std::size_t share, const ThreadPool& pool) override {
        using Buffer = PairsFound::Buffers::Buffer;
        Meter meter(pool);
        std::vector<std::size_t>& at = order_.at_[share];
        Buffer& sorted = order_.sorted_;
        std::uint64_t* const keys = order_.out_.rows.keys.data();
        for (std::size_t t = share; t < order_.out_.tasks.size(); t += order_.shares_) {
          Buffer& b = order_.out_.tasks[t];
          if constexpr (std::is_same_v<Value, std::uint64_t>) {
            if (order_.packed_) {
              for (std::size_t k = 0; k < b.queries.size(); ++k)
                keys[at[static_cast<std::size_t>(b.queries[k])]++] =
                    static_cast<std::uint64_t>(b.candidates[k]) << 32 | b.distances[k];
              meter.spend(2 * b.queries.size());
              b = Buffer();
              continue;
            }
          }
          for (std::size_t k = 0; k < b.queries.size(); ++k) {
            const std::size_t to = at[static_cast<std::size_t>(b.queries[k])]++;
            sorted.queries[to] = b.queries[k];
            sorted.candidates[to] = b.candidates[k];
            scores(sorted)[to] = scores(b)[k];
          }
          meter.spend(4 * b.queries.size());
          b = Buffer();
        }
      }

      std::unique_ptr<ManyRun::Job> next() override {
        std::vector<std::vector<std::size_t>>().swap(order_.at_);
        PairsFound::Buffers& out = order_.out_;
        if (order_.packed_) {
          out.tasks.clear();
          out.rows.from = std::move(order_.row_begin_);
          return std::make_unique<SortRows>(out, out.rows.from, order_.workers_, true);
        }
        out.tasks.resize(1);
        out.tasks.front() = std::move(order_.sorted_);
        return std::make_unique<SortRows>(out, order_.row_begin_, order_.workers_, false);
      }

     private:
      OrderPairs& order_;
    };

    // Each query's candidates sorted, with their scores, packed or in the one
    // buffer of columns; a task is a range of queries holding about an equal
    // share of the pairs, so that each output slot has one writer.
    class SortRows final : public ManyRun::Job {
     public:
      SortRows(PairsFound::Buffers& out, const std::vector<std::size_t>& row_begin, std::size_t workers, bool packed)
          : out_(out), row_begin_(row_begin), packed_(packed) {
        const std::size_t rows = row_begin.size() - 1, pairs = row_begin.back();
        const std::size_t tasks = std::max<std::size_t>(1, std::min(rows, workers * 16));
        plan.row_bounds.push_back(0);
        for (std::size_t t = 1; t < tasks; ++t) {
          const auto row = static_cast<std::size_t>(
              std::lower_bound(row_begin.begin(), row_begin.end() - 1, pairs * t / tasks) - row_begin.begin());
          if (row > plan.row_bounds.back()) plan.row_bounds.push_back(row);
        }
        plan.row_bounds.push_back(rows);
        plan.rows = rows;
      }

      void run(std::size_t task, const ThreadPool& pool) override {
        Meter meter(pool);
        std::vector<std::pair<std::int64_t, Value>> row;
        std::uint64_t* const keys = out_.rows.keys.data();
        std::vector<std::uint64_t> spare;
        for (std::size_t i = plan.row_bounds[task]; i < plan.row_bounds[task + 1]; ++i) {
          const std::size_t lo = row_begin_[i], hi = row_begin_[i + 1];
          if (hi - lo < 2) continue;
          // A candidate is below 2^32 (an index holds fewer texts) and
          // appears once in its row, so packed keys order as the candidates
          // do.
          if (packed_) {
            sort_row(keys + lo, hi - lo, spare);
            meter.spend(2 * (hi - lo) * static_cast<std::uint64_t>(std::bit_width(hi - lo)));
            continue;
          }
          PairsFound::Buffers::Buffer& sorted = out_.tasks.front();
          row.clear();
          for (std::size_t k = lo; k < hi; ++k) row.emplace_back(sorted.candidates[k], scores(sorted)[k]);
          std::sort(row.begin(), row.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
          for (std::size_t k = lo; k < hi; ++k) {
            sorted.candidates[k] = row[k - lo].first;
            scores(sorted)[k] = row[k - lo].second;
          }
          meter.spend(8 * (hi - lo) * static_cast<std::uint64_t>(std::bit_width(hi - lo)));
        }
      }

     private:
      PairsFound::Buffers& out_;
      const std::vector<std::size_t>& row_begin_;
      const bool packed_;  // the rows' pairs are out_.rows' keys, else out_.tasks.front()'s columns
    };

    // Each share counts into a row's worth of its own.
    static constexpr std::size_t kMostShares = 8;
    PairsFound::Buffers& out_;
    const std::size_t rows_;
    const std::size_t workers_;
    const std::size_t shares_;
    std::vector<std::vector<std::size_t>> at_;  // by share and row: a count, then a place
    const bool packed_;
    PairsFound::Buffers::Buffer sorted_;  // unless packed
    std::vector<std::size_t> row_begin_;  // where each query's pairs begin, once sorted
  };

  PairsFound::Buffers& out_;
};

// The clusters of a self join: each pair within the cutoff joins the two
// components (many/shared_components.h); no pair is held. The labels phase
// follows.
template <class Order>
class IndexClustersJob final : public IndexJob<Order> {
 public:
  using Value = typename Order::Value;
  IndexClustersJob(std::shared_ptr<const JoinIndex> index, const ManyOptions& run, SharedComponents components)
      : IndexJob<Order>(std::move(index), run, std::nullopt), components_(components) {}

  void run(std::size_t task, const ThreadPool& pool) override {
    const auto loan = this->borrow_scratch();
    auto& scratch = *loan;
    const std::optional<EqualGroups>& groups = this->m_.groups;
    // A group stands for its members: all of them are one component.
    auto member = [&](std::size_t i) -> std::size_t { return groups ? groups->first(i) : i; };
    for (std::size_t i = this->plan.row_bounds[task]; i < this->plan.row_bounds[task + 1]; ++i) {
      if (pool.stop_requested()) return;
      if (groups)
        for (const std::uint32_t x : groups->group(i).subspan(1)) components_.unite(member(i), x);
      // Every kept pair is united, none skipped as already grouped: that
      // look is a random read of the labels per candidate, which cost more
      // than the scoring it spared on a million names (1.06-1.29 times the
      // pairs call's time, against 0.90-0.98 without it).
      this->each_match(i, scratch, [&](std::size_t j, Value) { components_.unite(member(i), member(j)); }, true);
    }
  }

  std::unique_ptr<ManyRun::Job> next() override {
    return std::make_unique<ComponentsPhase>(components_, ComponentsPhase::Step::kLabels);
  }

 private:
  const SharedComponents components_;
};

template <template <class> class Job, class... Args>
std::unique_ptr<ManyRun::Job> index_job(std::shared_ptr<const JoinIndex> index, ManyOptions run,
                                        Args&&... args) {
  run.workers = clamp_workers(run.workers);
  if (index->options().measure == Measure::kJaroWinkler || index->options().normalized)
    return std::make_unique<Job<SimilarityOrder>>(std::move(index), run, std::forward<Args>(args)...);
  return std::make_unique<Job<DistanceOrder>>(std::move(index), run, std::forward<Args>(args)...);
}

template <template <class> class Job, class... Args>
Result<std::unique_ptr<ManyRun>> start_on_index(std::shared_ptr<const JoinIndex> index,
                                                const ManyOptions& run, Args&&... args) {
  return std::make_unique<ManyRun>(index_job<Job>(std::move(index), run, std::forward<Args>(args)...),
                                   clamp_workers(run.workers));
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
// Above this share of such pairs the filters find nearly every pair the
// cross product scores, at many times its cost per pair.
constexpr double kMostKeptShare = 1.0 / 32;

// The share of all pairs that the partition filter cannot rule out whatever
// their texts, estimated from an even sample: pairs of equal texts, and
// pairs of texts too short to be cut into segments (each is paired with
// every text of a near length) and not held by the deletion filter (lengths up
// to `held`, if any). A column of a few repeated values (a
// category, a company name) is mostly such pairs.
double kept_anyway_share(std::span<const TextView> texts, const join::Thresholds& thresholds, std::uint32_t gap,
                         join::Reach reach, std::optional<std::uint32_t> held) {
  const std::size_t s = sample_size(texts);
  if (s < 2) return 0.0;
  double uncut = 0;
  for (std::size_t k = 0; k < s; ++k) {
    // A code point is at least a byte: the sizes are bounds on the lengths.
    const std::size_t size = sampled(texts, k).size;
    uncut += !(held && size <= *held) && !thresholds.cut(size, gap, reach);
  }
  const std::vector<std::uint64_t> hashes = sampled_hashes(texts);
  double equal = 0;  // pairs within runs of equal hashes
  for (std::size_t a = 0, b = 0; a < s; a = b) {
    while (b < s && hashes[b] == hashes[a]) ++b;
    equal += static_cast<double>(b - a) * static_cast<double>(b - a - 1) / 2;
  }
  const double pairs = static_cast<double>(s) * static_cast<double>(s - 1) / 2;
  const double short_share = uncut / static_cast<double>(s);
  return equal / pairs + short_share * short_share;
}

}  // namespace

bool use_filters(const ManyOptions& o, std::size_t rows, std::span<const TextView> candidates,
                 bool self) {
  if (o.plan == JoinPlan::kCross || candidates.size() >= UINT32_MAX) return false;
  const bool jw = o.measure == Measure::kJaroWinkler;
  // A similarity cutoff of 0 keeps every pair: nothing to filter.
  if (jw || o.normalized ? !(o.min_similarity && *o.min_similarity > 0.0) : !o.max_distance) return false;
  const Result<double> scale = check_prefix_scale(o.p);
  if (!scale.ok()) return false;  // the cross product's start reports it
  if (o.plan == JoinPlan::kFiltered) return true;
  const double n = static_cast<double>(candidates.size());
  if ((self ? n * (n - 1) / 2 : n * static_cast<double>(rows)) < kLeastFilteredPairs) return false;
  if (!self && static_cast<double>(rows) < kLeastFilteredRows) return false;
  if (jw) return JaroBounds(*o.min_similarity, scale.value(), join::kPrefixPoints).least_jaro() >= kLeastJaro;
  double bytes = 0;
  for (const TextView& t : candidates) bytes += static_cast<double>(t.size);
  const join::Thresholds thresholds =
      o.normalized ? join::Thresholds::normalized(*o.min_similarity) : join::Thresholds(*o.max_distance);
  const std::uint32_t gap = o.measure == Measure::kDamerau ? 1 : 0;
  const join::Reach reach = self && o.normalized ? join::Reach::kLongerPartners : join::Reach::kAllPartners;
  // The segments of a text of the mean length. A normalized cutoff cuts it for
  // the widest threshold of a longer partner, but a pair of two such texts is
  // looked up in only D(mean) + 1 of them, which is what the search costs.
  const double mean = bytes / n;
  const std::optional<std::uint32_t> held = deletion_longest(o);
  if (held && mean <= *held) return kept_anyway_share(candidates, thresholds, gap, reach, held) <= kMostKeptShare;
  const auto typical = static_cast<std::uint64_t>(mean + 0.5);
  const double d = static_cast<double>(o.normalized ? thresholds.pair(typical) : thresholds.cut_for(typical, reach));
  if ((mean - gap * d) / (d + 1) < kLeastSegment) return false;
  return kept_anyway_share(candidates, thresholds, gap, reach, held) <= kMostKeptShare;
}

Result<std::unique_ptr<ManyRun>> start_filtered_top(const ManyOptions& options,
                                                    std::span<const TextView> queries,
                                                    std::span<const TextView> candidates,
                                                    const TopOutput& out) {
  return start_build(options, candidates, join::Reach::kAllPartners, false, nullptr,
                     [options, queries, out](std::shared_ptr<const JoinIndex> index) {
    return index_job<IndexTopJob>(std::move(index), options, queries, out);
  });
}

Result<std::unique_ptr<ManyRun>> start_filtered_pairs(const ManyOptions& options,
                                                      std::span<const TextView> queries,
                                                      std::optional<std::span<const TextView>> candidates,
                                                      ScoreType type, PairsFound& out) {
  PairsFound::Buffers& buffers = ManyAccess::buffers(out, type, options);
  const std::optional<std::span<const TextView>> probes =
      candidates ? std::optional(queries) : std::nullopt;
  // A self join's index serves that join alone: from the shorter text, where
  // it finds its pairs so, each text need only be cut for its own threshold.
  const join::Reach reach = !candidates && options.normalized ? join::Reach::kLongerPartners
                                                              : join::Reach::kAllPartners;
  return start_build(options, candidates ? *candidates : queries, reach,
                     !candidates && options.measure != Measure::kJaroWinkler, nullptr,
                     [options, probes, &buffers](std::shared_ptr<const JoinIndex> index) {
                       return index_job<IndexPairsJob>(std::move(index), options, probes, buffers);
                     });
}

Result<std::unique_ptr<ManyRun>> start_filtered_clusters(const ManyOptions& options,
                                                         std::span<const TextView> texts,
                                                         std::span<std::int64_t> labels) {
  // The singletons come after the build, so that the labels' pages are first
  // touched once the build's scratch is freed.
  const SharedComponents components(labels);
  // A self join: its index may serve it from the shorter text, as a pairs
  // self join's does.
  const join::Reach reach = options.normalized ? join::Reach::kLongerPartners : join::Reach::kAllPartners;
  return start_build(options, texts, reach, options.measure != Measure::kJaroWinkler, nullptr,
                     [options, components](std::shared_ptr<const JoinIndex> index) {
    return after_singletons(components, index_job<IndexClustersJob>(std::move(index), options, components));
  });
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
  PairsFound::Buffers& buffers = ManyAccess::buffers(out, type, options);
  return start_on_index<IndexPairsJob>(std::move(index), options, queries, buffers);
}

}  // namespace quillmatch
