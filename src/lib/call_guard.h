// The one place where failures become Python exceptions. Every entry point
// from Python runs its body through guarded(): core stops (corvane::Error)
// become PanicException with their exact text, a pending Python error passes
// through unchanged, and nothing C++ ever unwinds into the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>

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

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const Error& e) {
    raise_panic(e.what());
  } catch (const std::bad_alloc&) {
    raise_panic(msg::kMemoryAllocationFailed);
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown failure");
  }
  return nullptr;
}

}  // namespace corvane
