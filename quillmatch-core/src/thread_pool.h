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
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quillmatch {

class ThreadPool {
 public:
  // Runs one task; it may poll pool.stop_requested() between pieces of work.
  using Task = std::function<void(std::size_t task, const ThreadPool& pool)>;

  // Starts min(workers, tasks) threads (none when there are no tasks).
  // REQUIRES: workers >= 1; `run` stays valid until finish() or destruction.
  // Throws std::system_error when a thread cannot be started, after stopping
  // and joining those that were.
  ThreadPool(std::size_t workers, std::size_t tasks, Task run);
  // Stops and joins the workers; an exception not collected by finish() is
  // dropped.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // True once every worker has returned; waits at most `timeout` for it.
  bool wait_for(std::chrono::milliseconds timeout);

  // Asks the workers to claim no further task. Any thread may call it.
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  // Joins every worker, then rethrows the first exception a task raised.
  void finish();

  // True when every task ran to its end: nothing stopped the job early.
  // REQUIRES: finish() has returned.
  bool completed() const { return !stop_requested(); }

 private:
  void work() noexcept;
  void join_all() noexcept;

  const std::size_t tasks_;
  Task run_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable done_;
  std::size_t running_ = 0;         // guarded by mutex_
  std::exception_ptr error_;        // guarded by mutex_; the first task failure
  std::vector<std::thread> threads_;
};

}  // namespace quillmatch
