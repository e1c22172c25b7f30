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
// pieces of their work.
//
// Workers run on stacks of kStackBytes. When the system refuses a thread
// (EAGAIN: an address-space limit, a cap on threads), the job runs on the
// workers that did start. A job of one worker, and one whose every thread the
// system refused, runs on the caller's own thread, inside wait_for() and
// finish(): it still completes, and wait_for() still returns within about one
// task of its timeout.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include <pthread.h>

namespace quillmatch {

class ThreadPool {
 public:
  // Runs one task; it may poll pool.stop_requested() between pieces of work.
  using Task = std::function<void(std::size_t task, const ThreadPool& pool)>;

  // Starts up to min(workers, tasks) threads (none when there are no tasks),
  // fewer when the system refuses more.
  // REQUIRES: workers >= 1; `run` stays valid until finish() or destruction.
  ThreadPool(std::size_t workers, std::size_t tasks, Task run);
  // Stops and joins the workers; an exception not collected by finish() is
  // dropped.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // True once every worker has returned; waits at most `timeout` for it (or,
  // with no worker thread, runs tasks until then).
  bool wait_for(std::chrono::milliseconds timeout);

  // Asks the workers to claim no further task. Any thread may call it.
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  // Joins every worker (with no worker thread: runs the tasks left, unless
  // stopped), then rethrows the first exception a task raised.
  void finish();

  // True when every task ran to its end: nothing stopped the job early.
  // REQUIRES: finish() has returned.
  bool completed() const { return !stop_requested(); }

 private:
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
  std::exception_ptr error_;        // guarded by mutex_; the first task failure
  std::vector<pthread_t> threads_;  // joined ones are removed
  bool on_caller_ = false;          // no worker started: the caller runs the tasks
};

}  // namespace quillmatch
