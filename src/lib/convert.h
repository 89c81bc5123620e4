// Conversion of Python arguments into the model's own values. Each function
// either returns the value or leaves a Python error set and throws
// PythonErrorSet; with_param() adds the parameter's name to TypeErrors.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lib/py_ref.h"
#include "lib/python_error.h"

namespace corvane {

std::int32_t to_i32(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
bool to_bool(PyObject* obj);
double to_f64(PyObject* obj);
std::string to_string(PyObject* obj);
std::vector<std::string> to_string_sequence(PyObject* obj);
// Columns by name, each the list object itself.
std::unordered_map<std::string, PyRef> to_column_dict(PyObject* obj);
// obj itself when it is a list (or subclass).
PyObject* require_list(PyObject* obj);
// Lists of a sequence (any sequence but str), each element a list.
std::vector<PyRef> to_list_sequence(PyObject* obj);

// Sets TypeError "'<type name>' object cannot be converted to '<target>'".
[[noreturn]] void cannot_convert(PyObject* obj, const char* target);

// Replaces a pending TypeError by TypeError("argument '<param>': <message>")
// whose cause is the original; other errors stay as they are.
void wrap_type_error(const char* param);

// Runs convert() and names the parameter in the TypeError it may raise.
template <class Convert>
auto with_param(const char* param, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonErrorSet&) {
    wrap_type_error(param);
    throw;
  }
}

}  // namespace corvane
