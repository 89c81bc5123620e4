#include "lib/binding.h"

#include <string>
#include <vector>

#include "lib/binding_msg.h"
#include "lib/py_ref.h"
#include "lib/python_error.h"

namespace corvane {

namespace {

[[noreturn]] void type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  throw PythonErrorSet{};
}

void check_positional(const Signature& sig, Py_ssize_t nargs) {
  const auto n = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs <= n) return;
  type_error(msg::too_many_positional(sig.display, static_cast<std::size_t>(n),
                                      static_cast<std::size_t>(nargs)));
}

void bind_keyword(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t nargs,
                  PyObject** out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, sig.params[i]) != 0)
      continue;
    if (static_cast<Py_ssize_t>(i) < nargs)
      type_error(msg::multiple_values(sig.display, sig.params[i]));
    out[i] = value;
    return;
  }
  type_error(msg::unexpected_keyword(sig.display, str_of(name)));
}

void check_missing(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.params.size(); ++i)
    if (!out[i]) missing.push_back(sig.params[i]);
  if (missing.empty()) return;
  type_error(msg::missing_arguments(sig.display, missing));
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  check_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k)
    bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], nargs, out);
  check_missing(sig, out);
}

void bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  check_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) bind_keyword(sig, name, value, nargs, out);
  }
  check_missing(sig, out);
}

}  // namespace corvane
