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

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  prime_exceptions();
  try {
    return body();
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const Error& e) {
    raise_error(e);
  } catch (const std::bad_alloc&) {
    raise_memory_error();
  } catch (const std::exception& e) {
    raise_runtime_error(e.what());
  } catch (...) {
    raise_runtime_error("unknown failure");
  }
  return nullptr;
}

}  // namespace corvane::learn
