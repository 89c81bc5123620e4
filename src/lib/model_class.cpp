#include "lib/model_class.h"

#include <array>
#include <new>
#include <string>

#include "lib/binding.h"
#include "lib/call_guard.h"
#include "lib/convert.h"
#include "lib/forest_parameters.h"
#include "lib/model_methods.h"
#include "lib/py_ref.h"
#include "lib/py_type.h"

namespace corvane {

namespace {

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[kForestParameters.size()] = {};
    bind_arguments({"_UpliftRandomForestModel.__new__()", kForestParameters}, args, kwargs, a);
    PyObject* self =
        new_instance<ModelObject, &ModelObject::forest>(type, forest_from_parameters(a));
    reinterpret_cast<ModelObject*>(self)->in_use = 0;
    return self;
  });
}

}  // namespace

PyObject* model_type() {
  // Process-wide: the class lives as long as the process.
  static PyObject* type = nullptr;
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(model_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ModelObject, &ModelObject::forest>)},
      {Py_tp_methods, model_method_table()},
      {0, nullptr},
  };
  static PyType_Spec description = {
      "builtins._UpliftRandomForestModel",
      static_cast<int>(sizeof(ModelObject)),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  return heap_type(type, description);
}

}  // namespace corvane
