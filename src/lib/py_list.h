// Python lists built from C++ values, for the results of both modules.
#pragma once

#include <Python.h>

#include <cstddef>

#include "lib/py_ref.h"
#include "lib/python_error.h"

namespace corvane {

// Thrown by list_of's default failed(): the Python error stays set.
[[noreturn]] inline void python_call_failed() { throw PythonErrorSet{}; }

// A new list of make(value) for each of `values` (each a new reference,
// taken over). A list or item that cannot be made (null, a Python error
// set) calls failed(), which throws; so a result is complete or not made.
template <class Values, class Make, class Failed = void (*)()>
PyObject* list_of(const Values& values, Make&& make, Failed&& failed = python_call_failed) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) failed();
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = make(values[i]);
    if (!item) failed();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace corvane
