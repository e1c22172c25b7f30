// A pool of native threads for one parallel job.
//
// The job is a count of tasks, numbered 0..tasks-1, and one function run once
// per task. Workers claim task numbers in increasing order from a shared
// counter, so a caller that maps each task to a contiguous range of its output
// gets one writer per output slot and needs no lock on the hot path. A task
// that throws stops the job: the other workers finish the task they are in and
// claim no more, and the first exception is rethrown by finish(), on the
// caller's thread, once every worker has stopped.
//
// The pool knows nothing of any interpreter. It never blocks the caller except
// in wait_for() and finish(), so a caller can wake up regularly (to look for an
// interrupt, say) and call request_stop(); tasks poll stop_requested() between
// pieces of their work, each piece bounded in work (kPollWork), not in count.
//
// Workers run on stacks of kStackBytes. When the system refuses a thread
// (EAGAIN: an address-space limit, a cap on threads), or a worker cannot get
// its thread-local storage (prepare_thread_locals), the job runs on the
// workers that did start. When no worker runs (a job of one worker, or one
// whose every thread was refused), the caller's own thread runs the tasks,
// inside wait_for() and finish(): it still completes, and the `check` given to
// wait_for() is still called about once per timeout, from the task's own
// polls.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include <pthread.h>
#include <time.h>

namespace quillmatch {

// The clock of the looks for a stop and of the waits between them, which are
// tens of milliseconds apart: where the system has a coarse monotonic clock
// (Linux), that one, read from memory in a few nanoseconds where the precise
// one costs tens, and advancing every few milliseconds; elsewhere
// steady_clock. A one-query call reads it a few times.
struct PollClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<PollClock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept {
#if defined(CLOCK_MONOTONIC_COARSE)
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return time_point(std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec));
#else
    return time_point(std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
#endif
  }
};

class ThreadPool {
 public:
  // Runs one task; it may poll pool.stop_requested() between pieces of work.
  using Task = std::function<void(std::size_t task, const ThreadPool& pool)>;
  // Called on the caller's thread while it waits; true stops the job.
  using Check = std::function<bool()>;

  // Starts up to min(workers, tasks) threads (none when there are no tasks),
  // fewer when the system refuses more.
  // REQUIRES: workers >= 1; `run` stays valid until finish() or destruction.
  ThreadPool(std::size_t workers, std::size_t tasks, Task run);
  // Stops and joins the workers; an exception not collected by finish() is
  // dropped.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // True once every task has run or the job has stopped; waits at most about
  // `timeout` for it. With no worker running, the caller runs tasks until
  // then, and calls `check` from the tasks' polls once `timeout` has passed
  // and every `timeout` after: a task runs on its own thread as long as it
  // would on a worker, and still sees a stop within one piece of its work.
  bool wait_for(std::chrono::milliseconds timeout, const Check& check = {});

  // Asks the workers to claim no further task. Any thread may call it.
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept {
    if (stop_.load(std::memory_order_relaxed)) return true;
    return caller_check_.load(std::memory_order_relaxed) && poll_caller();
  }

  // Joins every worker (with no worker thread: runs the tasks left, unless
  // stopped), then rethrows the first exception a task raised.
  void finish();

  // True when every task ran to its end: nothing stopped the job early.
  // REQUIRES: finish() has returned, or wait_for() has returned true.
  bool completed() const { return !stop_.load(std::memory_order_relaxed); }

 private:
  // On the caller's thread, running tasks itself: calls the check when it is
  // due and stops the job when it says so.
  bool poll_caller() const noexcept;
  bool tasks_left() const {
    return !stop_.load(std::memory_order_relaxed) && next_.load(std::memory_order_relaxed) < tasks_;
  }
  // Claims the next task and runs it; false when none is left or the job
  // has stopped.
  bool run_next() noexcept;
  void work() noexcept;
  static void* start_worker(void* pool) noexcept;
  void join_all() noexcept;

  const std::size_t tasks_;
  Task run_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable done_;
  std::size_t running_ = 0;         // guarded by mutex_
  std::exception_ptr error_;        // the first task failure; guarded by mutex_ while workers run
  std::vector<pthread_t> threads_;  // joined ones are removed
  // Set only while the caller runs tasks itself, when no worker runs (so only
  // the caller's thread reads what it points to).
  mutable std::atomic<const Check*> caller_check_{nullptr};
  mutable PollClock::time_point next_check_;
  std::chrono::milliseconds check_interval_{0};
};

// Work, in units of about a nanosecond of one core (a byte read, a cell of a
// dynamic programme over 32), between two polls for a stop: a stop is seen
// within a few milliseconds of work on every thread.
inline constexpr std::uint64_t kPollWork = std::uint64_t{1} << 23;

// Thrown by a Meter when the job it polls has stopped, and caught by the pool
// at the task's edge: it unwinds a long step (an index build) that has no
// early return of its own. It never leaves the pool.
struct Stopped {};

// Runs part(k, pool) for k in [0, parts) on up to `workers` threads of a
// pool of their own, from within a task of `outer` (a phase of one task that
// has parallel steps, an index build): the calling task waits, and a stop of
// the outer job stops the parts. Each part polls the pool it is given,
// through a Meter of it. Throws Stopped when stopped, after every part has
// ended, and rethrows a part's failure. With one worker (or one part) the
// parts run in turn on the calling thread and are given `outer`: their polls
// are then the outer job's own, as many for the same work on any machine.
// REQUIRES: called from a task of `outer`.
void run_parts(const ThreadPool& outer, std::size_t workers, std::size_t parts, const ThreadPool::Task& part);

// Where part k of n items cut into `parts` even parts begins (k = parts: n).
inline std::size_t part_begin(std::size_t n, std::size_t parts, std::size_t k) { return n * k / parts; }

// Polls for a stop after every kPollWork units of work spent.
class Meter {
 public:
  explicit Meter(const ThreadPool& pool) : pool_(pool) {}
  const ThreadPool& pool() const { return pool_; }
  // REQUIRES: the pool catches Stopped (the caller is one of its tasks).
  void spend(std::uint64_t work) {
    spent_ += work;
    if (spent_ < kPollWork) return;
    spent_ = 0;
    if (pool_.stop_requested()) throw Stopped();
  }

 private:
  const ThreadPool& pool_;
  std::uint64_t spent_ = 0;
};

}  // namespace quillmatch
