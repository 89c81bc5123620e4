#include "lib/call_guard.h"

#include <unistd.h>

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

void raise_panic(const std::string& message) {
  const std::string line = "corvane panicked: " + message + "\n";
  for (std::size_t done = 0; done < line.size();) {
    ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
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
