// Building the small Python results of the estimator's module (lists of a
// forest's features, a tree's nodes) and reading its text arguments. Every
// function throws PythonErrorSet when Python fails (for instance out of
// memory), so results are either complete or not made at all.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/py_ref.h"

namespace corvane::learn {

PyRef new_str(std::string_view text);
PyObject* str_list(const std::vector<std::string>& values);
PyObject* float_list(std::span<const double> values);
PyObject* int_list(std::span<const std::int32_t> values);
// list[i] = item (a new reference, taken over); a null item fails.
void set_item(PyObject* list, Py_ssize_t i, PyObject* item);

// The bytes of a bytes object, or the UTF-8 of a str.
std::string bytes_value(PyObject* obj, const char* what);

// A dict built key by key; each value is a new reference, taken over.
class Dict {
 public:
  Dict();
  void set(const char* key, PyObject* value);
  PyObject* release() { return dict_.release(); }

 private:
  PyRef dict_;
};

}  // namespace corvane::learn
