// Arrays from Python as the core reads them: every column is a 1-D buffer
// (numpy arrays and their column views), read where it lies, at any stride.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "uplift_random_forest/column_prediction.h"
#include "uplift_tree/data_set.h"

namespace corvane::learn {

// A buffer exported by a Python object, released (and the object let go)
// when the view goes. Thread-safety: the memory may be read from any thread
// while the view lives; making and dropping it needs the interpreter lock.
class BufferView {
 public:
  // The 1-D buffer of `obj`, writable when asked; `what` names it in the
  // errors. Throws PythonErrorSet.
  BufferView(PyObject* obj, const char* what, bool writable = false);
  ~BufferView();
  BufferView(BufferView&& other) noexcept;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  BufferView& operator=(BufferView&&) = delete;

  // The struct-module code of the elements ('f', 'd', 'i', ...) for native
  // byte order and size, or '\0' for any other layout.
  char code() const { return code_; }
  std::size_t size() const { return size_; }
  const char* data() const { return static_cast<const char*>(view_.buf); }
  char* mutable_data() const { return static_cast<char*>(view_.buf); }
  std::ptrdiff_t stride() const { return stride_; }
  std::size_t item_size() const { return static_cast<std::size_t>(view_.itemsize); }

 private:
  Py_buffer view_{};
  bool held_ = false;
  char code_ = '\0';
  std::size_t size_ = 0;
  std::ptrdiff_t stride_ = 0;
};

// Raises TypeError "<what> must be <expected>" (for the layer's own checks).
[[noreturn]] void raise_type_error(const std::string& text);

// The feature columns of one call: float32/float64 numbers or int32
// category codes, all of one length, in feature order. `rows` is their
// length.
struct FeatureColumns {
  std::vector<BufferView> buffers;
  std::vector<InputColumn> columns;
  std::size_t rows = 0;
};
FeatureColumns read_feature_columns(PyObject* list);

// A whole column of `view` as category codes, each below `categories`.
std::vector<std::uint32_t> to_codes(const BufferView& view, std::size_t categories,
                                    const std::string& name);
// A whole integer column: int8 values for T = int8; int8, int16 or int32
// values for T = int32.
template <class T>
std::vector<T> to_integers(const BufferView& view, const char* what);
// A whole float64 column of `view`.
std::vector<double> to_doubles(const BufferView& view, const char* what);

}  // namespace corvane::learn
