// Two columns scored row by row: out[i] = the score of (queries[i],
// candidates[i]), each pair through the scalar kernel of its measure (no
// max_len, no cutoff), so every entry is the scalar function's, bit for bit,
// with queries[i] as str_1; a normalized entry is normalized_similarity of
// that distance and the two texts' lengths as compared.
//
// A task is a contiguous range of rows, so each output slot has one writer. A
// pair is scored whole; between pairs the task counts their pair_work and
// polls for a stop once it has spent kPollWork since the last poll.
#include <algorithm>
#include <type_traits>

#include "quillmatch/quillmatch.h"
#include "many/job.h"
#include "many/thread_pool.h"
#include "text/text.h"

namespace quillmatch {

namespace {

// Tasks per worker, claimed dynamically: rows of unequal length even out.
constexpr std::size_t kRowTasksPerWorker = 16;
// Scores are narrowed into the output this many at a time.
constexpr std::size_t kRowBatch = 256;

class RowsJob final : public ManyRun::Job {
 public:
  RowsJob(const ManyOptions& options, std::span<const TextView> queries,
          std::span<const TextView> candidates, ScoreType type, void* out)
      : options_(options), queries_(queries), candidates_(candidates), type_(type), out_(out) {
    const std::size_t rows = queries.size();
    const std::size_t tasks = std::max<std::size_t>(1, std::min(rows, options.workers * kRowTasksPerWorker));
    for (std::size_t t = 0; t < tasks; ++t) plan.row_bounds.push_back(rows * t / tasks);
    plan.row_bounds.push_back(rows);
    plan.rows = rows;
  }

  void run(std::size_t task, const ThreadPool& pool) override {
    if (options_.measure == Measure::kJaroWinkler || options_.normalized) return walk<double>(task, pool);
    walk<std::uint64_t>(task, pool);
  }

 private:
  // One writer per slot: this task's rows alone.
  template <class Value>
  void walk(std::size_t task, const ThreadPool& pool) const {
    Value values[kRowBatch];
    std::uint64_t work = 0;
    const std::size_t hi = plan.row_bounds[task + 1];
    for (std::size_t at = plan.row_bounds[task]; at < hi;) {
      std::size_t n = 0;
      while (n < kRowBatch && at + n < hi && work < kPollWork) {
        const TextView q = queries_[at + n];
        const TextView c = candidates_.size() == 1 ? candidates_[0] : candidates_[at + n];
        values[n++] = score<Value>(q, c);
        work += pair_work(q.size, c.size);
      }
      store(type_, out_, at, std::span<const Value>(values, n));
      at += n;
      if (work >= kPollWork) {
        work = 0;
        if (at < hi && pool.stop_requested()) return;
      }
    }
  }

  // No max_len: the distances cannot fail. The prefix scale was checked when
  // the run started: the similarity cannot fail either.
  template <class Value>
  Value score(TextView q, TextView c) const {
    const bool folded = options_.case_insensitive;
    if constexpr (std::is_same_v<Value, double>) {
      if (options_.normalized)
        return normalized_similarity(distance(q, c), compared_length(q.view(), folded),
                                     compared_length(c.view(), folded));
      return jaro_winkler(q, c, options_.p, std::nullopt, folded, std::nullopt).value();
    } else {
      return distance(q, c);
    }
  }

  std::uint64_t distance(TextView q, TextView c) const {
    const bool folded = options_.case_insensitive;
    if (options_.measure == Measure::kDamerau) return damerau_bp(q, c, std::nullopt, folded, std::nullopt).value();
    return levenshtein_bp(q, c, std::nullopt, folded, std::nullopt).value();
  }

  const ManyOptions options_;
  const std::span<const TextView> queries_;
  const std::span<const TextView> candidates_;  // one text: every row's
  const ScoreType type_;
  void* const out_;
};

}  // namespace

Result<std::unique_ptr<ManyRun>> start_rows(const ManyOptions& options,
                                            std::span<const TextView> queries,
                                            std::span<const TextView> candidates, ScoreType type,
                                            void* out) {
  const Result<ManyOptions> o = run_options(options);
  if (!o.ok()) return o.error();
  return std::make_unique<ManyRun>(std::make_unique<RowsJob>(o.value(), queries, candidates, type, out),
                                   o.value().workers);
}

}  // namespace quillmatch
