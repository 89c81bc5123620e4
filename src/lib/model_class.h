// The Python class _UpliftRandomForestModel: a heap type made from a type
// spec, wrapping one forest held by value.
#pragma once

#include <Python.h>

namespace corvane {

// The class object, created on first use and kept for the process's
// lifetime. Null with an error set if it could not be created.
PyObject* model_type();

}  // namespace corvane
