#include "lib/learn/columns.h"

#include <cstring>
#include <limits>
#include <utility>

#include "lib/py_ref.h"
#include "lib/python_error.h"

namespace corvane::learn {

namespace {

// 'f' from "f", "=f", "@f" or "<f" (this is a little-endian machine).
char native_code(const char* format) {
  if (!format) return 'B';
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return '\0';
  return format[0];
}

template <class T>
T cell(const BufferView& view, std::size_t i) {
  T v;
  std::memcpy(&v, view.data() + static_cast<std::ptrdiff_t>(i) * view.stride(), sizeof v);
  return v;
}

}  // namespace

void raise_type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  throw PythonErrorSet{};
}

BufferView::BufferView(PyObject* obj, const char* what, bool writable) {
  const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
    PyErr_Clear();
    raise_type_error(std::string(what) + " must be a " + (writable ? "writable " : "") +
                     "one-dimensional array; got " + type_name_of(obj));
  }
  held_ = true;
  if (view_.ndim != 1) {
    raise_type_error(std::string(what) + " must be one-dimensional; got " +
                     std::to_string(view_.ndim) + " dimensions");
  }
  code_ = native_code(view_.format);
  size_ = static_cast<std::size_t>(view_.shape[0]);
  stride_ = view_.strides[0];
}

BufferView::~BufferView() {
  if (held_) PyBuffer_Release(&view_);
}

BufferView::BufferView(BufferView&& other) noexcept
    : view_(other.view_),
      held_(std::exchange(other.held_, false)),
      code_(other.code_),
      size_(other.size_),
      stride_(other.stride_) {}

FeatureColumns read_feature_columns(PyObject* list) {
  if (!PyList_Check(list)) raise_type_error("columns must be a list");
  FeatureColumns result;
  const Py_ssize_t n = PyList_Size(list);
  result.buffers.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    BufferView& view = result.buffers.emplace_back(PyList_GetItem(list, i), "a feature column");
    InputColumn column;
    switch (view.code()) {
      case 'f':
        column.type = InputColumn::Type::kFloat32;
        break;
      case 'd':
        column.type = InputColumn::Type::kFloat64;
        break;
      case 'i':
        column.type = InputColumn::Type::kCode;
        break;
      default:
        raise_type_error("a feature column must hold float32, float64 or int32 values");
    }
    column.data = view.data();
    column.stride = view.stride();
    if (i == 0) result.rows = view.size();
    if (view.size() != result.rows) raise_type_error("feature columns differ in length");
    result.columns.push_back(column);
  }
  return result;
}

std::vector<std::uint32_t> to_codes(const BufferView& view, std::size_t categories,
                                    const std::string& name) {
  std::vector<std::uint32_t> codes(view.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::int32_t c = cell<std::int32_t>(view, i);
    if (c < 0 || static_cast<std::size_t>(c) >= categories) {
      PyErr_SetString(
          PyExc_ValueError,
          ("column '" + name + "' holds a category code outside its categories").c_str());
      throw PythonErrorSet{};
    }
    codes[i] = static_cast<std::uint32_t>(c);
  }
  return codes;
}

template <class T>
std::vector<T> to_integers(const BufferView& view, const char* what) {
  std::vector<T> values(view.size());
  // int32 values may come as int8 or int16 too (treatment codes of a few
  // groups, which the caller then keeps in a quarter of the memory).
  if (sizeof(T) == 4 && view.code() == 'b') {
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = cell<std::int8_t>(view, i);
  } else if (sizeof(T) == 4 && view.code() == 'h') {
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = cell<std::int16_t>(view, i);
  } else if (view.code() == (sizeof(T) == 4 ? 'i' : 'b')) {
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = cell<T>(view, i);
  } else {
    raise_type_error(std::string(what) + " must hold " +
                     (sizeof(T) == 4 ? "int8, int16 or int32" : "int8") + " values");
  }
  return values;
}

std::vector<double> to_doubles(const BufferView& view, const char* what) {
  if (view.code() != 'd') raise_type_error(std::string(what) + " must hold float64 values");
  std::vector<double> values(view.size());
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = cell<double>(view, i);
  return values;
}

template std::vector<std::int32_t> to_integers<std::int32_t>(const BufferView&, const char*);
template std::vector<std::int8_t> to_integers<std::int8_t>(const BufferView&, const char*);

}  // namespace corvane::learn
