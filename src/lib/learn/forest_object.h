// The estimator's native forest as a Python object: one immutable
// EstimatorForest shared by reference, so that any number of threads may
// predict with it while a refit builds its successor.
#pragma once

#include <Python.h>

#include <memory>
#include <string_view>

#include "estimator/estimator_forest.h"

namespace corvane::learn {

// The member of the model file that holds the estimator's part: the
// package's name, so that a reader of the file knows whose part it is.
inline constexpr std::string_view kEstimatorMember = "corvane_learn";

struct ForestObject {
  PyObject_HEAD std::shared_ptr<const EstimatorForest> forest;
};

// The class object, created on first use and kept for the process's
// lifetime. Null with an error set if it could not be created.
PyObject* forest_type();

// A new Python object holding `forest`. Throws PythonErrorSet.
PyObject* wrap_forest(std::shared_ptr<const EstimatorForest> forest);

// The forest of a Forest object; TypeError for anything else.
const std::shared_ptr<const EstimatorForest>& forest_of(PyObject* obj);

}  // namespace corvane::learn
