#include <Python.h>

#include "lib/python_error.h"

#include "lib/binding_msg.h"
#include "lib/py_ref.h"

namespace corvane {

void throw_if_python_error() {
  if (PyErr_Occurred()) throw PythonErrorSet{};
}

std::string str_of(PyObject* obj) {
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (!text) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) {
    PyErr_Clear();
    return {};
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string type_name_of(PyObject* obj) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return msg::kUnknownTypeName;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!utf8) {
    PyErr_Clear();
    return msg::kUnknownTypeName;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

FetchedError fetch_python_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

std::string take_python_error_line() {
  FetchedError error = fetch_python_error();
  if (!error.value) return "unknown error";
  return type_name_of(error.value.get()) + ": " + str_of(error.value.get());
}

std::string take_python_error_text() {
  auto [type, value, traceback] = fetch_python_error();
  if (!type) return "unknown Python error";

  if (!value) return "exception";
  std::string text = type_name_of(value.get());
  const std::string detail = str_of(value.get());
  if (!detail.empty()) text += ": " + detail;
  if (traceback) {
    PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
    PyRef lines =
        module ? PyRef::steal(PyObject_CallMethod(module.get(), "format_tb", "O", traceback.get()))
               : PyRef();
    PyRef empty = PyRef::steal(PyUnicode_FromString(""));
    PyRef joined =
        lines && empty ? PyRef::steal(PyUnicode_Join(empty.get(), lines.get())) : PyRef();
    if (joined) {
      text += "\nTraceback (most recent call last):\n" + str_of(joined.get());
      while (!text.empty() && text.back() == '\n') text.pop_back();
    }
    PyErr_Clear();
  }
  return text;
}

}  // namespace corvane
