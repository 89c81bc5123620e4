// Entry point of the extension module.
#include <Python.h>

#include "lib/allocator.h"
#include "lib/binding_msg.h"
#include "lib/call_guard.h"
#include "lib/model_class.h"
#include "lib/py_ref.h"

namespace {

#ifdef CORVANE_ALLOC_AUDIT
// Only in the audit build used by the allocation stress test.
PyObject* audit_live_allocations(PyObject*, PyObject*) {
  return PyLong_FromLongLong(corvane::audited_live_allocations());
}
PyMethodDef module_functions[] = {
    {"_audit_live_allocations", audit_live_allocations, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#define CORVANE_MODULE_FUNCTIONS module_functions
#else
#define CORVANE_MODULE_FUNCTIONS nullptr
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvane",
    "",
    // No per-module state. Zero (not -1) makes every further import in this
    // process, such as one from a sub-interpreter, call the init function
    // again, which refuses: the class and the exception are process-wide and
    // must not be shared with another interpreter behind its back.
    0,
    CORVANE_MODULE_FUNCTIONS,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool initialized = false;

PyObject* init_module() {
  using corvane::PyRef;
  if (initialized) {
    PyErr_SetString(PyExc_ImportError, corvane::msg::kInitOnce);
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyObject* type = corvane::model_type();
  if (!type) return nullptr;
  // Made now rather than at the first stop: a stop for want of memory could
  // not make it then.
  if (!corvane::panic_exception_type()) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "_UpliftRandomForestModel", type) < 0) return nullptr;

  PyRef all = PyRef::steal(PyObject_GetAttrString(module.get(), "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString("_UpliftRandomForestModel"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
  initialized = true;
  return module.release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_corvane() {
  return corvane::guarded([] { return init_module(); });
}
