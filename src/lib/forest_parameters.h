// The hyper-parameters of a forest as both modules take them (the
// extension's constructor, the estimator's train()): one list of names and
// one conversion, so that they are named, ordered and checked alike.
#pragma once

#include <Python.h>

#include <array>

#include "lib/convert.h"
#include "uplift_random_forest/forest.h"

namespace corvane {

inline constexpr std::array<const char*, 9> kForestParameters = {
    "n_estimators", "max_features",   "max_depth", "min_sample_leaf", "eval_func", "max_bins",
    "balance",      "regularization", "alpha"};

// A forest with the hyper-parameters `values` (one per kForestParameters, in
// order) and no trees; a value of the wrong type raises the TypeError that
// names its parameter.
inline UpliftRandomForestModel forest_from_parameters(PyObject* const* values) {
  UpliftRandomForestModel forest;
  forest.n_estimators = with_param("n_estimators", [&] { return to_i32(values[0]); });
  forest.max_features = with_param("max_features", [&] { return to_u64(values[1]); });
  forest.max_depth = with_param("max_depth", [&] { return to_u64(values[2]); });
  forest.min_sample_leaf = with_param("min_sample_leaf", [&] { return to_u64(values[3]); });
  forest.eval_func = with_param("eval_func", [&] { return to_string(values[4]); });
  forest.max_bins = with_param("max_bins", [&] { return to_u64(values[5]); });
  forest.balance = with_param("balance", [&] { return to_bool(values[6]); });
  forest.regularization = with_param("regularization", [&] { return to_bool(values[7]); });
  forest.alpha = with_param("alpha", [&] { return to_f64(values[8]); });
  return forest;
}

}  // namespace corvane
