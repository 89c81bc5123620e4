#include "lib/learn/py_values.h"

#include "lib/learn/columns.h"
#include "lib/py_list.h"
#include "lib/python_error.h"

namespace corvane::learn {

PyRef new_str(std::string_view text) {
  PyRef s = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
  if (!s) throw PythonErrorSet{};
  return s;
}

PyObject* str_list(const std::vector<std::string>& values) {
  return list_of(values, [](const std::string& v) { return new_str(v).release(); });
}

PyObject* float_list(std::span<const double> values) {
  return list_of(values, [](double v) { return PyFloat_FromDouble(v); });
}

PyObject* int_list(std::span<const std::int32_t> values) {
  return list_of(values, [](std::int32_t v) { return PyLong_FromLong(v); });
}

void set_item(PyObject* list, Py_ssize_t i, PyObject* item) {
  if (!item) throw PythonErrorSet{};
  PyList_SetItem(list, i, item);
}

std::string bytes_value(PyObject* obj, const char* what) {
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) throw PythonErrorSet{};
    return std::string(data, static_cast<std::size_t>(size));
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) throw PythonErrorSet{};
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  raise_type_error(std::string(what) + " must be bytes or str; got " + type_name_of(obj));
}

Dict::Dict() : dict_(PyRef::steal(PyDict_New())) {
  if (!dict_) throw PythonErrorSet{};
}

void Dict::set(const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned || PyDict_SetItemString(dict_.get(), key, owned.get()) < 0) throw PythonErrorSet{};
}

}  // namespace corvane::learn
