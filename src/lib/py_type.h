// What both modules' classes and functions are made of: heap types made
// once per process, instances that hold one C++ member, the check that a
// method's self is such an instance, and vectorcall entries of method
// tables.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "lib/convert.h"
#include "lib/python_error.h"

namespace corvane {

// The method table entry of a vectorcall function that takes keywords
// (its parameters are bound by lib/binding.h).
template <auto Fn>
PyMethodDef keywords_method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// The heap type that `description` describes, kept in `type` for the
// process's lifetime once made; a failed attempt (null, with an error set)
// is tried again on the next call.
inline PyObject* heap_type(PyObject*& type, PyType_Spec& description) {
  if (!type) type = PyType_FromSpec(&description);
  return type;
}

// The instance layout `Object` of `self`, whose class `type()` gives and
// Python names `name`; a TypeError for anything else.
template <class Object>
Object& instance_of(PyObject* self, PyObject* (*type)(), const char* name) {
  PyObject* cls = type();
  if (!cls) throw PythonErrorSet{};
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(cls))) cannot_convert(self, name);
  return *reinterpret_cast<Object*>(self);
}

// A new instance of `type` whose C++ member `Member` is made from `value`.
// Throws PythonErrorSet.
template <class Object, auto Member, class Value>
PyObject* new_instance(PyTypeObject* type, Value&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) throw PythonErrorSet{};
  using Held = std::remove_reference_t<decltype(std::declval<Object&>().*Member)>;
  new (&(reinterpret_cast<Object*>(self)->*Member)) Held(std::forward<Value>(value));
  return self;
}

// tp_dealloc of such a type: the member goes, then the object, then the
// instance's reference to its heap type.
template <class Object, auto Member>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&(reinterpret_cast<Object*>(self)->*Member));
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace corvane
