// quillmatch: approximate string matching over UTF-8 texts.
//
// This is the whole public surface of the algorithm library. It knows nothing of
// any interpreter: texts arrive as borrowed UTF-8 byte ranges, options as plain
// numbers and flags, and every operation returns its result or a MatchError. No
// operation throws a MatchError or aborts on any input; the only exception that
// can leave the library is std::bad_alloc when memory runs out.
//
// Texts are compared as sequences of Unicode scalar values.
// REQUIRES: every TextView holds valid UTF-8 and stays alive and unchanged for
// the duration of the call that reads it.
//
// All operations are pure and re-entrant: no state survives a call, so they may
// run on any number of threads at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quillmatch {

// A non-owning view of UTF-8 text: the form in which batch engines receive the
// query and every candidate.
struct TextView {
  const char* data = nullptr;
  std::size_t size = 0;

  constexpr TextView() = default;
  constexpr TextView(const char* d, std::size_t n) : data(d), size(n) {}
  constexpr TextView(std::string_view s) : data(s.data()), size(s.size()) {}
  TextView(const std::string& s) : data(s.data()), size(s.size()) {}
  constexpr TextView(const char* s) : TextView(std::string_view(s)) {}
  constexpr std::string_view view() const { return {data, size}; }
};

// ---- Short texts read whole ----
//
// A load that stays within one page of a readable byte cannot fault, even
// where it reads past the end of the object that byte belongs to. The batch
// engines and the binding read short texts whole this way and never use the
// bytes past a text's end. The address sanitizer would report those reads, so
// the few functions that make them are kept out of it.
inline constexpr std::size_t kPageBytes = 4096;

// Whether the n bytes from p lie within p's page.
inline bool within_page(const void* p, std::size_t n) {
  return reinterpret_cast<std::uintptr_t>(p) % kPageBytes <= kPageBytes - n;
}

// The longest text that copy_short_text takes.
inline constexpr std::size_t kShortTextBytes = 32;

// Copies `text` to `out` and returns the copy. Up to kShortTextBytes bytes
// from `out` may be written: when that many from the text's start stay in its
// page, they are copied at once, in two plain vector loads (not memcpy, which
// the sanitizer's own copy would check), and the bytes past the copy are
// unspecified. Copies can be packed end to end, each overwriting what the one
// before wrote past its end.
// REQUIRES: text.size <= kShortTextBytes, and room for kShortTextBytes at `out`.
//
// The vector type is the compiler's own, as SSE2's unaligned load is built on
// it, so the copy needs no instruction-set header and is the same on every
// processor: two 16-byte loads and stores that may alias anything and need no
// alignment. (Each access dereferences a cast pointer: GCC takes an indexed
// one, p[1], as aligned whatever the type says.)
typedef long long ShortTextChunk __attribute__((vector_size(16), may_alias, aligned(1)));
__attribute__((no_sanitize("address"))) inline void copy_chunk(const char* from, char* to) {
  *reinterpret_cast<ShortTextChunk*>(to) = *reinterpret_cast<const ShortTextChunk*>(from);
}
__attribute__((no_sanitize("address"))) inline TextView copy_short_text(TextView text,
                                                                        char* out) {
  static_assert(kShortTextBytes == 2 * sizeof(ShortTextChunk));
  if (text.size == 0) return TextView(out, 0);
  if (within_page(text.data, kShortTextBytes)) {
    copy_chunk(text.data, out);
    copy_chunk(text.data + 16, out + 16);
  } else {
    std::memcpy(out, text.data, text.size);
  }
  return TextView(out, text.size);
}

// The library's only error value. Plain data: copyable, owns nothing.
struct MatchError {
  enum class Kind { InputTooLong, InvalidPrefixScale };

  Kind kind = Kind::InputTooLong;
  const char* which = "";  // InputTooLong: "str_1" or "str_2" (static text)
  std::uint64_t len = 0;   // InputTooLong: the text's length in code points
  std::uint64_t limit = 0; // InputTooLong: the max_len of the call
  double value = 0.0;      // InvalidPrefixScale: the p of the call, as given

  static MatchError input_too_long(const char* which, std::uint64_t len, std::uint64_t limit);
  static MatchError invalid_prefix_scale(double value);

  // The one-line text form, e.g. `InputTooLong { which: "str_2", len: 12, limit: 10 }`.
  // This is exactly the message a Python user reads.
  std::string text() const;
};

// The float text used inside MatchError's text form: shortest round-trip digits,
// positional from 1e-4 up to below 1e16, scientific outside (1e16, 2.5e-5),
// "NaN", "inf", "-inf", "-0.0".
std::string float_text(double value);

// A value or a MatchError.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(MatchError error) : v_(std::in_place_index<1>, error) {}

  bool ok() const { return v_.index() == 0; }
  // Reading the wrong alternative throws std::bad_variant_access: an internal
  // fault, never a normal outcome.
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const MatchError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, MatchError> v_;
};

// ---- Scalar measures of two texts ----
//
// Fixed check order: (prefix scale,) case folding, max_len (str_1 before str_2),
// then the measure's own cutoff and empty-text rules. str_1 is always the
// pattern whose masks are built; the roles never swap.

// Levenshtein distance. A distance above score_cutoff is reported as
// score_cutoff + 1. Fails only with InputTooLong, only when max_len is given.
Result<std::uint64_t> levenshtein_bp(TextView str_1, TextView str_2,
                                     std::optional<std::uint64_t> max_len,
                                     bool case_insensitive,
                                     std::optional<std::uint64_t> score_cutoff);

// Optimal string alignment (restricted Damerau) distance; same contract.
Result<std::uint64_t> damerau_bp(TextView str_1, TextView str_2,
                                 std::optional<std::uint64_t> max_len,
                                 bool case_insensitive,
                                 std::optional<std::uint64_t> score_cutoff);

// Jaro-Winkler similarity in [0, 1]. p defaults to 0.1 and must lie in
// [0, 0.25]. A similarity below score_cutoff is reported as 0.0.
Result<double> jaro_winkler(TextView str_1, TextView str_2, std::optional<double> p,
                            std::optional<std::uint64_t> max_len, bool case_insensitive,
                            std::optional<double> score_cutoff);

// ---- One query against many candidates ----
//
// Entry k of the result belongs to candidate k. Every entry equals what the
// scalar measure gives for (query, candidate) with no max_len and no cutoff, bit
// for bit; for an empty query a distance is the candidate's code-point count,
// counted before folding.
//
// A scorer holds one query prepared once and scores candidates chunk by chunk,
// so a caller can score each chunk while its texts are still in cache. It is
// read-only after construction: any number of threads may score with one scorer
// at once, each into its own output. The batch functions below are a scorer
// applied to the whole list.

class DistanceScorer {
 public:
  // The scorers of levenshtein_batch and of damerau_batch.
  static DistanceScorer levenshtein(TextView query, bool case_insensitive);
  static DistanceScorer damerau(TextView query, bool case_insensitive);

  DistanceScorer(DistanceScorer&&) noexcept;
  DistanceScorer& operator=(DistanceScorer&&) noexcept;
  ~DistanceScorer();

  // out[k] = the distance of candidates[k].
  // REQUIRES: out.size() == candidates.size().
  void score(std::span<const TextView> candidates, std::span<std::uint64_t> out) const;

  struct State;  // defined by the engines

 private:
  explicit DistanceScorer(std::unique_ptr<const State> state);
  std::unique_ptr<const State> state_;
};

class JaroWinklerScorer {
 public:
  // Fails only with InvalidPrefixScale, checked before anything is prepared.
  static Result<JaroWinklerScorer> make(TextView query, std::optional<double> p,
                                        bool case_insensitive);

  JaroWinklerScorer(JaroWinklerScorer&&) noexcept;
  JaroWinklerScorer& operator=(JaroWinklerScorer&&) noexcept;
  ~JaroWinklerScorer();

  // out[k] = the similarity of candidates[k].
  // REQUIRES: out.size() == candidates.size().
  void score(std::span<const TextView> candidates, std::span<double> out) const;

  struct State;  // defined by the engine

 private:
  explicit JaroWinklerScorer(std::unique_ptr<const State> state);
  std::unique_ptr<const State> state_;
};

std::vector<std::uint64_t> levenshtein_batch(TextView query, std::span<const TextView> candidates,
                                             bool case_insensitive);

std::vector<std::uint64_t> damerau_batch(TextView query, std::span<const TextView> candidates,
                                         bool case_insensitive);

// Fails only with InvalidPrefixScale, checked before any candidate is read.
Result<std::vector<double>> jaro_winkler_batch(TextView query, std::span<const TextView> candidates,
                                               std::optional<double> p, bool case_insensitive);

// ---- Many queries against many candidates ----
//
// Every score equals what the batch scorer above (hence the scalar measure,
// with no max_len and no cutoff) gives for (queries[i], candidates[j]), bit
// for bit: query i is the pattern. A normalized run's score is
// normalized_similarity of that distance and the two texts' code-point
// lengths as compared. The work runs on a pool of native threads:
// each query is prepared once (one scorer per query), the candidates are read
// in place, and each output slot has one writer.
//
// A run is started, then waited for: the caller may wake up between slices of
// waiting and stop it. Starting checks the prefix scale first and starts no
// thread when it is invalid.
// REQUIRES: every TextView, and every output buffer given to a start function,
// stays valid until the run has finished or been destroyed.

enum class Measure { kLevenshtein, kDamerau, kJaroWinkler };

// Pairs whose texts change from row to row: out[k] = the score of
// (queries[k], candidates[k]) as the scalar measure gives it with queries[k]
// as str_1, no max_len and no cutoff; a single candidate is every row's.
// Short pairs are scored many at a time, a different pair in each lane of a
// vector register, and nothing is allocated per pair. A scorer keeps scratch
// for one batch of rows: one scorer per thread.
class PairScorer {
 public:
  static constexpr std::size_t kMaxRows = 256;  // rows of one call of score()

  // Fails only with InvalidPrefixScale (Jaro-Winkler).
  static Result<PairScorer> make(Measure measure, std::optional<double> p, bool case_insensitive);

  PairScorer(PairScorer&&) noexcept;
  PairScorer& operator=(PairScorer&&) noexcept;
  ~PairScorer();

  // Distances (Levenshtein, OSA) or similarities (Jaro-Winkler), as made.
  // REQUIRES: queries.size() <= kMaxRows and == out.size();
  // candidates.size() is 1 or queries.size().
  void score(std::span<const TextView> queries, std::span<const TextView> candidates,
             std::span<std::uint64_t> out);
  void score(std::span<const TextView> queries, std::span<const TextView> candidates,
             std::span<double> out);

  struct State;  // defined by the engine

 private:
  explicit PairScorer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The element type of the scores a run writes: similarities (and normalized
// distances, which are similarities) are float64;
// distances the narrowest unsigned integer that holds the UTF-8 byte length of
// the longest text, which bounds every distance (a code point has at least as
// many bytes as its full lowercase mapping has code points).
enum class ScoreType { U8, U16, U32, U64, F64 };
std::size_t score_size(ScoreType type);
const char* score_type_name(ScoreType type);  // "uint8", ..., "float64"
ScoreType many_score_type(Measure measure, std::span<const TextView> queries,
                          std::span<const TextView> candidates);
// The same, from the size in bytes of the longest text of both sides.
ScoreType many_score_type(Measure measure, std::size_t longest);

// The normalized similarity of two texts of m and n code points (as
// compared: after folding when the run folds case) at edit distance d:
// 1 - d / max(m, n), and 1.0 for two empty texts. It is the only place that
// computes it: every path of a normalized run, and the join filters' distance
// thresholds (join/thresholds.h), evaluate this very expression, so they all
// agree to the bit.
inline double normalized_similarity(std::uint64_t d, std::uint64_t m, std::uint64_t n) {
  if (m == 0 && n == 0) return 1.0;
  return 1.0 - double(d) / double(std::max(m, n));
}

// How top and pairs runs with a cutoff find their pairs: every pair scored
// (the cross product), or only those the join filters cannot rule out. Both
// give the same results, to the bit; kAuto takes the filters when they pay.
enum class JoinPlan { kAuto, kCross, kFiltered };

struct ManyOptions {
  Measure measure = Measure::kLevenshtein;
  bool case_insensitive = false;
  std::optional<double> p;                  // Jaro-Winkler only
  std::optional<std::uint64_t> max_distance;  // top and pairs of a distance: keep d <= it
  std::optional<double> min_similarity;       // top and pairs of a similarity: keep s >= it
  // Levenshtein and OSA only: every score is normalized_similarity of the
  // distance (float64), ordered and cut as a similarity, by min_similarity.
  bool normalized = false;
  std::size_t workers = 1;                  // threads, clamped to [1, kMaxManyWorkers]
  JoinPlan plan = JoinPlan::kAuto;          // top and pairs with a cutoff
};
inline constexpr std::size_t kMaxManyWorkers = 256;

// Makes this thread's block of the C++ runtime's thread-local storage (its
// exception state) exist, or returns false. The C library allocates the
// block of a library loaded at run time on a thread's first use of it, and
// ends the process when it cannot ("cannot allocate memory for thread-local
// data"): a throw of std::bad_alloc under memory pressure would be such a
// first use. The library's own storage (and the runtime's, when the runtime
// is linked into it) is of the static kind, which no first use allocates;
// a runtime of its own, loaded beside it, has the dynamic kind. A pool's
// worker does this before it counts as started; a caller that may catch what
// the library throws calls this on its own thread first (cheap after the
// first call on a thread).
bool prepare_thread_locals() noexcept;

class ThreadPool;

class ManyRun {
 public:
  struct Job;  // defined by the engine
  explicit ManyRun(std::unique_ptr<Job> job, std::size_t workers);
  ~ManyRun();  // stops and joins the workers
  ManyRun(const ManyRun&) = delete;
  ManyRun& operator=(const ManyRun&) = delete;

  // True once the run has ended (every phase done, or stopped); waits at
  // most about `timeout`. `check` is called on this thread, about once per
  // `timeout`, whenever this thread does the work itself (one worker); true
  // stops the run. A caller that looks for an interrupt between waits passes
  // the same look as `check`.
  bool wait_for(std::chrono::milliseconds timeout, const std::function<bool()>& check = {});
  // Asks the workers to stop after the piece of work they are in.
  void request_stop() noexcept;
  // Runs the phases left to their end (unless stopped), joins the workers,
  // and rethrows the first exception one raised (std::bad_alloc). Outputs are
  // complete only when it returns normally and nothing was stopped.
  void finish();

 private:
  // After a phase that ran to its end, starts the next one, if any.
  bool advance();
  void start(std::unique_ptr<Job> job);

  std::size_t workers_;
  std::vector<std::unique_ptr<Job>> jobs_;  // the phases so far; the last one runs
  std::unique_ptr<ThreadPool> pool_;
};

// Texts whose views are made on demand, a range of rows at a time, from any
// number of threads at once: a column read in place need keep no view per row.
class TextRows {
 public:
  virtual ~TextRows() = default;
  virtual std::size_t size() const = 0;
  // Writes the views of rows [first, first + out.size()) to out.
  // REQUIRES: first + out.size() <= size().
  virtual void views(std::size_t first, std::span<TextView> out) const = 0;
  // At least the size in bytes of every row's text (SIZE_MAX: not known).
  virtual std::size_t longest() const { return SIZE_MAX; }
  // Every row's view, when they are kept whole; else none.
  virtual std::span<const TextView> held() const { return {}; }
};

// Views kept whole, as TextRows. Holds the span, not the views; `longest`,
// when given, is at least the size of each.
class SpanRows final : public TextRows {
 public:
  explicit SpanRows(std::span<const TextView> texts, std::size_t longest = SIZE_MAX)
      : texts_(texts), longest_(longest) {}
  std::size_t size() const override { return texts_.size(); }
  void views(std::size_t first, std::span<TextView> out) const override {
    std::copy_n(texts_.begin() + static_cast<std::ptrdiff_t>(first), out.size(), out.begin());
  }
  std::size_t longest() const override { return longest_; }
  std::span<const TextView> held() const override { return texts_; }

 private:
  std::span<const TextView> texts_;
  std::size_t longest_;
};

// out[i * candidates.size() + j] = score of (queries[i], candidates[j]).
// REQUIRES: out holds queries.size() * candidates.size() scores of `type`,
// which is many_score_type() or a wider type of the same kind.
Result<std::unique_ptr<ManyRun>> start_matrix(const ManyOptions& options,
                                              std::span<const TextView> queries,
                                              std::span<const TextView> candidates,
                                              ScoreType type, void* out);
// The same, with candidates made into views a chunk at a time.
// REQUIRES: `candidates` outlives the run.
Result<std::unique_ptr<ManyRun>> start_matrix(const ManyOptions& options,
                                              std::span<const TextView> queries,
                                              const TextRows& candidates, ScoreType type,
                                              void* out);

// Two columns row by row: out[i] = score of (queries[i], candidates[i]), as
// the scalar measure gives it with queries[i] as str_1 (no max_len, no
// cutoff). A single candidate is every row's: out[i] = score of (queries[i],
// candidates[0]).
// REQUIRES: candidates.size() is queries.size() or 1; out holds
// queries.size() scores of `type`, which is many_score_type() of both sides
// or a wider type of the same kind.
Result<std::unique_ptr<ManyRun>> start_rows(const ManyOptions& options,
                                            std::span<const TextView> queries,
                                            std::span<const TextView> candidates, ScoreType type,
                                            void* out);
// The same with the views of either side made a batch of rows at a time
// (a column read in place keeps none). Both must outlive the run.
Result<std::unique_ptr<ManyRun>> start_rows(const ManyOptions& options, const TextRows& queries,
                                            const TextRows& candidates, ScoreType type, void* out);

// Rows that their producer is still writing when a row-by-row run starts, so
// that taking them in and scoring them overlap. The producer writes rows in
// order and publishes each prefix with arrived(); every batch of the run
// waits for its own rows before it reads them. A producer that gives up calls
// abandon(), which ends every wait, and then stops the run.
class RowFeed {
 public:
  // Rows [0, n) are written; what was written before is visible to whoever
  // then sees n. REQUIRES: n never decreases.
  void arrived(std::size_t n) {
    ready_.store(n);  // sequentially consistent with the waiters' count below
    if (waiting_.load() != 0) {
      std::lock_guard<std::mutex> hold(mutex_);
      woken_.notify_all();
    }
  }
  void abandon() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      abandoned_ = true;
    }
    woken_.notify_all();
  }
  // True once rows [0, n) have arrived; false once the feed is abandoned or
  // stopped() is true, which is asked about every kStopPoll while waiting.
  //
  // No wake-up is lost: a waiter counts itself before it reads ready_, and a
  // producer reads the count after it writes ready_, all four in one total
  // order, so either the waiter sees the rows or the producer sees the waiter
  // and notifies under the mutex, which the waiter holds until it sleeps.
  template <class Stopped>
  bool wait(std::size_t n, Stopped&& stopped) const {
    if (ready_.load(std::memory_order_acquire) >= n) return true;
    std::unique_lock<std::mutex> hold(mutex_);
    waiting_.fetch_add(1);
    bool ready = false;
    while (!(ready = ready_.load() >= n) && !abandoned_ && !stopped()) woken_.wait_for(hold, kStopPoll);
    waiting_.fetch_sub(1);
    return ready;
  }

 private:
  static constexpr std::chrono::milliseconds kStopPoll{10};
  std::atomic<std::size_t> ready_{0};
  mutable std::atomic<int> waiting_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable woken_;
  bool abandoned_ = false;  // guarded by mutex_
};

// start_rows over two sides of equal length still arriving through `feed`,
// which must outlive the run.
Result<std::unique_ptr<ManyRun>> start_rows(const ManyOptions& options, std::span<const TextView> queries,
                                            std::span<const TextView> candidates, ScoreType type, void* out,
                                            const RowFeed& feed);

// Copies n scores computed as U64 into an array of `type`, a kind of
// distance wide enough for every one (many_score_type()).
void narrow_scores(std::span<const std::uint64_t> scores, ScoreType type, void* out);

// Per query its best k candidates within the cutoff: row i of indices and
// scores holds (candidate index, score), best first (smallest distance or
// largest similarity), ties in candidate order; counts[i] of them are real,
// the rest of the row is index -1, score 0.
// REQUIRES: indices and scores hold queries.size() * k entries,
// counts queries.size().
struct TopOutput {
  std::size_t k = 1;
  ScoreType type = ScoreType::U64;
  std::int64_t* indices = nullptr;
  void* scores = nullptr;
  std::int64_t* counts = nullptr;
};
Result<std::unique_ptr<ManyRun>> start_top(const ManyOptions& options,
                                           std::span<const TextView> queries,
                                           std::span<const TextView> candidates,
                                           const TopOutput& out);

// Candidates that are codes into fewer distinct texts (a dictionary column):
// row r is texts[codes[r]].
struct CodedTexts {
  std::span<const TextView> texts;
  std::span<const std::uint32_t> codes;
};
// As start_top, for candidates[r] == coded.texts[coded.codes[r]]: unless the
// filters serve the run, each distinct text is scored once per query and
// each row takes its text's score.
// REQUIRES: `coded` outlives the run.
Result<std::unique_ptr<ManyRun>> start_top(const ManyOptions& options,
                                           std::span<const TextView> queries,
                                           std::span<const TextView> candidates,
                                           const CodedTexts& coded, const TopOutput& out);

// Every (i, j, score) within the cutoff, in increasing (i, j) order. Without
// candidates the queries are compared with each other, pairs i < j only.
// Found pairs go to growable buffers, one per task, so memory follows the
// number of pairs found.
class PairsFound {
 public:
  PairsFound();
  ~PairsFound();
  PairsFound(const PairsFound&) = delete;
  PairsFound& operator=(const PairsFound&) = delete;

  std::size_t size() const;
  // Moves every pair out in order, freeing the buffers as it goes, and calls
  // `stopped` between pieces of about a million pairs: false when it said
  // true (the arrays are then incomplete).
  // REQUIRES: each array holds size() entries; scores of the run's type.
  bool drain_to(std::int64_t* queries, std::int64_t* candidates, void* scores,
                const std::function<bool()>& stopped = {});

  struct Buffers;  // defined by the engine

 private:
  friend struct ManyAccess;
  std::unique_ptr<Buffers> buffers_;
};
Result<std::unique_ptr<ManyRun>> start_pairs(const ManyOptions& options,
                                             std::span<const TextView> queries,
                                             std::optional<std::span<const TextView>> candidates,
                                             ScoreType type, PairsFound& out);
// As start_pairs with candidates, for candidates[r] == coded.texts[coded.codes[r]]:
// as start_top with coded candidates, each distinct text scored once per query.
// REQUIRES: `coded` outlives the run.
Result<std::unique_ptr<ManyRun>> start_pairs(const ManyOptions& options,
                                             std::span<const TextView> queries,
                                             std::span<const TextView> candidates,
                                             const CodedTexts& coded, ScoreType type,
                                             PairsFound& out);

// ---- A search index ----
//
// Candidates prepared once for top and pairs runs within a cutoff: a run over
// an index scores only the pairs the join filters cannot rule out, and gives
// exactly what start_top and start_pairs give over the same candidates, with
// the index's measure, case folding and prefix scale and any cutoff at least
// as tight as the index's. The index owns what it needs of the texts and is
// immutable once built: any number of runs may use it at once.
class JoinIndex {
 public:
  // Fails only with InvalidPrefixScale.
  // REQUIRES: options holds the cutoff of its measure (a similarity cutoff
  // above 0), and there are fewer than 2^32 candidates.
  static Result<std::shared_ptr<const JoinIndex>> build(const ManyOptions& options,
                                                        std::span<const TextView> candidates);
  ~JoinIndex();

  std::size_t size() const;
  // The measure, folding, prefix scale and cutoff it was built with.
  const ManyOptions& options() const;
  // The score type of runs of these queries over the index.
  ScoreType score_type(std::span<const TextView> queries) const;

  struct Impl;
  explicit JoinIndex(std::unique_ptr<Impl> impl);
  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// The same build as a run (a phase of one task, which polls for a stop):
// `out` holds the index once the run has finished, unless it was stopped.
// REQUIRES: as build(); `candidates` and `out` outlive the run.
Result<std::unique_ptr<ManyRun>> start_index_build(const ManyOptions& options,
                                                   std::span<const TextView> candidates,
                                                   std::shared_ptr<const JoinIndex>& out);

// As start_top and start_pairs over the index's candidates; queries absent:
// the candidates against each other, pairs i < j. `options` gives the cutoff
// (or none: the index's) and the workers; the rest comes from the index.
// REQUIRES: the cutoff is at least as tight as the index's; the index outlives
// the run (the run holds it).
Result<std::unique_ptr<ManyRun>> start_index_top(std::shared_ptr<const JoinIndex> index,
                                                 const ManyOptions& options,
                                                 std::span<const TextView> queries,
                                                 const TopOutput& out);
Result<std::unique_ptr<ManyRun>> start_index_pairs(std::shared_ptr<const JoinIndex> index,
                                                   const ManyOptions& options,
                                                   std::optional<std::span<const TextView>> queries,
                                                   ScoreType type, PairsFound& out);

// ---- Clusters ----
//
// The connected components of an undirected graph: what a self join's pairs
// become when every chain of pairs is one group (single linkage).

// Node indices read in place: `size` entries of `width` bytes (1, 2, 4 or 8),
// signed or unsigned, in the machine's byte order, with no alignment needed.
struct IndexColumn {
  const void* data = nullptr;
  std::size_t size = 0;
  std::size_t width = sizeof(std::int64_t);
  bool is_signed = true;

  IndexColumn() = default;
  IndexColumn(std::span<const std::int64_t> v) : data(v.data()), size(v.size()) {}
  IndexColumn(const void* d, std::size_t n, std::size_t w, bool s) : data(d), size(n), width(w), is_signed(s) {}
};

// What a clusters run found wrong with its edges, if anything: columns of
// different lengths, or the first entry, in edge order (i[k], then j[k]),
// that is no node: negative, or at least n.
struct EdgeFault {
  enum class Kind { kNone, kLengths, kIndex };
  Kind kind = Kind::kNone;
  bool in_j = false;          // kIndex: the entry is j[position], else i[position]
  std::size_t position = 0;   // kIndex
  bool negative = false;      // kIndex: the entry is -magnitude, else magnitude
  std::uint64_t magnitude = 0;
};

// labels[v] = the smallest node of v's connected component in the graph on
// nodes 0 .. labels.size() - 1 whose edges are (i[k], j[k]); self loops and
// repeated edges, in either direction, change nothing. A node labelled by
// itself is its component's first. The run is one task that polls for a
// stop; it reads each entry once, so a column written meanwhile may give
// wrong labels but never a write outside `labels`. When `fault` is set once
// the run has finished, the labels are unspecified. Starting never fails.
// REQUIRES: the columns, `labels` and `fault` outlive the run.
Result<std::unique_ptr<ManyRun>> start_clusters(IndexColumn i, IndexColumn j, std::span<std::int64_t> labels,
                                                EdgeFault& fault);
// The same run, waited for.
EdgeFault clusters(IndexColumn i, IndexColumn j, std::span<std::int64_t> labels);

// The clusters of a self join: labels[v] is what clusters() gives over the
// pairs that start_pairs(options, texts, std::nullopt, ...) finds, by either
// plan. The pairs are never held: each joins its two texts' components as it
// is found, and a pair whose texts are in one component already need not be
// scored. Fails only with InvalidPrefixScale, before any thread starts.
// REQUIRES: options hold the cutoff of their measure; labels.size() ==
// texts.size(), aligned as int64 is; the texts and labels outlive the run.
Result<std::unique_ptr<ManyRun>> start_join_clusters(const ManyOptions& options,
                                                     std::span<const TextView> texts,
                                                     std::span<std::int64_t> labels);

}  // namespace quillmatch
