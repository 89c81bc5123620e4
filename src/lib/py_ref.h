// Owning handle for one Python reference: the only way this module holds a
// PyObject*, so every reference it takes is dropped exactly once.
#pragma once

#include <Python.h>

#include <utility>

namespace corvane {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, e.g. a failed call).
  static PyRef steal(PyObject* p) { return PyRef(p); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(p_, std::exchange(other.p_, nullptr)));
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  // Hands the reference to the caller (for returning to Python).
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace corvane
