// Two columns scored row by row: out[i] = the score of (queries[i],
// candidates[i]), as the scalar kernel of its measure gives it (no max_len,
// no cutoff) with queries[i] as str_1, bit for bit; a normalized entry is
// normalized_similarity of that distance and the two texts' lengths as
// compared. The pairs go through a PairScorer per task, which scores short
// ones many at a time and every other one with the kernel.
//
// A task is a contiguous range of rows, so each output slot has one writer.
// Rows are scored a batch at a time: a batch ends once its pairs' pair_work
// reaches kPollWork, and the task polls for a stop between batches.
#include <algorithm>
#include <memory>

#include "quillmatch/quillmatch.h"
#include "many/job.h"
#include "many/thread_pool.h"
#include "text/text.h"

namespace quillmatch {

namespace {

// Tasks per worker, claimed dynamically: rows of unequal length even out.
constexpr std::size_t kRowTasksPerWorker = 16;
// Scores are narrowed into the output this many at a time.
constexpr std::size_t kRowBatch = PairScorer::kMaxRows;

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

  // The prefix scale was checked when the run started.
  void run(std::size_t task, const ThreadPool& pool) override {
    const bool fold = options_.case_insensitive;
    PairScorer scorer = std::move(PairScorer::make(options_.measure, options_.p, fold).value());
    auto score = [&](std::span<const TextView> q, std::span<const TextView> c, auto* out) {
      scorer.score(q, c, std::span(out, q.size()));
    };
    if (options_.measure == Measure::kJaroWinkler) return walk<double>(task, pool, score);
    if (!options_.normalized) return walk<std::uint64_t>(task, pool, score);
    // Each distance made a similarity with its texts' lengths as compared.
    walk<double>(task, pool, [&](std::span<const TextView> q, std::span<const TextView> c, double* out) {
      std::uint64_t d[kRowBatch];
      score(q, c, d);
      for (std::size_t k = 0; k < q.size(); ++k)
        out[k] = normalized_similarity(d[k], compared_length(q[k].view(), fold),
                                       compared_length((c.size() == 1 ? c[0] : c[k]).view(), fold));
    });
  }

 private:
  // Scores this task's rows, a batch at a time, with score(queries,
  // candidates, out); one writer per slot: this task's rows alone. The
  // prefix scale was checked when the run started, and without max_len no
  // measure can fail.
  template <class Value, class Score>
  void walk(std::size_t task, const ThreadPool& pool, Score&& score) const {
    Value values[kRowBatch];
    const std::size_t hi = plan.row_bounds[task + 1];
    const bool one = candidates_.size() == 1;
    for (std::size_t at = plan.row_bounds[task]; at < hi;) {
      std::uint64_t work = 0;
      std::size_t n = 0;
      while (n < kRowBatch && at + n < hi && work < kPollWork) {
        work += pair_work(queries_[at + n].size, (one ? candidates_[0] : candidates_[at + n]).size);
        ++n;
      }
      score(queries_.subspan(at, n), one ? candidates_ : candidates_.subspan(at, n), values);
      store(type_, out_, at, std::span<const Value>(values, n));
      at += n;
      if (work >= kPollWork && at < hi && pool.stop_requested()) return;
    }
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
