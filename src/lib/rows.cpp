#include "lib/rows.h"

#include <optional>
#include <string>

#include "core/error.h"
#include "core/error_msg.h"
#include "lib/binding_msg.h"
#include "lib/py_ref.h"
#include "lib/python_error.h"

namespace corvane {

namespace {

std::optional<SplitValue> as_str(PyObject* obj) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) return std::nullopt;
  return SplitValue::str(std::string(utf8, static_cast<std::size_t>(size)));
}

SplitValue to_cell(PyObject* obj) {
  std::string numeric_error;
  if (PyUnicode_CheckExact(obj)) {
    // A plain str never converts to float: go straight to the text.
    if (auto cell = as_str(obj)) return std::move(*cell);
    PyErr_Clear();
    numeric_error = "TypeError: must be real number, not str";
  } else {
    const double v = PyFloat_AsDouble(obj);
    if (!(v == -1.0 && PyErr_Occurred())) return SplitValue::numeric(static_cast<float>(v));
    numeric_error = take_python_error_line();
  }
  std::string str_error;
  if (PyUnicode_Check(obj)) {
    if (auto cell = as_str(obj)) return std::move(*cell);
    str_error = take_python_error_line();
  } else {
    str_error = "TypeError: '" + type_name_of(obj) + "' object cannot be converted to 'PyString'";
  }
  fail(msg::unwrap_err(msg::split_value_not_extracted(numeric_error, str_error)));
}

}  // namespace

void append_row(PyObject* list, RowBatch& batch) {
  // The size is re-read: a user-defined __float__ could change the list.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (!item) throw PythonErrorSet{};
    if (PyFloat_CheckExact(item) || PyUnicode_CheckExact(item)) {
      // No Python code runs for these, so the list keeps the item alive.
      batch.add_cell(to_cell(item));
    } else {
      PyRef held = PyRef::borrow(item);
      batch.add_cell(to_cell(held.get()));
    }
  }
  batch.end_row();
}

}  // namespace corvane
