#include "lib/learn/errors.h"

#include <cstring>

#include "lib/py_ref.h"

namespace corvane::learn {

namespace {

// How the core renders a failed system call.
constexpr char kUnwrapPrefix[] = "called `Result::unwrap()` on an `Err` value: Os {";

PyRef text_of(const char* text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
}

void set_text(PyObject* type, const char* text) noexcept {
  PyRef value = text_of(text);
  if (!value) return;
  PyErr_SetObject(type, value.get());
}

}  // namespace

void raise_os_error(const Error& e, PyObject* path) noexcept {
  // OSError(errno, text, path) becomes the operating system's own kind of
  // error (FileNotFoundError, PermissionError, ...). A failed system call is
  // told in the system's words; a refusal of the core's own (a model that
  // would not fit on the disk) keeps its text, which gives both sizes.
  const char* text = e.what();
  char buffer[256];
  if (std::strncmp(text, kUnwrapPrefix, sizeof kUnwrapPrefix - 1) == 0)
    text = strerror_r(e.os_code(), buffer, sizeof buffer);
  PyRef message = text_of(text);
  if (!message) return;
  PyRef error = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "iOO", e.os_code(), message.get(),
                                                   path ? path : Py_None));
  if (!error) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

void raise_error(const Error& e) noexcept {
  // Without a file to name, still the kind of error the system call gave.
  if (e.os_code() != 0) return raise_os_error(e, nullptr);
  set_text(PyExc_ValueError, e.what());
}

void raise_memory_error() noexcept { PyErr_NoMemory(); }

void raise_runtime_error(const char* text) noexcept { set_text(PyExc_RuntimeError, text); }

}  // namespace corvane::learn
