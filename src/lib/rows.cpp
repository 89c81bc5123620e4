#include "lib/rows.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/error_msg.h"
#include "lib/binding_msg.h"
#include "lib/py_ref.h"
#include "lib/python_error.h"

namespace corvane {

namespace {

// Rows converted between two announcements: often enough that prediction
// threads waiting for rows never wait long, rarely enough to cost nothing.
constexpr std::size_t kAnnounceRows = 256;

std::optional<std::string_view> utf8_of(PyObject* obj) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) return std::nullopt;
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

// Any object: a number if the float conversion takes it, else a str, else
// the rendered error of both attempts. Python code may run here (__float__).
void add_any(PyObject* obj, RowBatch& batch) {
  std::string numeric_error;
  if (PyUnicode_CheckExact(obj)) {
    // A plain str never converts to float: go straight to the text.
    if (auto text = utf8_of(obj)) return batch.add_text(*text);
    PyErr_Clear();
    numeric_error = "TypeError: must be real number, not str";
  } else {
    const double v = PyFloat_AsDouble(obj);
    if (!(v == -1.0 && PyErr_Occurred())) return batch.add_number(static_cast<float>(v));
    numeric_error = take_python_error_line();
  }
  std::string str_error;
  if (PyUnicode_Check(obj)) {
    if (auto text = utf8_of(obj)) return batch.add_text(*text);
    str_error = take_python_error_line();
  } else {
    str_error = "TypeError: '" + type_name_of(obj) + "' object cannot be converted to 'PyString'";
  }
  fail(msg::unwrap_err(msg::split_value_not_extracted(numeric_error, str_error)));
}

// Reads a list's element pointers without converting anything, and asks
// for each element's memory ahead of its conversion: rows built from columns
// hold objects scattered over the heap, and waiting for them one at a time
// would cost more than the conversion itself. The pointers stay valid while
// no Python code runs.
void gather(PyObject* list, std::vector<PyObject*>& items) {
  const Py_ssize_t size = PyList_Size(list);
  items.resize(static_cast<std::size_t>(size));
  PyObject** out = items.data();
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    __builtin_prefetch(item);
    out[i] = item;
  }
}

// Converts one row whose elements gather() has read; returns whether Python
// code ran meanwhile (so that pointers read from other lists are stale).
bool convert_row(PyObject* list, std::vector<PyObject*>& items, RowBatch& batch) {
  bool python_ran = false;
  batch.begin_row();
  // Held apart from the vector, which only changes when Python code ran.
  PyObject* const* objects = items.data();
  std::size_t size = items.size();
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = objects[i];
    // The common cells convert without running any Python code, so the list
    // keeps them alive and cannot change meanwhile.
    if (PyFloat_CheckExact(item)) {
      batch.add_number(static_cast<float>(PyFloat_AsDouble(item)));
      continue;
    }
    if (PyUnicode_CheckExact(item)) {
      if (auto text = utf8_of(item)) {
        batch.add_text(*text);
        continue;
      }
      PyErr_Clear();  // redone below, where the failure is rendered
    } else if (PyFloat_Check(item)) {
      // The value of a float subclass is read directly (its __float__ is
      // not called); this cannot fail.
      batch.add_number(static_cast<float>(PyFloat_AsDouble(item)));
      continue;
    } else if (PyLong_CheckExact(item) || PyBool_Check(item)) {
      const double v = PyFloat_AsDouble(item);
      if (!(v == -1.0 && PyErr_Occurred())) {
        batch.add_number(static_cast<float>(v));
        continue;
      }
      PyErr_Clear();  // too large for a float: redone below
    }
    PyRef held = PyRef::borrow(item);
    add_any(held.get(), batch);
    // A user-defined __float__ may have changed the list: go on with what
    // it holds now.
    python_ran = true;
    gather(list, items);
    objects = items.data();
    size = items.size();
  }
  batch.end_row();
  return python_ran;
}

}  // namespace

void append_rows(const std::vector<PyRef>& lists, RowBatch& batch,
                 const std::function<void(std::size_t)>& announce) {
  std::vector<PyObject*> items;
  std::vector<PyObject*> next;
  if (!lists.empty()) gather(lists[0].get(), items);
  for (std::size_t j = 0; j < lists.size(); ++j) {
    // The next row's objects load while this one converts.
    if (j + 1 < lists.size()) gather(lists[j + 1].get(), next);
    if (convert_row(lists[j].get(), items, batch) && j + 1 < lists.size())
      gather(lists[j + 1].get(), next);
    items.swap(next);
    if (announce && ((j + 1) % kAnnounceRows == 0 || j + 1 == lists.size())) announce(j + 1);
  }
}

void append_row(PyObject* list, RowBatch& batch) {
  std::vector<PyObject*> items;
  gather(list, items);
  convert_row(list, items, batch);
}

}  // namespace corvane
