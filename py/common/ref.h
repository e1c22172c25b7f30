// Owning handles for interpreter references and the lock-release scope.
// Every reference the module takes lives in a Ref, so each error path releases
// exactly what it took, in one place. All Ref operations need the interpreter
// lock.
#pragma once

#include <Python.h>

#include <utility>

namespace quillmatch::py {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (or null).
  explicit Ref(PyObject* owned) : obj_(owned) {}
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for its lifetime and takes it back when it ends,
// also while an exception unwinds through it, so an internal fault raised in
// the unlocked stretch is turned into a Python exception with the lock held.
// REQUIRES: nothing inside the scope touches an interpreter object.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace quillmatch::py
