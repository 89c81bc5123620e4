// The one place where failures of the estimator's module become Python
// exceptions (with on_file() for the failures of file access). The estimator promises ordinary
// exceptions in plain words, so unlike the extension nothing here raises PanicException or writes
// to standard error: a core stop becomes ValueError (its text), one caused by a failed system call
// the OSError subclass of its errno with the file's name, running out of memory MemoryError, and a
// pending Python error (a bad argument, Ctrl-C, a failing progress callback) passes unchanged.
#pragma once

#include <Python.h>

#include <cerrno>
#include <new>
#include <utility>

#include "core/error.h"
#include "lib/call_guard.h"
#include "lib/python_error.h"

namespace corvane::learn {

void raise_error(const Error& e) noexcept;
// OSError (its errno's subclass) for a stop caused by a failed system call,
// with `path` as the filename.
void raise_os_error(const Error& e, PyObject* path) noexcept;

// Runs fn(); a stop from a failed system call becomes the OSError of `path`
// (the caller's own object, so the exception names the file as given).
template <class Fn>
auto on_file(PyObject* path, Fn&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const Error& e) {
    if (e.os_code() == 0) throw;
    raise_os_error(e, path);
    throw PythonErrorSet{};
  }
}
void raise_memory_error() noexcept;
void raise_runtime_error(const char* text) noexcept;

// The estimator's way: ordinary exceptions, nothing on standard error.
struct RaisePlain {
  static void stop(const Error& e) noexcept { raise_error(e); }
  static void out_of_memory() noexcept { raise_memory_error(); }
  static void other(const char* text) noexcept { raise_runtime_error(text); }
};

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_with<RaisePlain>(std::forward<Body>(body));
}

}  // namespace corvane::learn
