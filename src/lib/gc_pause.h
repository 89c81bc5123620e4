// The one way the modules pause Python's cyclic garbage collector: while a
// large result of many new containers is built, each allocation would
// otherwise count towards a collection that traverses every object of the
// program, over and over. Only for results that hold no cycles, so nothing
// is missed meanwhile.
#pragma once

#include <Python.h>

namespace corvane {

// Pauses the collector for its lifetime and then restores it as it was (a
// collector the program had disabled stays disabled). Needs the interpreter
// lock when made and when it goes.
// Thread-safety: one object belongs to the thread that made it.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

}  // namespace corvane
