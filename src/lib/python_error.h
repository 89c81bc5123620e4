// Bridges between the Python error indicator and C++ exceptions.
#pragma once

#include <Python.h>

#include <string>

#include "lib/py_ref.h"

namespace corvane {

// The pending Python exception, normalized, taken out of the interpreter
// (the error indicator is cleared). All members are null when none was set.
struct FetchedError {
  PyRef type;
  PyRef value;
  PyRef traceback;
};
FetchedError fetch_python_error();

// Thrown when a Python API call failed and the error indicator is set; the
// method boundary hands that error to Python unchanged.
struct PythonErrorSet {};

// Throws PythonErrorSet when the error indicator is set.
void throw_if_python_error();

// Takes the pending Python exception out of the interpreter (clearing the
// indicator) and renders its type, value and traceback as one text.
std::string take_python_error_text();

// "<Type>: <message>" of the pending exception, clearing it.
std::string take_python_error_line();

// __qualname__ of obj's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* obj);

// str(obj) as UTF-8, or "" when that fails (any error is cleared).
std::string str_of(PyObject* obj);

}  // namespace corvane
