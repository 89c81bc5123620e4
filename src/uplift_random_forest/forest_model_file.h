// The model file: the forest written as one JSON text, saved and loaded.
#pragma once

#include <string>
#include <string_view>

#include "uplift_random_forest/forest.h"

namespace corvane {

// The whole model file text.
std::string forest_to_json(const UpliftRandomForestModel& forest);

void save_model_file(const UpliftRandomForestModel& forest, const std::string& path);

// Parses a whole model file text into a new forest.
UpliftRandomForestModel forest_from_json(std::string_view text);

// Reads the model file at `path` into a complete new forest.
UpliftRandomForestModel load_model_file(const std::string& path);

}  // namespace corvane
