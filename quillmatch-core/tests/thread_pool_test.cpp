// The pool runs each task once, and a task's exception comes back once, after
// every worker has stopped.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "many/thread_pool.h"

namespace quillmatch {
namespace {

TEST(ThreadPool, RunsEveryTaskOnceOnAnyNumberOfWorkers) {
  for (std::size_t workers : {1, 2, 7, 300}) {
    std::vector<std::atomic<int>> runs(1000);
    ThreadPool pool(workers, runs.size(), [&](std::size_t t, const ThreadPool&) { ++runs[t]; });
    pool.finish();
    EXPECT_TRUE(pool.completed());
    for (const auto& r : runs) ASSERT_EQ(r.load(), 1);
  }
  ThreadPool empty(4, 0, [](std::size_t, const ThreadPool&) { FAIL(); });
  EXPECT_TRUE(empty.wait_for(std::chrono::milliseconds(0)));
  empty.finish();
}

TEST(ThreadPool, CarriesTheFirstFailureBackAfterEveryWorkerStopped) {
  std::atomic<int> busy{0}, started{0};
  ThreadPool pool(4, 10000, [&](std::size_t t, const ThreadPool& p) {
    ++busy;
    ++started;
    if (t == 2) {  // claimed while the workers on tasks 0 and 1 wait for the stop
      --busy;
      throw std::bad_alloc();
    }
    while (!p.stop_requested()) {
    }
    --busy;
  });
  EXPECT_THROW(pool.finish(), std::bad_alloc);
  EXPECT_EQ(busy.load(), 0);
  EXPECT_LT(started.load(), 10000);
  EXPECT_FALSE(pool.completed());
  EXPECT_NO_THROW(pool.finish());  // raised once
}

TEST(ThreadPool, StopsOnRequest) {
  // Each task waits for the stop, so no worker can run out of tasks first.
  std::atomic<int> started{0};
  ThreadPool pool(2, 1000000, [&](std::size_t, const ThreadPool& p) {
    ++started;
    while (!p.stop_requested()) std::this_thread::yield();
  });
  while (started.load() == 0) std::this_thread::yield();
  pool.request_stop();
  pool.finish();
  EXPECT_LE(started.load(), 2);
}

}  // namespace
}  // namespace quillmatch
