#include "lib/data_set_pylist.h"

#include <limits>
#include <optional>
#include <string_view>

#include "core/error.h"
#include "core/error_msg.h"
#include "lib/binding_msg.h"
#include "lib/python_error.h"
#include "uplift_tree/data_builder.h"

namespace corvane {

namespace {

PyObject* column(const std::unordered_map<std::string, PyRef>& data, const std::string& name) {
  auto it = data.find(name);
  if (it == data.end()) fail(msg::kUnwrapNone);
  return it->second.get();
}

std::optional<std::vector<float>> read_numeric(PyObject* list) {
  std::vector<float> values;
  values.reserve(static_cast<std::size_t>(PyList_Size(list)));
  // The size is read each time: a user-defined __float__ may change the list.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (!item) {
      PyErr_Clear();
      return std::nullopt;
    }
    const double v = PyFloat_AsDouble(item.get());
    if (v == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return std::nullopt;
    }
    values.push_back(static_cast<float>(v));
  }
  return values;
}

// Dictionary-encodes the strings; no Python code can run meanwhile, so the
// UTF-8 buffers cached in the str objects stay put while they are keys.
std::optional<StrColumn> read_categorical(PyObject* list) {
  StrColumn col;
  const Py_ssize_t n = PyList_Size(list);
  col.codes.reserve(static_cast<std::size_t>(n));
  std::unordered_map<std::string_view, std::uint32_t> code_of;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (!item || !PyUnicode_Check(item)) {
      PyErr_Clear();
      return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (!utf8) {
      PyErr_Clear();
      return std::nullopt;
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    auto [it, fresh] = code_of.try_emplace(text, static_cast<std::uint32_t>(col.categories.size()));
    if (fresh) col.categories.emplace_back(text);
    col.codes.push_back(it->second);
  }
  return col;
}

// Integer elements in [lo, hi]; a failure stops with the Python error text.
template <class T>
std::vector<T> read_integers(PyObject* list) {
  std::vector<T> values;
  values.reserve(static_cast<std::size_t>(PyList_Size(list)));
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (!item) fail(msg::unwrap_err(take_python_error_text()));
    const long long v = PyLong_AsLongLong(item.get());
    if (v == -1 && PyErr_Occurred()) fail(msg::unwrap_err(take_python_error_text()));
    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max())
      fail(msg::unwrap_err(std::string("OverflowError: ") + msg::kOutOfRangeIntegral));
    values.push_back(static_cast<T>(v));
  }
  return values;
}

}  // namespace

RawData raw_data_from_pylist(const std::unordered_map<std::string, PyRef>& data,
                             std::vector<std::string> x_names, const std::string& treatment_col,
                             const std::string& outcome_col) {
  TrainingDataBuilder builder;
  for (std::string& name : x_names) {
    PyObject* list = column(data, name);
    if (auto numbers = read_numeric(list)) {
      builder.add_numeric(std::move(name), std::move(*numbers));
    } else if (auto strings = read_categorical(list)) {
      builder.add_categorical(std::move(name), std::move(*strings));
    } else {
      fail(msg::bad_column_type(name));
    }
  }
  builder.set_treatment(read_integers<std::int32_t>(column(data, treatment_col)));
  builder.set_outcome(read_integers<std::int8_t>(column(data, outcome_col)));
  return builder.finish(treatment_col, outcome_col);
}

}  // namespace corvane
