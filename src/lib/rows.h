// Conversion of Python prediction rows into cells (numbers first, then str).
#pragma once

#include <Python.h>

#include <functional>
#include <vector>

#include "lib/py_ref.h"
#include "uplift_tree/row_batch.h"

namespace corvane {

// Appends the list's elements as one row. A cell that is neither a number nor
// a str stops the call with the rendered TypeError of the conversion.
void append_row(PyObject* list, RowBatch& batch);
// Appends each list as one row, in order, as append_row does. `announce`,
// when given, is called every few hundred rows and after the last with the
// number of rows the batch holds, so that they can be walked meanwhile.
void append_rows(const std::vector<PyRef>& lists, RowBatch& batch,
                 const std::function<void(std::size_t)>& announce = {});

}  // namespace corvane
