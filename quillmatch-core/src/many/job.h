// What the engines of many-against-many runs share: the tiling of work into
// tasks, the job a run's workers execute, the buffers pairs are gathered in,
// and the narrowing of scores into an output array.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quillmatch/quillmatch.h"
#include "many/big_buffer.h"
#include "many/thread_pool.h"
#include "text/text.h"

namespace quillmatch {

// The tiling of the grid into tasks.
struct Plan {
  std::size_t rows = 0;
  std::size_t cols = 0;
  bool self_pairs = false;  // row i covers candidates i + 1 .. rows - 1
  bool by_rows = true;
  std::vector<std::size_t> row_bounds;  // by rows: task t is rows [b[t], b[t + 1])
  std::size_t col_width = 0;            // by columns: task t is row t / col_tasks,
  std::size_t col_tasks = 0;            // candidates from (t % col_tasks) * col_width

  std::size_t tasks() const {
    return by_rows ? row_bounds.size() - 1 : rows * col_tasks;
  }
  std::size_t row_begin(std::size_t i) const { return self_pairs ? i + 1 : 0; }
};

template <class Out, class Value>
void store_as(void* base, std::size_t at, std::span<const Value> values) {
  Out* out = static_cast<Out*>(base) + at;
  for (std::size_t k = 0; k < values.size(); ++k) out[k] = static_cast<Out>(values[k]);
}

// Writes values to entries [at, at + n) of an array of `type`.
// REQUIRES: every value fits the type (many_score_type guarantees it).
template <class Value>
void store(ScoreType type, void* base, std::size_t at, std::span<const Value> values) {
  switch (type) {
    case ScoreType::U8: return store_as<std::uint8_t>(base, at, values);
    case ScoreType::U16: return store_as<std::uint16_t>(base, at, values);
    case ScoreType::U32: return store_as<std::uint32_t>(base, at, values);
    case ScoreType::U64: return store_as<std::uint64_t>(base, at, values);
    case ScoreType::F64: return store_as<double>(base, at, values);
  }
}

template <class Value>
struct Entry {
  Value score;
  std::int64_t index;
};

// The order of a measure's scores, and which of them a cutoff keeps.
struct DistanceOrder {
  using Value = std::uint64_t;
  static bool better(Value a, Value b) { return a < b; }
  static bool within(Value v, const ManyOptions& o) { return !o.max_distance || v <= *o.max_distance; }
  // Best first; equal scores in candidate order.
  static bool better_entry(const Entry<Value>& a, const Entry<Value>& b) {
    return better(a.score, b.score) || (a.score == b.score && a.index < b.index);
  }
};

struct SimilarityOrder {
  using Value = double;
  static bool better(Value a, Value b) { return a > b; }
  static bool within(Value v, const ManyOptions& o) { return !o.min_similarity || v >= *o.min_similarity; }
  static bool better_entry(const Entry<Value>& a, const Entry<Value>& b) {
    return better(a.score, b.score) || (a.score == b.score && a.index < b.index);
  }
};

// Writes row i of a top output from the entries kept for it, in any order:
// the best k, best first, then padding (index -1, score 0).
template <class Order>
void write_top_row(const TopOutput& out, std::size_t i, std::vector<Entry<typename Order::Value>>& items) {
  using Value = typename Order::Value;
  constexpr std::size_t kBatch = 256;
  std::sort(items.begin(), items.end(), Order::better_entry);
  const std::size_t n = std::min(items.size(), out.k);
  Value values[kBatch];
  for (std::size_t k0 = 0; k0 < out.k; k0 += kBatch) {
    const std::size_t m = std::min(kBatch, out.k - k0);
    for (std::size_t k = 0; k < m; ++k) {
      const bool real = k0 + k < n;
      out.indices[i * out.k + k0 + k] = real ? items[k0 + k].index : -1;
      values[k] = real ? items[k0 + k].score : Value{};
    }
    store(out.type, out.scores, i * out.k + k0, std::span<const Value>(values, m));
  }
  out.counts[i] = static_cast<std::int64_t>(n);
}

// The engine side of one phase of a run: the plan and what its tasks share.
// A run is a chain of phases (an index built, then probed; pairs found, then
// put in order): each phase's tasks poll for a stop, and none starts before
// the one before it has run to its end.
struct ManyRun::Job {
  virtual ~Job() = default;
  virtual void run(std::size_t task, const ThreadPool& pool) = 0;
  // The phase after this one, called once this one has run to its end.
  virtual std::unique_ptr<Job> next() { return std::move(then); }
  Plan plan;
  std::unique_ptr<Job> then;  // the next phase, when it is known from the start
};

// A column of found pairs.
template <class T>
using PairColumn = std::vector<T, BigBufferAllocator<T>>;

// One growable buffer per task, so that pairs found by a task have one writer
// and concatenating the buffers in task order gives (i, j) order.
struct PairsFound::Buffers {
  struct Buffer {
    PairColumn<std::int64_t> queries, candidates;
    PairColumn<std::uint64_t> distances;
    PairColumn<double> similarities;
  };
  std::vector<Buffer> tasks;
  // A self join's pairs, once put in order where every distance is below
  // 2^32: row r's pairs are keys[from[r], from[r + 1]), each the candidate
  // above the distance (candidate << 32 | distance), 8 bytes a pair where
  // the three columns take 24. `tasks` is then empty.
  struct Rows {
    PairColumn<std::uint64_t> keys;
    std::vector<std::size_t> from;
  } rows;
  ScoreType type = ScoreType::U64;
  std::size_t workers = 1;  // the run's, which drain_to copies on
};

inline std::size_t clamp_workers(std::size_t w) { return std::clamp<std::size_t>(w, 1, kMaxManyWorkers); }

struct ManyAccess {
  // The buffers of a run about to start, given its score type and workers.
  static PairsFound::Buffers& buffers(PairsFound& p, ScoreType type, const ManyOptions& run) {
    p.buffers_->type = type;
    p.buffers_->workers = clamp_workers(run.workers);
    p.buffers_->rows = {};
    return *p.buffers_;
  }
};

// The options a run starts with, workers clamped; for Jaro-Winkler, the prefix
// scale's error when it is invalid, before any job is made or thread started.
inline Result<ManyOptions> run_options(ManyOptions o) {
  o.workers = clamp_workers(o.workers);
  if (o.measure == Measure::kJaroWinkler) {
    const Result<double> scale = check_prefix_scale(o.p);
    if (!scale.ok()) return scale.error();
  }
  return o;
}

// The work of scoring a pair of texts of these sizes in bytes, in kPollWork
// units: a cell of the dynamic programme for each pair of code points, 32
// cells a unit (a vector step covers 64 cells or more; the rest is preparing
// and reading).
inline std::uint64_t pair_work(std::size_t query_bytes, std::size_t text_bytes) {
  return (std::uint64_t{query_bytes} + 1) * (std::uint64_t{text_bytes} + 1) / 32 + 1;
}

// out[k] = the score of texts[k], scored in pieces of about kPollWork, with a
// poll for a stop between pieces; false when the run stopped (out is then
// incomplete). The pieces are a cut of the same calls: each score is the
// scorer's for its text, however the texts are grouped. `longest` is at
// least the size of every text, when the caller knows one.
template <class Scorer, class Value>
bool score_polled(const Scorer& scorer, std::size_t query_bytes, std::span<const TextView> texts,
                  std::span<Value> out, const ThreadPool& pool, std::size_t longest = SIZE_MAX) {
  // Most lists are short texts, well within one piece: the bound on their
  // sizes, or else a plain sum of them (no early exit, so the compiler
  // vectorizes it), tells so. Both factors below kPollWork, the products
  // stay far from overflowing.
  const auto one_piece = [&](std::uint64_t bytes) {
    return (std::uint64_t{query_bytes} + 1) * (bytes + texts.size()) / 32 + texts.size() < kPollWork;
  };
  bool whole = query_bytes < kPollWork && longest < kPollWork && one_piece(std::uint64_t{longest} * texts.size());
  if (!whole) {
    std::uint64_t bytes = 0;
    for (const TextView& t : texts) bytes += t.size;
    whole = one_piece(bytes);
  }
  if (whole) {
    scorer.score(texts, out);
    return true;
  }
  for (std::size_t at = 0; at < texts.size();) {
    std::size_t end = at;
    std::uint64_t work = 0;
    while (end < texts.size() && work < kPollWork) work += pair_work(query_bytes, texts[end++].size);
    scorer.score(texts.subspan(at, end - at), out.subspan(at, end - at));
    at = end;
    if (at < texts.size() && pool.stop_requested()) return false;
  }
  return true;
}

// Whether a top or pairs run takes the join filters (an index built over the
// candidates for the run) rather than the cross product: when its options
// allow it and, under JoinPlan::kAuto, when the filters pay. Both plans give
// the same results.
bool use_filters(const ManyOptions& options, std::size_t rows, std::span<const TextView> candidates,
                 bool self);

// Top and pairs runs that build an index over the candidates (in a first
// phase) and probe it with the queries; pairs without candidates: a self join.
Result<std::unique_ptr<ManyRun>> start_filtered_top(const ManyOptions& options,
                                                    std::span<const TextView> queries,
                                                    std::span<const TextView> candidates,
                                                    const TopOutput& out);
Result<std::unique_ptr<ManyRun>> start_filtered_pairs(const ManyOptions& options,
                                                      std::span<const TextView> queries,
                                                      std::optional<std::span<const TextView>> candidates,
                                                      ScoreType type, PairsFound& out);
// The clusters of a self join over an index built for the run.
Result<std::unique_ptr<ManyRun>> start_filtered_clusters(const ManyOptions& options,
                                                         std::span<const TextView> texts,
                                                         std::span<std::int64_t> labels);

}  // namespace quillmatch
