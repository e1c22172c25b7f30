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

// Finds the size of the thread-local block of the C++ runtime's library: the
// library whose code holds std::uncaught_exceptions.
int find_runtime_block(dl_phdr_info* info, std::size_t, void* bytes) {
  const auto runtime_code = reinterpret_cast<std::uintptr_t>(&std::uncaught_exceptions);
  bool runtime = false;
  for (ElfW(Half) h = 0; h < info->dlpi_phnum; ++h) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[h];
    runtime = runtime || (ph.p_type == PT_LOAD && runtime_code - (info->dlpi_addr + ph.p_vaddr) < ph.p_memsz);
  }
  if (!runtime) return 0;
  for (ElfW(Half) h = 0; h < info->dlpi_phnum; ++h)
    if (info->dlpi_phdr[h].p_type == PT_TLS) *static_cast<std::size_t*>(bytes) = info->dlpi_phdr[h].p_memsz;
  return 1;
}

std::size_t runtime_block_bytes() {
  static const std::size_t bytes = [] {
    std::size_t b = 0;
    dl_iterate_phdr(find_runtime_block, &b);
    return b;
  }();
  return bytes;
}

#if defined(__linux__)
// This library's own thread-local storage is static: the initial-exec access
// in make_runtime_block() makes the linker mark the library so. The C library
// then sets the library's block aside when it loads the library and gives
// each thread its part with the thread's stack (a thread it cannot give one is
// refused, which the pool handles), so no first use allocates. Where the C++
// runtime is linked into this library (the wheels), its block is that block.
// A runtime loaded as a library of its own keeps a block of the dynamic kind,
// allocated on first use: the probe below is for that one.
[[gnu::tls_model("initial-exec")]] thread_local char static_block_mark;
#endif

// A dynamic block is allocated with malloc, on this thread, on its first use. A
// probe of the block's size that succeeds and is freed right before leaves a
// chunk of that size first in line for the block's allocation (in this
// thread's own cache of freed chunks, unless memory is so short that the
// thread has none). Only then is the block used. Without the probe, the
// first use (a throw under memory pressure) may find no memory, and the C
// library ends the process.
bool make_runtime_block() noexcept {
  void* probe = std::malloc(std::max<std::size_t>(runtime_block_bytes(), 1));
  if (!probe) return false;
  std::free(probe);
#if defined(__linux__)
  *static_cast<volatile char*>(&static_block_mark) = 1;  // the access kept, and with it the mark
#endif
  // The block's first use. The function is declared pure: a result left
  // unused would let the compiler drop the call, so it is kept.
  volatile int uses = std::uncaught_exceptions();
  static_cast<void>(uses);
  return true;
}

// Callers' threads that have their block are marked under this key: a slot
// in the thread's own control block, read at no cost on every call after
// the first. Without a key, every call probes anew.
const pthread_key_t* made_key() {
  static pthread_key_t key;
  static const bool made = pthread_key_create(&key, nullptr) == 0;
  return made ? &key : nullptr;
}

}  // namespace

bool prepare_thread_locals() noexcept {
  const pthread_key_t* key = made_key();
  if (key && pthread_getspecific(*key)) return true;
  if (!make_runtime_block()) return false;
  static const char mark = 1;
  if (key) pthread_setspecific(*key, &mark);
  return true;
}

void* ThreadPool::start_worker(void* pool) noexcept {
  auto* self = static_cast<ThreadPool*>(pool);
  // A new thread: no mark to read, and none set (a mark may cost memory).
  if (!make_runtime_block()) {
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
  const auto deadline = PollClock::now() + timeout;
  // Without a worker thread none runs: no wait (a small job's call saves the
  // lock).
  if (!threads_.empty()) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!done_.wait_for(lock, timeout, [this] { return running_ == 0; })) return false;
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
    if (tasks_left() && PollClock::now() >= deadline) break;
  }
  caller_check_.store(nullptr, std::memory_order_relaxed);
  return !tasks_left();
}

bool ThreadPool::poll_caller() const noexcept {
  const auto now = PollClock::now();
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
  // No worker is left (each was joined, which makes what it wrote visible
  // here), so only this thread touches error_ now: no lock.
  if (std::exception_ptr error = std::exchange(error_, nullptr)) std::rethrow_exception(error);
}

void run_parts(const ThreadPool& outer, std::size_t workers, std::size_t parts, const ThreadPool::Task& part) {
  // One worker: the parts run in turn on this thread and poll the outer pool
  // itself, so its stop (and the caller's check, when the caller runs the
  // outer task) is looked for after every piece of their work, as in any
  // other step, not on a clock of its own.
  if (workers <= 1 || parts <= 1) {
    for (std::size_t k = 0; k < parts; ++k) {
      if (outer.stop_requested()) throw Stopped();
      part(k, outer);
    }
    return;
  }
  // The outer pool's stop is read from this thread only: the task's own,
  // which is the caller's when the outer pool runs no worker (and then the
  // look may run the caller's check).
  constexpr std::chrono::milliseconds kLook{20};
  ThreadPool pool(workers, parts, part);
  const ThreadPool::Check stopped = [&] { return outer.stop_requested(); };
  while (!pool.wait_for(kLook, stopped)) {
    if (stopped()) {
      pool.request_stop();
      break;
    }
  }
  pool.finish();
  if (!pool.completed()) throw Stopped();
}

}  // namespace quillmatch
