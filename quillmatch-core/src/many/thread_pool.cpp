#include "many/thread_pool.h"

#include "quillmatch/quillmatch.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <exception>
#include <utility>

#include <link.h>

namespace quillmatch {

namespace {

// A task's deepest frame is a few tens of kilobytes. The default stack (8 MiB
// on Linux, from RLIMIT_STACK) would make 256 workers reserve 2 GiB of address
// space, which a limit on it (ulimit -v) may not leave.
constexpr std::size_t kStackBytes = std::size_t{256} << 10;

// The attributes of a worker thread, released on every path.
class WorkerAttributes {
 public:
  WorkerAttributes() {
    ok_ = pthread_attr_init(&attr_) == 0;
    if (ok_) pthread_attr_setstacksize(&attr_, std::max<std::size_t>(kStackBytes, PTHREAD_STACK_MIN));
  }
  ~WorkerAttributes() {
    if (ok_) pthread_attr_destroy(&attr_);
  }
  WorkerAttributes(const WorkerAttributes&) = delete;
  WorkerAttributes& operator=(const WorkerAttributes&) = delete;
  const pthread_attr_t* get() const { return ok_ ? &attr_ : nullptr; }

 private:
  pthread_attr_t attr_;
  bool ok_ = false;
};

}  // namespace

ThreadPool::ThreadPool(std::size_t workers, std::size_t tasks, Task run)
    : tasks_(tasks), run_(std::move(run)) {
  const std::size_t count = std::min(std::max<std::size_t>(workers, 1), tasks);
  // One worker is the caller itself: a thread would cost tens of
  // microseconds, more than a small job (one query against an index).
  if (count <= 1) return;
  threads_.reserve(count);
  const WorkerAttributes attributes;
  for (std::size_t w = 0; w < count; ++w) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++running_;
    }
    pthread_t thread;
    if (pthread_create(&thread, attributes.get(), &ThreadPool::start_worker, this) != 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
      break;  // the job runs on the threads that started, or on the caller's
    }
    threads_.push_back(thread);
  }
}

namespace {

// Allocates and frees, for each library whose thread-local block this thread
// has not yet got, as many bytes as the block holds.
int probe_missing_blocks(dl_phdr_info* info, std::size_t, void* failed) {
  if (info->dlpi_tls_modid == 0 || info->dlpi_tls_data) return 0;
  for (ElfW(Half) h = 0; h < info->dlpi_phnum; ++h) {
    if (info->dlpi_phdr[h].p_type != PT_TLS) continue;
    void* probe = std::malloc(std::max<std::size_t>(info->dlpi_phdr[h].p_memsz, 1));
    if (!probe) {
      *static_cast<bool*>(failed) = true;
      return 1;
    }
    std::free(probe);
  }
  return 0;
}

}  // namespace

// The block is allocated with malloc, on this thread. A probe of the block's
// size that succeeds and is freed right before leaves a chunk of that size in
// this thread's own cache of freed chunks, where the block's allocation finds
// it: no other thread can take it in between. Only then is the block used.
// (dl_iterate_phdr reports a block as missing exactly when this thread has
// not got it.)
bool prepare_thread_locals() noexcept {
  bool failed = false;
  dl_iterate_phdr(probe_missing_blocks, &failed);
  if (failed) return false;
  static_cast<void>(std::uncaught_exceptions());  // the C++ runtime's block
  return true;
}

void* ThreadPool::start_worker(void* pool) noexcept {
  auto* self = static_cast<ThreadPool*>(pool);
  if (!prepare_thread_locals()) {
    // Not started after all: the others, or the caller, run the tasks.
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (--self->running_ == 0) self->done_.notify_all();
    return nullptr;
  }
  self->work();
  return nullptr;
}

ThreadPool::~ThreadPool() {
  request_stop();
  join_all();
}

bool ThreadPool::run_next() noexcept {
  if (stop_requested()) return false;
  const std::size_t task = next_.fetch_add(1, std::memory_order_relaxed);
  if (task >= tasks_) return false;
  try {
    run_(task, *this);
  } catch (const Stopped&) {
    return false;  // the stop was requested already
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = std::current_exception();
    request_stop();
    return false;
  }
  return true;
}

void ThreadPool::work() noexcept {
  while (run_next()) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (--running_ == 0) done_.notify_all();
}

bool ThreadPool::wait_for(std::chrono::milliseconds timeout, const Check& check) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!done_.wait_until(lock, deadline, [this] { return running_ == 0; })) return false;
  }
  // No worker runs, nor will: the caller runs what is left.
  if (check) {
    next_check_ = deadline;
    check_interval_ = timeout;
    caller_check_.store(&check, std::memory_order_relaxed);
  }
  // At least one task, so that a caller that waits for no time still moves on.
  while (tasks_left()) {
    run_next();
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  caller_check_.store(nullptr, std::memory_order_relaxed);
  return !tasks_left();
}

bool ThreadPool::poll_caller() const noexcept {
  const auto now = std::chrono::steady_clock::now();
  if (now < next_check_) return false;
  next_check_ = now + check_interval_;
  const Check* check = caller_check_.load(std::memory_order_relaxed);
  bool stop = false;
  try {
    stop = (*check)();
  } catch (...) {
    stop = true;  // a check that fails cannot let the job go on unwatched
  }
  if (stop) const_cast<ThreadPool*>(this)->request_stop();
  return stop;
}

void ThreadPool::join_all() noexcept {
  for (; !threads_.empty(); threads_.pop_back()) pthread_join(threads_.back(), nullptr);
}

void ThreadPool::finish() {
  join_all();
  while (run_next()) {
  }
  std::exception_ptr error;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    error = std::exchange(error_, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace quillmatch
