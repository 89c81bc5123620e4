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
  // Without a stream (pythonw, some services) print writes nothing; the line
  // is skipped the same way rather than failing on the flush.
  PyObject* stdout_stream = PySys_GetObject("stdout");  // borrowed
  if (stdout_stream == Py_None) return;
  // A namespace of its own: the user's __main__ keeps its names (no `sys`
  // bound or rebound there behind the program's back).
  PyRef globals = PyRef::steal(PyDict_New());
  if (!globals) fail_with_python_error();
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  if (!builtins) fail_with_python_error();
  if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0)
    fail_with_python_error();
  PyRef compiled = PyRef::steal(Py_CompileString(code.c_str(), "<string>", Py_file_input));
  if (!compiled) fail_with_python_error();
  PyRef result = PyRef::steal(PyEval_EvalCode(compiled.get(), globals.get(), globals.get()));
  if (!result) fail_with_python_error();
}

void PythonProgress::poll() { run_signal_handlers(); }

}  // namespace corvane
