// Many queries against many candidates, on a pool of threads.
//
// The work is a grid of (query, candidate) cells, cut into tasks in one of two
// ways. By rows, when there are enough queries to keep every worker busy: a
// task is a contiguous range of queries, each prepared once by the worker that
// owns its row and scored against all its candidates. By columns, when there
// are few queries (one query against a million candidates): the few scorers
// are prepared once, before the workers start, and shared read-only (scorers
// are safe to use from any number of threads); a task is one query and a
// contiguous range of candidates, and top lists found per task are merged when
// the run finishes. Either way each output slot, each partial list and each
// pair buffer has exactly one writer, so the hot path takes no lock.
//
// Candidates are scored kChunk at a time into a task's buffer, then narrowed
// into the output; the stop flag is polled between chunks. A chunk is long
// enough that the batch scorers see many slices of candidates in one call and
// fetch each slice's texts while they score the one before.
#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#include "quillmatch/quillmatch.h"
#include "many/job.h"
#include "many/shared_components.h"
#include "text/text.h"
#include "many/thread_pool.h"

namespace quillmatch {

namespace {

constexpr std::size_t kChunk = 4096;
constexpr std::size_t kViewRun = 1024;
// Tasks per worker: enough to even out rows of unequal cost (long texts, the
// triangle of self-pairs) between workers that claim them dynamically.
constexpr std::size_t kTasksPerWorker = 16;
// Rows mode needs at least this many queries per worker.
constexpr std::size_t kRowsPerWorker = 4;
// A column task covers at least this many candidates.
constexpr std::size_t kMinColumns = 1024;
// Preparing a query costs about as much as scoring this many candidates.
constexpr std::size_t kPrepareCost = 16;

Plan make_plan(std::size_t rows, std::size_t cols, bool self_pairs, std::size_t workers) {
  Plan plan;
  plan.rows = rows;
  plan.cols = cols;
  plan.self_pairs = self_pairs;
  plan.by_rows = workers == 1 || rows >= kRowsPerWorker * workers || cols <= kMinColumns;
  if (plan.by_rows) {
    // Cut where the running cost crosses each multiple of total / tasks.
    auto cost = [&](std::size_t i) { return cols - std::min(cols, plan.row_begin(i)) + kPrepareCost; };
    double total = 0;
    for (std::size_t i = 0; i < rows; ++i) total += static_cast<double>(cost(i));
    const std::size_t tasks = std::max<std::size_t>(1, std::min(rows, workers * kTasksPerWorker));
    plan.row_bounds.push_back(0);
    double running = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      running += static_cast<double>(cost(i));
      if (running * static_cast<double>(tasks) >=
              total * static_cast<double>(plan.row_bounds.size()) &&
          i + 1 < rows)
        plan.row_bounds.push_back(i + 1);
    }
    plan.row_bounds.push_back(rows);
  } else {
    const std::size_t wanted = workers * kTasksPerWorker / std::max<std::size_t>(rows, 1) + 1;
    plan.col_width = std::max(kMinColumns, (cols + wanted - 1) / wanted);
    plan.col_tasks = (cols + plan.col_width - 1) / plan.col_width;
  }
  return plan;
}

// The scorer of one query's distances. The batch scorers give an empty
// query's distance as the candidate's length before folding (the batch
// functions' rule); a run gives every pair the scalar measure's distance,
// which is the length after folding, and folding may lengthen a text (U+0130
// becomes two code points). Folding never empties a text, so only an empty
// query needs this.
class DistanceCells {
 public:
  DistanceCells(TextView query, const ManyOptions& o)
      : scorer_(o.measure == Measure::kDamerau ? DistanceScorer::damerau(query, o.case_insensitive)
                                              : DistanceScorer::levenshtein(query, o.case_insensitive)),
        count_folded_(o.case_insensitive && query.size == 0) {}

  void score(std::span<const TextView> candidates, std::span<std::uint64_t> out) const {
    if (!count_folded_) return scorer_.score(candidates, out);
    for (std::size_t k = 0; k < candidates.size(); ++k) out[k] = compared_length(candidates[k].view(), true);
  }

 private:
  DistanceScorer scorer_;
  bool count_folded_;
};

// The scorer of one query's normalized similarities: each distance made a
// score by normalized_similarity with the two texts' lengths as compared.
// Read-only once made, like the scorer it wraps: the distances of a call go
// to its own stack, a piece at a time.
class NormalizedCells {
 public:
  NormalizedCells(TextView query, const ManyOptions& o)
      : distances_(query, o),
        query_length_(compared_length(query.view(), o.case_insensitive)),
        case_insensitive_(o.case_insensitive) {}

  void score(std::span<const TextView> candidates, std::span<double> out) const {
    std::uint64_t d[kPiece];
    for (std::size_t at = 0; at < candidates.size(); at += kPiece) {
      const std::size_t n = std::min(kPiece, candidates.size() - at);
      distances_.score(candidates.subspan(at, n), std::span<std::uint64_t>(d, n));
      for (std::size_t k = 0; k < n; ++k)
        out[at + k] = normalized_similarity(d[k], query_length_,
                                            compared_length(candidates[at + k].view(), case_insensitive_));
    }
  }

 private:
  // Long enough that the batch scorer sees many slices of candidates a call.
  static constexpr std::size_t kPiece = 1024;
  DistanceCells distances_;
  std::uint64_t query_length_;
  bool case_insensitive_;
};

struct DistanceTraits : DistanceOrder {
  using Scorer = DistanceCells;
};

// Normalized distances are similarities: best first, kept from the cutoff up.
struct NormalizedTraits : SimilarityOrder {
  using Scorer = NormalizedCells;
};

struct SimilarityTraits : SimilarityOrder {
  using Scorer = JaroWinklerScorer;
};

DistanceCells make_scorer(DistanceTraits, TextView query, const ManyOptions& o) {
  return DistanceCells(query, o);
}

NormalizedCells make_scorer(NormalizedTraits, TextView query, const ManyOptions& o) {
  return NormalizedCells(query, o);
}

// The prefix scale was checked when the run started: value() cannot fail.
JaroWinklerScorer make_scorer(SimilarityTraits, TextView query, const ManyOptions& o) {
  return std::move(JaroWinklerScorer::make(query, o.p, o.case_insensitive).value());
}

}  // namespace

namespace {

// The common frame of the three jobs: which scorer serves a cell and how a
// task walks its cells.
template <class Traits>
class GridJob : public ManyRun::Job {
 public:
  using Value = typename Traits::Value;
  using Scorer = typename Traits::Scorer;

  GridJob(const ManyOptions& options, std::span<const TextView> queries,
          std::span<const TextView> candidates, bool self_pairs)
      : GridJob(options, queries, candidates, nullptr, candidates.size(), self_pairs) {}
  // Candidates made into views a chunk at a time, unless they are held whole
  // (never skipped by length).
  GridJob(const ManyOptions& options, std::span<const TextView> queries, const TextRows& rows)
      : GridJob(options, queries, rows.held(), rows.held().size() == rows.size() ? nullptr : &rows,
                rows.size(), false) {
    longest_ = rows.longest();
  }
  // Candidates that are codes into distinct texts: a row's score is its
  // text's, each distinct text scored once per query (never skipped by
  // length). By columns each query's scores are found once, by a phase
  // before this one (first_phase) that fills tables_.
  GridJob(const ManyOptions& options, std::span<const TextView> queries, const CodedTexts& coded)
      : GridJob(options, queries, coded.texts, nullptr, coded.codes.size(), false) {
    codes_ = coded.codes;
    coded_ = true;
    if (!plan.by_rows) tables_.resize(queries.size() * coded.texts.size());
  }



 private:
  GridJob(const ManyOptions& options, std::span<const TextView> queries,
          std::span<const TextView> candidates, const TextRows* rows, std::size_t cols,
          bool self_pairs)
      : options_(options), queries_(queries), candidates_(candidates), rows_(rows), cols_(cols) {
    plan = make_plan(queries.size(), cols, self_pairs, options.workers);
    // By columns each query serves several tasks: prepare the few of them once.
    if (!plan.by_rows) {
      shared_.reserve(queries.size());
      for (const TextView& q : queries) shared_.push_back(make_scorer(Traits{}, q, options));
    }
  }

 public:
  // With a distance cutoff, a pair whose lengths differ by more than the
  // cutoff cannot be kept: every edit changes a length by at most one, so the
  // distance is at least the difference. Such pairs are not scored. Lengths
  // are code points of the texts as compared: exact without folding, and with
  // folding only for ASCII texts (folding keeps their length); any other text
  // has no known length and is always scored. The lengths are found by a
  // phase before this one (first_phase).
  //
  // Likewise with a normalized cutoff: the distance is at least the
  // difference of the lengths, and the score never rises with the distance
  // (the quotient is rounded monotonically), so a pair whose score at that
  // difference is below the cutoff cannot be kept. Its lengths are the
  // compared lengths, which are always known.
  void skip_by_length() {
    if constexpr (std::is_same_v<Traits, DistanceTraits>) {
      if (!options_.max_distance || coded_) return;
      gap_ = *options_.max_distance;
    } else if constexpr (std::is_same_v<Traits, NormalizedTraits>) {
      if (!options_.min_similarity || coded_) return;
    } else {
      return;
    }
    query_lengths_.resize(queries_.size());
    candidate_lengths_.resize(candidates_.size());
  }

  // The first phase of a run of this job: the one that finds the texts'
  // lengths, or the one that fills the tables, or the job itself; each with
  // the ones after it chained.
  static std::unique_ptr<ManyRun::Job> first_phase(std::unique_ptr<GridJob> job);

 private:
  static constexpr std::size_t kUnknown = ~std::size_t{0};

  // The length of a text as skip_by_length describes it, or kUnknown.
  static std::size_t known_length(TextView text, bool case_insensitive) {
    if constexpr (std::is_same_v<Traits, NormalizedTraits>) return compared_length(text.view(), case_insensitive);
    std::size_t points = 0;
    bool ascii = true;
    for (const char c : text.view()) {
      const auto b = static_cast<unsigned char>(c);
      points += (b & 0xC0) != 0x80;
      ascii = ascii && b < 0x80;
    }
    return ascii || !case_insensitive ? points : kUnknown;
  }

  // Fills the lengths of the queries and then the candidates, a range of
  // texts a task.
  class Lengths final : public ManyRun::Job {
   public:
    explicit Lengths(GridJob& job) : job_(job) {
      const std::size_t texts = job.queries_.size() + job.candidates_.size();
      for (std::size_t t = 0; t < texts; t += kRange) plan.row_bounds.push_back(t);
      plan.row_bounds.push_back(texts);
    }
    void run(std::size_t task, const ThreadPool&) override {
      const std::size_t queries = job_.queries_.size();
      for (std::size_t t = plan.row_bounds[task]; t < plan.row_bounds[task + 1]; ++t) {
        if (t < queries) job_.query_lengths_[t] = known_length(job_.queries_[t], job_.options_.case_insensitive);
        else job_.candidate_lengths_[t - queries] = known_length(job_.candidates_[t - queries], job_.options_.case_insensitive);
      }
    }

   private:
    static constexpr std::size_t kRange = std::size_t{1} << 14;
    GridJob& job_;
  };

  bool may_keep(std::size_t query_length, std::size_t j) const {
    const std::size_t l = candidate_lengths_[j];
    if (l == kUnknown) return true;
    const std::size_t shift = l > query_length ? l - query_length : query_length - l;
    if constexpr (std::is_same_v<Traits, NormalizedTraits>)
      return normalized_similarity(shift, query_length, l) >= *options_.min_similarity;
    return shift <= gap_;
  }

  std::size_t gap_ = 0;
  std::vector<std::size_t> query_lengths_, candidate_lengths_;  // empty: no skipping

 protected:
  // Calls row_start(i) before the first cell of each row the task touches,
  // chunk(i, j0, values, picked) for each run of scores, and row_end(i) after
  // the row's last cell in this task. values[k] is the score of candidate
  // j0 + k, or of j0 + picked[k] when candidates were skipped by length
  // (picked non-null, increasing). Returns early, leaving rows unfinished,
  // when the run is stopped.
  template <class RowStart, class Chunk, class RowEnd>
  void walk(std::size_t task, const ThreadPool& pool, RowStart&& row_start, Chunk&& chunk,
            RowEnd&& row_end) const {
    const std::size_t room = std::min(kChunk, cols_);
    std::vector<Value> buffer(room);
    std::vector<TextView> kept(query_lengths_.empty() && !rows_ ? 0 : room);
    std::vector<std::uint32_t> picked(kept.size());
    std::vector<Value> own;  // by rows, a coded row's table
    auto row = [&](std::size_t i, const Scorer& scorer, std::size_t lo, std::size_t hi) {
      row_start(i);
      const Value* table = nullptr;
      if (coded_ && plan.by_rows) {
        own.resize(candidates_.size());
        if (!score_polled(scorer, queries_[i].size, candidates_, std::span<Value>(own), pool)) return false;
        table = own.data();
      } else if (coded_) {
        table = tables_.data() + i * candidates_.size();
      }
      const std::size_t query_length = query_lengths_.empty() ? kUnknown : query_lengths_[i];
      for (std::size_t j0 = lo; j0 < hi; j0 += kChunk) {
        if (pool.stop_requested()) return false;
        const std::size_t n = std::min(kChunk, hi - j0);
        if (table) {
          const std::uint32_t* const codes = codes_.data() + j0;
          Value* const values = buffer.data();
          for (std::size_t k = 0; k < n; ++k) values[k] = table[codes[k]];
          chunk(i, j0, std::span<const Value>(values, n), static_cast<const std::uint32_t*>(nullptr));
          continue;
        }
        if (query_length == kUnknown) {
          const std::span<Value> values(buffer.data(), n);
          if (rows_) {
            // A column's views are made kViewRun at a time, each run scored
            // while its views are still in the first-level cache.
            for (std::size_t k0 = 0; k0 < n; k0 += kViewRun) {
              const std::size_t m = std::min(kViewRun, n - k0);
              rows_->views(j0 + k0, std::span<TextView>(kept.data(), m));
              if (!score_polled(scorer, queries_[i].size, std::span<const TextView>(kept.data(), m),
                                values.subspan(k0, m), pool, longest_))
                return false;
            }
          } else if (!score_polled(scorer, queries_[i].size, candidates_.subspan(j0, n), values, pool, longest_)) {
            return false;
          }
          chunk(i, j0, std::span<const Value>(values), static_cast<const std::uint32_t*>(nullptr));
          continue;
        }
        std::size_t count = 0;
        for (std::size_t k = 0; k < n; ++k) {
          if (!may_keep(query_length, j0 + k)) continue;
          kept[count] = candidates_[j0 + k];
          picked[count++] = static_cast<std::uint32_t>(k);
        }
        if (!count) continue;
        const std::span<Value> values(buffer.data(), count);
        if (!score_polled(scorer, queries_[i].size, std::span<const TextView>(kept.data(), count), values, pool))
          return false;
        chunk(i, j0, std::span<const Value>(values), static_cast<const std::uint32_t*>(picked.data()));
      }
      row_end(i);
      return true;
    };
    const std::size_t cols = cols_;
    if (plan.by_rows) {
      for (std::size_t i = plan.row_bounds[task]; i < plan.row_bounds[task + 1]; ++i) {
        if (pool.stop_requested()) return;
        const Scorer scorer = make_scorer(Traits{}, queries_[i], options_);
        if (!row(i, scorer, std::min(cols, plan.row_begin(i)), cols)) return;
      }
    } else {
      const std::size_t i = task / plan.col_tasks;
      const std::size_t lo = (task % plan.col_tasks) * plan.col_width;
      const std::size_t hi = std::min(cols, lo + plan.col_width);
      row(i, shared_[i], std::max(lo, std::min(hi, plan.row_begin(i))), hi);
    }
  }

  const ManyOptions options_;
  const std::span<const TextView> queries_;
  const std::span<const TextView> candidates_;  // empty when rows_ makes them; coded: distinct
  const TextRows* const rows_;
  std::size_t longest_ = SIZE_MAX;  // at least every candidate's size
  const std::size_t cols_;
  std::vector<Scorer> shared_;
  bool coded_ = false;
  std::span<const std::uint32_t> codes_;     // coded: each row's text in candidates_
  std::vector<Value> tables_;  // coded, by columns: query i's score of text t at i * texts + t
};

template <class Traits>
class MatrixJob final : public GridJob<Traits> {
 public:
  using Value = typename Traits::Value;
  MatrixJob(const ManyOptions& o, std::span<const TextView> q, std::span<const TextView> c,
            ScoreType type, void* out)
      : GridJob<Traits>(o, q, c, false), type_(type), out_(out) {}
  MatrixJob(const ManyOptions& o, std::span<const TextView> q, const TextRows& c, ScoreType type,
            void* out)
      : GridJob<Traits>(o, q, c), type_(type), out_(out) {}

  void run(std::size_t task, const ThreadPool& pool) override {
    const std::size_t cols = this->cols_;
    this->walk(
        task, pool, [](std::size_t) {},
        [&](std::size_t i, std::size_t j0, std::span<const Value> v, const std::uint32_t*) {
          store(type_, out_, i * cols + j0, v);  // never skipped: every cell is written
        },
        [](std::size_t) {});
  }

 private:
  const ScoreType type_;
  void* const out_;
};

template <class Traits>
class TopJob final : public GridJob<Traits> {
 public:
  using Value = typename Traits::Value;
  using Item = Entry<Value>;

  TopJob(const ManyOptions& o, std::span<const TextView> q, std::span<const TextView> c,
         const TopOutput& out)
      : GridJob<Traits>(o, q, c, false), out_(out) {
    if (!this->plan.by_rows) partials_.resize(this->plan.tasks());
    this->skip_by_length();
  }
  TopJob(const ManyOptions& o, std::span<const TextView> q, const CodedTexts& c, const TopOutput& out)
      : GridJob<Traits>(o, q, c), out_(out) {
    if (!this->plan.by_rows) partials_.resize(this->plan.tasks());
  }

  static bool better(const Item& a, const Item& b) { return Traits::better_entry(a, b); }

  void run(std::size_t task, const ThreadPool& pool) override {
    // A heap whose front is the worst entry kept. Candidates arrive in
    // increasing index order, so an equal score never displaces a kept one.
    std::vector<Item> local;
    std::vector<Item>& heap = this->plan.by_rows ? local : partials_[task];
    heap.reserve(std::min(out_.k, this->cols_));
    this->walk(
        task, pool, [&](std::size_t) { heap.clear(); },
        // Inlined into the walk whatever its size (out of line, the heap's
        // steps run at half speed), and what the loop reads copied to locals
        // first: the heap's stores could otherwise alias the members and the
        // heap's own fields, which the loop would reload for every candidate
        // (most of which it only compares and rejects). `size` and `worst`
        // mirror the heap's size and front, refreshed whenever it changes.
        [&](std::size_t, std::size_t j0, std::span<const Value> v, const std::uint32_t* picked)
            __attribute__((always_inline)) {
          const std::size_t most = out_.k;
          const ManyOptions options = this->options_;
          if (most == 0) return;
          std::size_t size = heap.size();
          Item worst = size == most ? heap.front() : Item{};
          for (std::size_t k = 0; k < v.size(); ++k) {
            if (!Traits::within(v[k], options)) continue;
            const Item item{v[k], static_cast<std::int64_t>(j0 + (picked ? picked[k] : k))};
            if (size < most) {
              heap.push_back(item);
              std::push_heap(heap.begin(), heap.end(), better);
              if (++size == most) worst = heap.front();
            } else if (better(item, worst)) {
              std::pop_heap(heap.begin(), heap.end(), better);
              heap.back() = item;
              std::push_heap(heap.begin(), heap.end(), better);
              worst = heap.front();
            }
          }
        },
        [&](std::size_t i) {
          if (this->plan.by_rows) write_row(i, heap);
        });
  }

  // By columns, a phase follows: the partial lists of each row, merged.
  std::unique_ptr<ManyRun::Job> next() override {
    if (this->plan.by_rows) return nullptr;
    return std::make_unique<MergeRows>(*this);
  }

 private:
  // A task per row: its partial lists merged and written.
  class MergeRows final : public ManyRun::Job {
   public:
    explicit MergeRows(TopJob& top) : top_(top) {
      for (std::size_t i = 0; i <= top.plan.rows; ++i) plan.row_bounds.push_back(i);
    }
    void run(std::size_t i, const ThreadPool&) override {
      std::vector<Item> merged;
      const std::size_t tasks = top_.plan.col_tasks;
      for (std::size_t t = i * tasks; t < (i + 1) * tasks; ++t) {
        merged.insert(merged.end(), top_.partials_[t].begin(), top_.partials_[t].end());
        std::vector<Item>().swap(top_.partials_[t]);
      }
      top_.write_row(i, merged);
    }

   private:
    TopJob& top_;
  };

  void write_row(std::size_t i, std::vector<Item>& items) const {
    write_top_row<Traits>(out_, i, items);
  }

  const TopOutput out_;
  std::vector<std::vector<Item>> partials_;  // by columns: one per task
};

}  // namespace

PairsFound::PairsFound() : buffers_(std::make_unique<Buffers>()) {}
PairsFound::~PairsFound() = default;

std::size_t PairsFound::size() const {
  std::size_t n = 0;
  for (const auto& b : buffers_->tasks) n += b.queries.size();
  return n + buffers_->rows.keys.size();
}

namespace {

// Rows [first, last) of packed pairs (Buffers::Rows) into the arrays: the
// row, the key's top half, its low half as a score of type Out.
template <class Out>
void unpack_rows(const PairsFound::Buffers::Rows& rows, std::size_t first, std::size_t last, std::int64_t* queries,
                 std::int64_t* candidates, void* scores) {
  Out* const out = static_cast<Out*>(scores);
  for (std::size_t r = first; r < last; ++r) {
    for (std::size_t k = rows.from[r]; k < rows.from[r + 1]; ++k) {
      queries[k] = static_cast<std::int64_t>(r);
      candidates[k] = static_cast<std::int64_t>(rows.keys[k] >> 32);
      out[k] = static_cast<Out>(rows.keys[k] & 0xFFFFFFFFu);
    }
  }
}

}  // namespace

bool PairsFound::drain_to(std::int64_t* queries, std::int64_t* candidates, void* scores,
                          const std::function<bool()>& stopped) {
  // Pieces of about a million pairs, each copied by one task: on the run's
  // workers, the caller looking for a stop meanwhile (a dense join's copy is
  // a tenth of its time, at the pace of one core's memory traffic).
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  constexpr std::chrono::milliseconds kLook{50};
  // From a task's buffer, entries [first, first + count) to [at, ...); or,
  // packed, rows [first, first + count).
  struct Piece {
    const Buffers::Buffer* from;
    std::size_t first, count, at;
  };
  std::vector<Piece> pieces;
  std::size_t at = 0;
  for (const auto& b : buffers_->tasks) {
    for (std::size_t k = 0; k < b.queries.size(); k += kPiece)
      pieces.push_back({&b, k, std::min(kPiece, b.queries.size() - k), at + k});
    at += b.queries.size();
  }
  const Buffers::Rows& rows = buffers_->rows;
  for (std::size_t r = 0; !rows.keys.empty() && r + 1 < rows.from.size();) {
    const auto end = static_cast<std::size_t>(
        std::upper_bound(rows.from.begin() + static_cast<std::ptrdiff_t>(r) + 1, rows.from.end() - 1,
                         rows.from[r] + kPiece) - rows.from.begin());
    pieces.push_back({nullptr, r, end - r, rows.from[r]});
    r = end;
  }
  const ScoreType type = buffers_->type;
  ThreadPool pool(pieces.size() > 1 ? buffers_->workers : 1, pieces.size(), [&](std::size_t t, const ThreadPool&) {
    const Piece& p = pieces[t];
    if (!p.from) {
      const std::size_t last = p.first + p.count;
      switch (type) {
        case ScoreType::U8: return unpack_rows<std::uint8_t>(rows, p.first, last, queries, candidates, scores);
        case ScoreType::U16: return unpack_rows<std::uint16_t>(rows, p.first, last, queries, candidates, scores);
        case ScoreType::U32: return unpack_rows<std::uint32_t>(rows, p.first, last, queries, candidates, scores);
        case ScoreType::U64: return unpack_rows<std::uint64_t>(rows, p.first, last, queries, candidates, scores);
        case ScoreType::F64: return;  // similarities are never packed
      }
    }
    std::memcpy(queries + p.at, p.from->queries.data() + p.first, p.count * sizeof(std::int64_t));
    std::memcpy(candidates + p.at, p.from->candidates.data() + p.first, p.count * sizeof(std::int64_t));
    if (type == ScoreType::F64)
      store(type, scores, p.at, std::span<const double>(p.from->similarities).subspan(p.first, p.count));
    else
      store(type, scores, p.at, std::span<const std::uint64_t>(p.from->distances).subspan(p.first, p.count));
  });
  while (!pool.wait_for(kLook, stopped)) {
    if (stopped && stopped()) {
      pool.request_stop();
      break;
    }
  }
  pool.finish();
  const bool whole = pool.completed();
  buffers_->tasks.clear();
  buffers_->rows = {};
  return whole;
}

namespace {

template <class Traits>
class PairsJob final : public GridJob<Traits> {
 public:
  using Value = typename Traits::Value;
  PairsJob(const ManyOptions& o, std::span<const TextView> q, std::span<const TextView> c,
           bool self_pairs, PairsFound::Buffers& out)
      : GridJob<Traits>(o, q, c, self_pairs), out_(out) {
    out_.tasks.clear();
    out_.tasks.resize(this->plan.tasks());
    this->skip_by_length();
  }
  PairsJob(const ManyOptions& o, std::span<const TextView> q, const CodedTexts& c,
           PairsFound::Buffers& out)
      : GridJob<Traits>(o, q, c), out_(out) {
    out_.tasks.clear();
    out_.tasks.resize(this->plan.tasks());
  }

  void run(std::size_t task, const ThreadPool& pool) override {
    PairsFound::Buffers::Buffer& b = out_.tasks[task];
    auto& scores = [&]() -> PairColumn<Value>& {
      if constexpr (std::is_same_v<Value, double>) return b.similarities;
      else return b.distances;
    }();
    this->walk(
        task, pool, [](std::size_t) {},
        // The pairs within the cutoff counted first, then written without a
        // branch: every score to the next free slot, which moves on only past
        // a kept one. So the buffers have one slot more than is kept, for the
        // writes after the last kept pair; it is dropped at the end.
        [&](std::size_t i, std::size_t j0, std::span<const Value> v, const std::uint32_t* picked) {
          const ManyOptions options = this->options_;
          std::size_t kept = 0;
          for (const Value x : v) kept += Traits::within(x, options);
          if (!kept) return;
          const std::size_t at = scores.size(), end = at + kept;
          b.queries.resize(end, static_cast<std::int64_t>(i));
          b.candidates.resize(end + 1);
          scores.resize(end + 1);
          std::int64_t* const candidate = b.candidates.data() + at;
          Value* const score = scores.data() + at;
          for (std::size_t k = 0, n = 0; k < v.size(); ++k) {
            candidate[n] = static_cast<std::int64_t>(j0 + (picked ? picked[k] : k));
            score[n] = v[k];
            n += Traits::within(v[k], options);
          }
          b.candidates.pop_back();
          scores.pop_back();
        },
        [](std::size_t) {});
  }

 private:
  PairsFound::Buffers& out_;
};

// The clusters of a self join over every pair: each pair within the cutoff
// joins its texts' components as it is scored (many/shared_components.h),
// from any task; no pair is held. The labels phase follows.
template <class Traits>
class ClustersJob final : public GridJob<Traits> {
 public:
  using Value = typename Traits::Value;
  ClustersJob(const ManyOptions& o, std::span<const TextView> texts, SharedComponents components)
      : GridJob<Traits>(o, texts, texts, true), components_(components) {
    this->skip_by_length();
  }

  void run(std::size_t task, const ThreadPool& pool) override {
    this->walk(
        task, pool, [](std::size_t) {},
        [&](std::size_t i, std::size_t j0, std::span<const Value> v, const std::uint32_t* picked) {
          for (std::size_t k = 0; k < v.size(); ++k)
            if (Traits::within(v[k], this->options_)) components_.unite(i, j0 + (picked ? picked[k] : k));
        },
        [](std::size_t) {});
  }

  std::unique_ptr<ManyRun::Job> next() override {
    return std::make_unique<ComponentsPhase>(components_, ComponentsPhase::Step::kLabels);
  }

 private:
  const SharedComponents components_;
};

template <class Traits>
std::unique_ptr<ManyRun::Job> GridJob<Traits>::first_phase(std::unique_ptr<GridJob> job) {
  if (!job->query_lengths_.empty() || !job->candidate_lengths_.empty()) {
    auto lengths = std::make_unique<Lengths>(*job);
    lengths->then = std::move(job);
    return lengths;
  }
  if (!job->coded_ || job->plan.by_rows) return job;
  constexpr ScoreType kType = std::is_same_v<Value, double> ? ScoreType::F64 : ScoreType::U64;
  auto fill = std::make_unique<MatrixJob<Traits>>(job->options_, job->queries_, job->candidates_, kType,
                                                  job->tables_.data());
  fill->then = std::move(job);
  return fill;
}

// The job for the measure, from its first phase.
// REQUIRES: options checked by run_options.
template <template <class> class Job, class... Args>
std::unique_ptr<ManyRun::Job> phases(const ManyOptions& options, Args&&... args) {
  if (options.measure == Measure::kJaroWinkler)
    return GridJob<SimilarityTraits>::first_phase(
        std::make_unique<Job<SimilarityTraits>>(options, std::forward<Args>(args)...));
  if (options.normalized)
    return GridJob<NormalizedTraits>::first_phase(
        std::make_unique<Job<NormalizedTraits>>(options, std::forward<Args>(args)...));
  return GridJob<DistanceTraits>::first_phase(
      std::make_unique<Job<DistanceTraits>>(options, std::forward<Args>(args)...));
}

// Checks the prefix scale, then builds the job for the measure and starts it.
template <template <class> class Job, class... Args>
Result<std::unique_ptr<ManyRun>> start(const ManyOptions& given, Args&&... args) {
  const Result<ManyOptions> checked = run_options(given);
  if (!checked.ok()) return checked.error();
  const ManyOptions& options = checked.value();
  return std::make_unique<ManyRun>(phases<Job>(options, std::forward<Args>(args)...), options.workers);
}

}  // namespace

ManyRun::ManyRun(std::unique_ptr<Job> job, std::size_t workers) : workers_(workers) {
  start(std::move(job));
}

void ManyRun::start(std::unique_ptr<Job> job) {
  pool_.reset();
  jobs_.push_back(std::move(job));
  Job* j = jobs_.back().get();
  pool_ = std::make_unique<ThreadPool>(workers_, j->plan.tasks(),
                                       [j](std::size_t task, const ThreadPool& pool) { j->run(task, pool); });
}

// The pool goes first: its threads use the jobs; a later phase may use an
// earlier one's results, so the phases go in reverse.
ManyRun::~ManyRun() {
  pool_.reset();
  while (!jobs_.empty()) jobs_.pop_back();
}

bool ManyRun::advance() {
  if (!pool_->completed()) return false;
  pool_->finish();  // joins the workers; nothing failed
  std::unique_ptr<Job> next = jobs_.back()->next();
  if (!next) return false;
  start(std::move(next));
  return true;
}

bool ManyRun::wait_for(std::chrono::milliseconds timeout, const std::function<bool()>& check) {
  const auto deadline = PollClock::now() + timeout;
  for (std::chrono::milliseconds left = timeout; pool_->wait_for(left, check);) {
    if (!advance()) return true;
    left = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(deadline - PollClock::now(), PollClock::duration::zero()));
  }
  return false;
}

void ManyRun::request_stop() noexcept { pool_->request_stop(); }

void ManyRun::finish() {
  do pool_->finish();
  while (advance());
}

std::size_t score_size(ScoreType type) {
  switch (type) {
    case ScoreType::U8: return 1;
    case ScoreType::U16: return 2;
    case ScoreType::U32: return 4;
    case ScoreType::U64: return 8;
    case ScoreType::F64: return 8;
  }
  return 8;
}

const char* score_type_name(ScoreType type) {
  switch (type) {
    case ScoreType::U8: return "uint8";
    case ScoreType::U16: return "uint16";
    case ScoreType::U32: return "uint32";
    case ScoreType::U64: return "uint64";
    case ScoreType::F64: return "float64";
  }
  return "float64";
}

ScoreType many_score_type(Measure measure, std::span<const TextView> queries,
                          std::span<const TextView> candidates) {
  std::size_t longest = 0;
  for (const TextView& t : queries) longest = std::max(longest, t.size);
  for (const TextView& t : candidates) longest = std::max(longest, t.size);
  return many_score_type(measure, longest);
}

ScoreType many_score_type(Measure measure, std::size_t longest) {
  if (measure == Measure::kJaroWinkler) return ScoreType::F64;
  if (longest <= std::numeric_limits<std::uint8_t>::max()) return ScoreType::U8;
  if (longest <= std::numeric_limits<std::uint16_t>::max()) return ScoreType::U16;
  if (longest <= std::numeric_limits<std::uint32_t>::max()) return ScoreType::U32;
  return ScoreType::U64;
}

Result<std::unique_ptr<ManyRun>> start_matrix(const ManyOptions& options,
                                              std::span<const TextView> queries,
                                              std::span<const TextView> candidates,
                                              ScoreType type, void* out) {
  return start<MatrixJob>(options, queries, candidates, type, out);
}

Result<std::unique_ptr<ManyRun>> start_matrix(const ManyOptions& options,
                                              std::span<const TextView> queries,
                                              const TextRows& candidates, ScoreType type,
                                              void* out) {
  return start<MatrixJob>(options, queries, candidates, type, out);
}

Result<std::unique_ptr<ManyRun>> start_top(const ManyOptions& options,
                                           std::span<const TextView> queries,
                                           std::span<const TextView> candidates,
                                           const TopOutput& out) {
  if (use_filters(options, queries.size(), candidates, false))
    return start_filtered_top(options, queries, candidates, out);
  return start<TopJob>(options, queries, candidates, out);
}

namespace {

// Whether a run over coded candidates scores their distinct texts: when the
// filters do not serve it and the distinct texts are at most half the rows.
bool score_coded(const ManyOptions& options, std::span<const TextView> queries,
                 std::span<const TextView> candidates, const CodedTexts& coded) {
  return !use_filters(options, queries.size(), candidates, false) &&
         coded.texts.size() * 2 <= coded.codes.size();
}

}  // namespace

Result<std::unique_ptr<ManyRun>> start_top(const ManyOptions& options,
                                           std::span<const TextView> queries,
                                           std::span<const TextView> candidates,
                                           const CodedTexts& coded, const TopOutput& out) {
  if (!score_coded(options, queries, candidates, coded))
    return start_top(options, queries, candidates, out);
  return start<TopJob>(options, queries, coded, out);
}

Result<std::unique_ptr<ManyRun>> start_pairs(const ManyOptions& options,
                                             std::span<const TextView> queries,
                                             std::optional<std::span<const TextView>> candidates,
                                             ScoreType type, PairsFound& out) {
  const std::span<const TextView> against = candidates ? *candidates : queries;
  if (use_filters(options, queries.size(), against, !candidates))
    return start_filtered_pairs(options, queries, candidates, type, out);
  PairsFound::Buffers& buffers = ManyAccess::buffers(out, type, options);
  return start<PairsJob>(options, queries, candidates ? *candidates : queries,
                         !candidates.has_value(), buffers);
}

Result<std::unique_ptr<ManyRun>> start_pairs(const ManyOptions& options,
                                             std::span<const TextView> queries,
                                             std::span<const TextView> candidates,
                                             const CodedTexts& coded, ScoreType type,
                                             PairsFound& out) {
  if (!score_coded(options, queries, candidates, coded))
    return start_pairs(options, queries, candidates, type, out);
  PairsFound::Buffers& buffers = ManyAccess::buffers(out, type, options);
  return start<PairsJob>(options, queries, coded, buffers);
}

Result<std::unique_ptr<ManyRun>> start_join_clusters(const ManyOptions& given, std::span<const TextView> texts,
                                                     std::span<std::int64_t> labels) {
  if (use_filters(given, texts.size(), texts, true)) return start_filtered_clusters(given, texts, labels);
  const Result<ManyOptions> checked = run_options(given);
  if (!checked.ok()) return checked.error();
  const SharedComponents components(labels);
  return std::make_unique<ManyRun>(after_singletons(components, phases<ClustersJob>(checked.value(), texts, components)),
                                   checked.value().workers);
}

}  // namespace quillmatch
