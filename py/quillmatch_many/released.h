// Running native work with the interpreter lock released, and looking for a
// signal while it runs.
//
// The calling thread holds the lock on entry and on exit. While it is away,
// the thread touches no Python object except through signalled(), which takes
// the lock back for a moment to run the signal handlers.
#pragma once

#include <Python.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "quillmatch/quillmatch.h"
#include "common/frame.h"

namespace quillmatch::py {

// How long the calling thread waits on a run's workers between two looks.
inline constexpr std::chrono::milliseconds kPollInterval{50};

// Releases the lock for its lifetime and takes it back at the end, also
// while an exception unwinds. signalled() takes it back for a moment to run
// the signal handlers; the exception of one that raised is held, fetched (no
// interpreter state is left set while the lock is away), and set again when
// the scope ends.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() {
    PyEval_RestoreThread(state_);
    if (raised_) PyErr_Restore(type_, value_, traceback_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // True once a signal handler has raised.
  bool signalled() {
    if (raised_) return true;
    PyEval_RestoreThread(state_);
    raised_ = PyErr_CheckSignals() < 0;
    if (raised_) PyErr_Fetch(&type_, &value_, &traceback_);
    state_ = PyEval_SaveThread();
    return raised_;
  }
  bool raised() const { return raised_; }

 private:
  PyThreadState* state_;
  bool raised_ = false;
  PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

// Stops the run and joins its workers, for a caller that has a failure of its
// own to report: a worker's failure yields to it.
inline void stop_and_join(ManyRun& run) noexcept {
  run.request_stop();
  try {
    run.finish();
  } catch (...) {
  }
}

// Waits with the lock released (`unlocked`) for a run to end, looking for a
// signal between waits. True when a signal handler raised: the run is then
// stopped and its workers joined. A worker's failure is rethrown.
//
// The look for a signal takes the lock back for a moment; it runs on this
// thread only, between waits or from the polls of the work this thread does
// itself (a run of one worker), so a signal is seen within a poll interval
// plus one bounded piece of work.
inline bool await_run(Unlocked& unlocked, ManyRun& run) {
  const std::function<bool()> signalled = [&] { return unlocked.signalled(); };
  while (!unlocked.raised() && !run.wait_for(kPollInterval, signalled) && !signalled()) {
  }
  if (!unlocked.raised()) {
    run.finish();
    return false;
  }
  stop_and_join(run);  // the interrupt is what the caller sees
  return true;
}

// Starts the run with the lock released and waits for it. False with a Python
// exception set when the prefix scale is invalid, memory runs out before the
// workers start, or a signal handler raised.
template <class Start>
bool run_released(Start&& start) {
  std::optional<MatchError> error;
  bool interrupted = false;
  {
    Unlocked unlocked;
    Result<std::unique_ptr<ManyRun>> started = start();
    if (!started.ok())
      error = started.error();
    else
      interrupted = await_run(unlocked, *started.value());
  }  // the run ends here, its workers joined, before the lock is back
  if (interrupted) return false;  // its exception is set
  if (error) {
    raise_match_error(*error);
    return false;
  }
  return true;
}

// Waits for a run started with the lock held, releasing it meanwhile. False
// with the exception set when a signal handler raised.
inline bool wait_released(ManyRun& run) {
  bool interrupted = false;
  {
    Unlocked unlocked;
    interrupted = await_run(unlocked, run);
  }
  return !interrupted;
}

}  // namespace quillmatch::py
