#include "lib/progress.h"

#include <Python.h>

#include <string>

#include "core/error.h"
#include "core/error_msg.h"
#include "lib/gil.h"
#include "lib/py_ref.h"
#include "lib/python_error.h"

namespace corvane {

namespace {

[[noreturn]] void fail_with_python_error() {
  // Ctrl-C is the caller's wish to stop, not a failed progress line.
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw PythonErrorSet{};
  fail(msg::unwrap_err(take_python_error_text()));
}

}  // namespace

void pyprint(std::string_view line) {
  std::string code = "import sys; print(\"";
  code += line;
  code += "\"); sys.stdout.flush();";
  GilHeld gil;
  // A pending Ctrl-C belongs to the caller, not to the printing: let it
  // through as it is rather than as a failed progress line.
  if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
  if (code.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "source code string cannot contain null bytes");
    fail_with_python_error();
  }
  PyObject* main_module = PyImport_AddModule("__main__");  // borrowed
  if (!main_module) fail_with_python_error();
  PyObject* globals = PyModule_GetDict(main_module);  // borrowed
  PyRef compiled = PyRef::steal(Py_CompileString(code.c_str(), "<string>", Py_file_input));
  if (!compiled) fail_with_python_error();
  PyRef result = PyRef::steal(PyEval_EvalCode(compiled.get(), globals, globals));
  if (!result) fail_with_python_error();
}

void PythonProgress::poll() { run_signal_handlers(); }

}  // namespace corvane
