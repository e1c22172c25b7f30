// Two columns scored row by row: out[i] = the score of (queries[i],
// candidates[i]), as the scalar kernel of its measure gives it (no max_len,
// no cutoff) with queries[i] as str_1, bit for bit; a normalized entry is
// normalized_similarity of that distance and the two texts' lengths as
// compared. The pairs go through a PairScorer per task, which scores short
// ones many at a time and every other one with the kernel.
//
// A task is a contiguous range of rows, so each output slot has one writer.
// Rows are scored a batch at a time, and the task polls for a stop once the
// pair_work since its last poll reaches kPollWork. Over rows
// still arriving (RowFeed), a batch first waits for its rows; tasks are
// claimed in row order, so the workers follow the producer.
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

// The views of a run given them whole: a base of the job, so that they are
// made before the job refers to them.
struct HeldSpans {
  SpanRows held_queries, held_candidates;
};

class RowsJob final : private HeldSpans, public ManyRun::Job {
 public:
  // REQUIRES: candidates.size() is queries.size() or 1; both outlive the job.
  RowsJob(const ManyOptions& options, const TextRows& queries, const TextRows& candidates, ScoreType type,
          void* out)
      : HeldSpans{SpanRows({}), SpanRows({})},
        options_(options), queries_(&queries), candidates_(&candidates), type_(type), out_(out) {
    plan_tasks();
  }
  // Over views kept whole (the spans, not the views, held here), written
  // while the run goes when a feed is given.
  RowsJob(const ManyOptions& options, std::span<const TextView> queries, std::span<const TextView> candidates,
          ScoreType type, void* out, const RowFeed* feed = nullptr)
      : HeldSpans{SpanRows(queries), SpanRows(candidates)},
        options_(options), queries_(&held_queries), candidates_(&held_candidates), type_(type), out_(out),
        feed_(feed) {
    plan_tasks();
  }
  RowsJob(const RowsJob&) = delete;
  RowsJob& operator=(const RowsJob&) = delete;

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
  void plan_tasks() {
    const std::size_t rows = queries_->size();
    const std::size_t tasks = std::max<std::size_t>(1, std::min(rows, options_.workers * kRowTasksPerWorker));
    for (std::size_t t = 0; t < tasks; ++t) plan.row_bounds.push_back(rows * t / tasks);
    plan.row_bounds.push_back(rows);
    plan.rows = rows;
  }

  // Scores this task's rows, a batch at a time, with score(queries,
  // candidates, out); one writer per slot: this task's rows alone. The
  // prefix scale was checked when the run started, and without max_len no
  // measure can fail.
  template <class Value, class Score>
  void walk(std::size_t task, const ThreadPool& pool, Score&& score) const {
    Value values[kRowBatch];
    TextView q[kRowBatch], c[kRowBatch];
    const std::size_t hi = plan.row_bounds[task + 1];
    const bool one = candidates_->size() == 1;
    if (one) candidates_->views(0, std::span(c, 1));
    // The work since the last poll: a batch ends at kRowBatch rows or once
    // it reaches kPollWork, and then the task polls, however many batches of
    // short pairs that took.
    std::uint64_t work = 0;
    for (std::size_t at = plan.row_bounds[task]; at < hi;) {
      const std::size_t fetched = std::min(kRowBatch, hi - at);
      if (feed_ && !feed_->wait(at + fetched, [&] { return pool.stop_requested(); })) return;
      queries_->views(at, std::span(q, fetched));
      if (!one) candidates_->views(at, std::span(c, fetched));
      std::size_t n = 0;
      while (n < fetched && work < kPollWork) {
        work += pair_work(q[n].size, c[one ? 0 : n].size);
        ++n;
      }
      score(std::span<const TextView>(q, n), std::span<const TextView>(c, one ? 1 : n), values);
      store(type_, out_, at, std::span<const Value>(values, n));
      at += n;
      if (work >= kPollWork) {
        work = 0;
        if (at < hi && pool.stop_requested()) return;
      }
    }
  }

  const ManyOptions options_;
  const TextRows* const queries_;
  const TextRows* const candidates_;  // one text: every row's
  const ScoreType type_;
  void* const out_;
  const RowFeed* const feed_ = nullptr;
};

template <class Texts, class... Feed>
Result<std::unique_ptr<ManyRun>> start_rows_of(const ManyOptions& options, const Texts& queries,
                                               const Texts& candidates, ScoreType type, void* out,
                                               Feed... feed) {
  const Result<ManyOptions> o = run_options(options);
  if (!o.ok()) return o.error();
  return std::make_unique<ManyRun>(std::make_unique<RowsJob>(o.value(), queries, candidates, type, out, feed...),
                                   o.value().workers);
}

}  // namespace

Result<std::unique_ptr<ManyRun>> start_rows(const ManyOptions& options, std::span<const TextView> queries,
                                            std::span<const TextView> candidates, ScoreType type, void* out) {
  return start_rows_of(options, queries, candidates, type, out);
}

Result<std::unique_ptr<ManyRun>> start_rows(const ManyOptions& options, const TextRows& queries,
                                            const TextRows& candidates, ScoreType type, void* out) {
  return start_rows_of(options, queries, candidates, type, out);
}

Result<std::unique_ptr<ManyRun>> start_rows(const ManyOptions& options, std::span<const TextView> queries,
                                            std::span<const TextView> candidates, ScoreType type, void* out,
                                            const RowFeed& feed) {
  return start_rows_of(options, queries, candidates, type, out, &feed);
}

void narrow_scores(std::span<const std::uint64_t> scores, ScoreType type, void* out) {
  store(type, out, 0, scores);
}

}  // namespace quillmatch
