// The Python class _UpliftRandomForestModel: a heap type made from a
// PyType_Spec, wrapping one forest held by value.
#pragma once

#include <Python.h>

#include "uplift_random_forest/forest.h"

namespace corvane {

// The instance layout.
struct ModelObject {
  PyObject_HEAD UpliftRandomForestModel forest;
  // 0: idle; n > 0: n shared uses in progress; -1: one exclusive use.
  Py_ssize_t in_use;
};

// The class object, created on first use and kept for the process's
// lifetime. Null with an error set if it could not be created.
PyObject* model_type();

}  // namespace corvane
