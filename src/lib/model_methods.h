// Method bodies of _UpliftRandomForestModel and the instance layout.
#pragma once

#include <Python.h>

#include "uplift_random_forest/forest.h"

namespace corvane {

struct ModelObject {
  PyObject_HEAD
  UpliftRandomForestModel forest;
  // 0: idle; n > 0: n shared uses in progress; -1: one exclusive use.
  Py_ssize_t in_use;
};

// The seven methods in registration order, ending with a null entry.
PyMethodDef* model_method_table();

}  // namespace corvane
