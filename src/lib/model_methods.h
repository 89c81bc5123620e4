// Method bodies of _UpliftRandomForestModel.
#pragma once

#include <Python.h>

namespace corvane {

// The seven methods in registration order, ending with a null entry.
PyMethodDef* model_method_table();

}  // namespace corvane
