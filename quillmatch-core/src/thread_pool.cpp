#include "thread_pool.h"

#include <algorithm>
#include <utility>

namespace quillmatch {

ThreadPool::ThreadPool(std::size_t workers, std::size_t tasks, Task run)
    : tasks_(tasks), run_(std::move(run)) {
  const std::size_t count = std::min(std::max<std::size_t>(workers, 1), tasks);
  threads_.reserve(count);
  try {
    for (std::size_t w = 0; w < count; ++w) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
      }
      try {
        threads_.emplace_back([this] { work(); });
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        throw;
      }
    }
  } catch (...) {
    request_stop();
    join_all();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  request_stop();
  join_all();
}

void ThreadPool::work() noexcept {
  while (!stop_requested()) {
    const std::size_t task = next_.fetch_add(1, std::memory_order_relaxed);
    if (task >= tasks_) break;
    try {
      run_(task, *this);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
      request_stop();
      break;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (--running_ == 0) done_.notify_all();
}

bool ThreadPool::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return done_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

void ThreadPool::join_all() noexcept {
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
}

void ThreadPool::finish() {
  join_all();
  std::exception_ptr error;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    error = std::exchange(error_, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace quillmatch
