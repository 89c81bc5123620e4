#include "lib/convert.h"

#include <limits>

#include "lib/binding_msg.h"

namespace corvane {

namespace {

[[noreturn]] void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw PythonErrorSet{};
}

PyRef index_of(PyObject* obj) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) throw PythonErrorSet{};
  return index;
}

}  // namespace

void cannot_convert(PyObject* obj, const char* target) {
  raise(PyExc_TypeError, msg::cannot_convert(type_name_of(obj), target));
}

std::int32_t to_i32(PyObject* obj) {
  PyRef index = index_of(obj);
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) throw PythonErrorSet{};
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    raise(PyExc_OverflowError, msg::kOutOfRangeIntegral);
  return static_cast<std::int32_t>(v);
}

std::uint64_t to_u64(PyObject* obj) {
  PyRef index = index_of(obj);
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
  return static_cast<std::uint64_t>(v);
}

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  cannot_convert(obj, "PyBool");
}

double to_f64(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
  return v;
}

std::string to_string(PyObject* obj) {
  if (!PyUnicode_Check(obj)) cannot_convert(obj, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) throw PythonErrorSet{};
  return std::string(utf8, static_cast<std::size_t>(size));
}

namespace {

// Iterates a sequence argument (any sequence but str) in order.
template <class Element>
void for_each_in_sequence(PyObject* obj, std::size_t& size_hint, Element&& element) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, msg::kStrToVec);
  if (!PySequence_Check(obj)) cannot_convert(obj, "Sequence");
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0)
    PyErr_Clear();
  else
    size_hint = static_cast<std::size_t>(n);
  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) throw PythonErrorSet{};
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) element(item);
  throw_if_python_error();
}

}  // namespace

std::vector<std::string> to_string_sequence(PyObject* obj) {
  std::vector<std::string> out;
  std::size_t hint = 0;
  for_each_in_sequence(obj, hint, [&](PyRef& item) {
    if (out.empty() && hint) out.reserve(hint);
    out.push_back(to_string(item.get()));
  });
  return out;
}

std::vector<PyRef> to_list_sequence(PyObject* obj) {
  std::vector<PyRef> out;
  std::size_t hint = 0;
  for_each_in_sequence(obj, hint, [&](PyRef& item) {
    if (out.empty() && hint) out.reserve(hint);
    require_list(item.get());
    out.push_back(std::move(item));
  });
  return out;
}

PyObject* require_list(PyObject* obj) {
  if (!PyList_Check(obj)) cannot_convert(obj, "PyList");
  return obj;
}

std::unordered_map<std::string, PyRef> to_column_dict(PyObject* obj) {
  if (!PyDict_Check(obj)) cannot_convert(obj, "PyDict");
  std::unordered_map<std::string, PyRef> columns;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    std::string name = to_string(key);
    columns.insert_or_assign(std::move(name), PyRef::borrow(require_list(value)));
  }
  return columns;
}

void wrap_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  auto [type, cause, traceback] = fetch_python_error();
  if (traceback && cause) PyException_SetTraceback(cause.get(), traceback.get());
  const std::string text = msg::argument_error(param, str_of(cause.get()));
  PyRef wrapped = PyRef::steal(PyObject_CallFunction(PyExc_TypeError, "s", text.c_str()));
  if (!wrapped) return;
  // Both links, as `raise ... from cause` inside an except block would set.
  PyException_SetContext(wrapped.get(), PyRef::borrow(cause.get()).release());
  PyException_SetCause(wrapped.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

}  // namespace corvane
