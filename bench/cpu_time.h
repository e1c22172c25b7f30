// Timing for the core's micro-benchmarks: this thread's CPU time, so that other
// work sharing the cores is not counted while the thread waits, and the best
// of several rounds.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstddef>

inline double cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Best of `rounds` runs of f(), in nanoseconds per item of the `items` one run
// handles.
template <class F>
double best_ns(std::size_t items, int rounds, F&& f) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const double t0 = cpu_ns();
    f();
    best = std::min(best, (cpu_ns() - t0) / static_cast<double>(items));
  }
  return best;
}
