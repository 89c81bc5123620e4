// Model-file form of the forest, and saving it.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "uplift_random_forest/forest.h"

namespace corvane {

inline constexpr std::array<std::string_view, 12> kForestFields = {
    "n_estimators", "max_features", "max_depth",     "min_sample_leaf",
    "eval_func",    "max_bins",     "treatment_col", "outcome_col",
    "balance",      "regularization", "alpha",       "trees"};

// The whole model file text.
std::string forest_to_json(const UpliftRandomForestModel& forest);

void save_model_file(const UpliftRandomForestModel& forest, const std::string& path);

// Parses a whole model file text into a new forest.
UpliftRandomForestModel forest_from_json(std::string_view text);

// Reads the model file at `path` into a complete new forest.
UpliftRandomForestModel load_model_file(const std::string& path);

}  // namespace corvane
