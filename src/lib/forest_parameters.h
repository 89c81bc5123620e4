// The hyper-parameters as both modules take them (the extension's
// constructor, the estimator's train()), derived from their one declaration
// (core/parameters.h): names, order and conversion alike.
#pragma once

#include <Python.h>

#include <array>
#include <string>

#include "core/parameters.h"
#include "lib/convert.h"
#include "uplift_random_forest/forest.h"

namespace corvane {

inline constexpr auto kForestParameters = parameter_names<ForestParameters>();
inline constexpr auto kTrainingParameters = parameter_names<TrainingParameters>();

// The value of a Python argument as the field's type takes it.
inline void convert_parameter(PyObject* value, std::int32_t& field) { field = to_i32(value); }
inline void convert_parameter(PyObject* value, std::uint64_t& field) { field = to_u64(value); }
inline void convert_parameter(PyObject* value, bool& field) { field = to_bool(value); }
inline void convert_parameter(PyObject* value, double& field) { field = to_f64(value); }
inline void convert_parameter(PyObject* value, std::string& field) { field = to_string(value); }

// Sets every parameter of `params` from `values` (one per parameter, in
// declaration order); a value of the wrong type raises the TypeError that
// names its parameter, the first one in order.
template <class Params>
void parameters_from(PyObject* const* values, Params& params) {
  std::size_t i = 0;
  visit_parameters(params, [&](const ParameterInfo& param, auto& field) {
    const std::string name(param.name);
    with_param(name.c_str(), [&] { convert_parameter(values[i], field); });
    ++i;
  });
}

// A forest with the hyper-parameters `values` and no trees.
inline UpliftRandomForestModel forest_from_parameters(PyObject* const* values) {
  UpliftRandomForestModel forest;
  parameters_from<ForestParameters>(values, forest);
  return forest;
}

}  // namespace corvane
