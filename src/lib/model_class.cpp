#include "lib/model_class.h"

#include <array>
#include <new>
#include <string>

#include "lib/binding.h"
#include "lib/call_guard.h"
#include "lib/convert.h"
#include "lib/model_methods.h"
#include "lib/py_ref.h"

namespace corvane {

namespace {

constexpr std::array<const char*, 9> kConstructorParams = {
    "n_estimators", "max_features",   "max_depth", "min_sample_leaf", "eval_func", "max_bins",
    "balance",      "regularization", "alpha"};

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[9] = {};
    bind_arguments({"_UpliftRandomForestModel.__new__()", kConstructorParams}, args, kwargs, a);
    UpliftRandomForestModel forest;
    forest.n_estimators = with_param("n_estimators", [&] { return to_i32(a[0]); });
    forest.max_features = with_param("max_features", [&] { return to_u64(a[1]); });
    forest.max_depth = with_param("max_depth", [&] { return to_u64(a[2]); });
    forest.min_sample_leaf = with_param("min_sample_leaf", [&] { return to_u64(a[3]); });
    forest.eval_func = with_param("eval_func", [&] { return to_string(a[4]); });
    forest.max_bins = with_param("max_bins", [&] { return to_u64(a[5]); });
    forest.balance = with_param("balance", [&] { return to_bool(a[6]); });
    forest.regularization = with_param("regularization", [&] { return to_bool(a[7]); });
    forest.alpha = with_param("alpha", [&] { return to_f64(a[8]); });

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) throw PythonErrorSet{};
    auto* obj = reinterpret_cast<ModelObject*>(self);
    new (&obj->forest) UpliftRandomForestModel(std::move(forest));
    obj->in_use = 0;
    return self;
  });
}

void model_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ModelObject*>(self)->forest.~UpliftRandomForestModel();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace

PyObject* model_type() {
  // Process-wide: the class lives as long as the process.
  static PyObject* type = nullptr;
  if (type) return type;
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(model_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
      {Py_tp_methods, model_method_table()},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "builtins._UpliftRandomForestModel",
      static_cast<int>(sizeof(ModelObject)),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  type = PyType_FromSpec(&spec);
  return type;
}

}  // namespace corvane
