// The one place where failures become Python exceptions. Every entry point
// from Python runs its body through guarded(): core stops (corvane::Error)
// become PanicException with their exact text, a pending Python error passes
// through unchanged, and nothing C++ ever unwinds into the interpreter. The
// estimator's module shares the choke point (guarded_with) and differs only
// in how it raises each kind of failure (lib/learn/errors.h).
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.h"
#include "core/error_msg.h"
#include "lib/binding_msg.h"
#include "lib/python_error.h"

namespace corvane {

// pyo3_runtime.PanicException, created on first use and kept for the
// process's lifetime. Null (with an error set) only if creation failed.
PyObject* panic_exception_type();

// Writes the message to standard error and sets PanicException(message).
// Allocates nothing of its own, so it can report a failed allocation.
void raise_panic(std::string_view message) noexcept;

// A thread's first exception allocates the thread's exception state (the
// dynamic loader's share of it on first use, the unwinder's caches); done
// once per thread before any work, so that an exception thrown once memory
// has run out does not end the process instead.
inline void prime_exceptions() noexcept {
  thread_local bool primed = false;
  if (primed) return;
  primed = true;
  try {
    throw 0;
  } catch (int) {
  }
}

// Runs body() and returns what it returns; any failure sets a Python error
// and gives null: a pending Python error stays as it is, and `Raise` says
// what the others become, through its static noexcept functions
// stop(const Error&), out_of_memory() and other(const char* text).
template <class Raise, class Body>
PyObject* guarded_with(Body&& body) noexcept {
  prime_exceptions();
  try {
    return body();
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const Error& e) {
    Raise::stop(e);
  } catch (const std::bad_alloc&) {
    Raise::out_of_memory();
  } catch (const std::exception& e) {
    Raise::other(e.what());
  } catch (...) {
    Raise::other("unknown failure");
  }
  return nullptr;
}

// The extension's way: PanicException, with its line on standard error.
struct RaisePanic {
  static void stop(const Error& e) noexcept { raise_panic(e.what()); }
  static void out_of_memory() noexcept { raise_panic(msg::kMemoryAllocationFailed); }
  static void other(const char* text) noexcept { raise_panic(text); }
};

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_with<RaisePanic>(std::forward<Body>(body));
}

}  // namespace corvane
