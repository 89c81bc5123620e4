// Checks of training data that is well-formed but cannot teach anything.
#pragma once

#include <string_view>

#include "uplift_tree/data_set.h"

namespace corvane {

// Refuses outcomes the data's statistic cannot count (for a binary outcome,
// anything but 0 and 1: a rate of 127 "positives" per row is no uplift), and
// treatment codes with a gap or no control rows: a group
// without rows makes every split score NaN, so every tree would silently stay
// a single leaf. Codes that are all 0 are left to the score's own check.
void check_trainable(const RawData& raw, std::string_view treatment_col,
                     std::string_view outcome_col);

}  // namespace corvane
