#include "many/thread_pool.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <utility>

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
  if (count <= 1) {
    on_caller_ = tasks > 0;
    return;
  }
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
  on_caller_ = threads_.empty() && tasks > 0;
}

void* ThreadPool::start_worker(void* pool) noexcept {
  // The first use of the exception machinery in a thread allocates its
  // thread-local state, and when that allocation fails the C library ends the
  // process. Using it here, while the new stack's memory is still to spare,
  // lets a task that runs out of memory later throw std::bad_alloc.
  static_cast<void>(std::uncaught_exceptions());
  static_cast<ThreadPool*>(pool)->work();
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

bool ThreadPool::wait_for(std::chrono::milliseconds timeout) {
  if (on_caller_) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline)
      if (!run_next()) return true;
    return stop_requested() || next_.load(std::memory_order_relaxed) >= tasks_;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  return done_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

void ThreadPool::join_all() noexcept {
  for (; !threads_.empty(); threads_.pop_back()) pthread_join(threads_.back(), nullptr);
}

void ThreadPool::finish() {
  join_all();
  if (on_caller_)
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
