// Reading the training columns out of Python lists, on the calling thread.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "lib/py_ref.h"
#include "uplift_tree/data_set.h"

namespace corvane {

// Copies every needed column out of Python: feature columns typed as numeric
// (all elements convert to float) or categorical (all are str), the treatment
// codes as 32-bit and the outcomes as 8-bit integers. Stops with the texts of
// core/error_msg.h; refuses negative treatment codes and unequal lengths.
RawData raw_data_from_pylist(const std::unordered_map<std::string, PyRef>& data,
                             std::vector<std::string> x_names, const std::string& treatment_col,
                             const std::string& outcome_col);

}  // namespace corvane
