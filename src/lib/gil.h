// Letting other Python threads run while native work goes on, and taking the
// interpreter lock back for the moments that need Python (progress lines,
// signal checks, building results).
#pragma once

#include <Python.h>

#include "lib/python_error.h"

namespace corvane {

// Releases the interpreter lock for its lifetime. The calling thread must
// hold the lock when this is made; until it goes, nothing on this thread may
// touch a Python object except inside a GilHeld scope.
// Thread-safety: one object belongs to the thread that made it.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Holds the interpreter lock for its lifetime, whether or not the calling
// thread held it before (nesting is allowed).
// Thread-safety: one object belongs to the thread that made it.
class GilHeld {
 public:
  GilHeld() : state_(PyGILState_Ensure()) {}
  ~GilHeld() { PyGILState_Release(state_); }
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;

 private:
  PyGILState_STATE state_;
};

// Runs the Python handlers of signals that arrived meanwhile, taking the lock
// for it; one that raises (Ctrl-C) makes this throw PythonErrorSet, so that
// its exception reaches the caller unchanged. Call it from native work that
// runs with the lock released, on the thread that called in from Python.
inline void run_signal_handlers() {
  GilHeld gil;
  if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
}

}  // namespace corvane
