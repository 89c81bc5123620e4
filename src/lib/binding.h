// Binding of call arguments to named parameters, with the exact TypeError
// texts of Python functions: every parameter may be given by position or by
// keyword, all are required, and nothing else is accepted.
#pragma once

#include <Python.h>

#include <span>

namespace corvane {

struct Signature {
  const char* display;                  // e.g. "_UpliftRandomForestModel.fit()"
  std::span<const char* const> params;  // parameter names in order
};

// Vectorcall form: args[0..nargs) positional, then one value per kwnames item.
// Fills out[i] (borrowed) for every parameter or throws PythonErrorSet.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// Tuple-and-dict form (the constructor).
void bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace corvane
