// Conversion of Python prediction rows into cells (numbers first, then str).
#pragma once

#include <Python.h>

#include "uplift_tree/row_batch.h"

namespace corvane {

// Appends the list's elements as one row. A cell that is neither a number nor
// a str stops the call with the rendered TypeError of the conversion.
void append_row(PyObject* list, RowBatch& batch);

}  // namespace corvane
