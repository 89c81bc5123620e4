#include "lib/call_guard.h"

#include "core/stderr_line.h"
#include "lib/py_ref.h"

namespace corvane {

PyObject* panic_exception_type() {
  // Process-wide on purpose: one class, whatever imports or reloads happen.
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(msg::kPanicExceptionName, msg::kPanicExceptionDoc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(std::string_view message) noexcept {
  write_stderr_line("panicked: ", message);
  PyObject* type = panic_exception_type();
  if (!type) return;  // creating the class failed; that error stays set
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyRef args = PyRef::steal(PyTuple_Pack(1, text.get()));
  if (!args) return;
  PyErr_SetObject(type, args.get());
}

}  // namespace corvane
