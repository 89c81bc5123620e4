// The one place where failures of the estimator's module become Python
// exceptions. The estimator promises ordinary exceptions in plain words, so
// unlike the extension nothing here raises PanicException or writes to
// standard error: a core stop becomes ValueError (its text), one caused by
// a failed system call the OSError subclass of its errno with the file's
// name, running out of memory MemoryError, and a pending Python error
// (a bad argument, Ctrl-C, a failing progress callback) passes unchanged.
#pragma once

#include <Python.h>

#include <cerrno>
#include <new>

#include "core/error.h"
#include "lib/call_guard.h"
#include "lib/python_error.h"

namespace corvane::learn {

// Names the file of the operation in progress on this thread, for OSError.
// Thread-safety: each thread has its own.
class FileContext {
 public:
  explicit FileContext(PyObject* path);
  ~FileContext();
  FileContext(const FileContext&) = delete;
  FileContext& operator=(const FileContext&) = delete;
  static PyObject* current();

 private:
  PyObject* previous_;
};

void raise_error(const Error& e) noexcept;
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
