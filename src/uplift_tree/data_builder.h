// The one way a training call's column store is built, whichever binding
// reads the caller's data: features added column by column in feature order
// (numeric ones all as numbers or all as bin codes), then the treatment codes
// and outcomes, then the checks every training set passes before it becomes
// a data set.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "uplift_tree/data_set.h"

namespace corvane {

class TrainingDataBuilder {
 public:
  void add_numeric(std::string name, std::vector<float> values);
  // A numeric feature already binned (binning.h), for the histogram finder.
  void add_binned(std::string name, BinnedColumn column);
  void add_categorical(std::string name, StrColumn column);
  void set_treatment(std::vector<std::int32_t> codes) { raw_.treatment = std::move(codes); }
  void set_outcome(std::vector<std::int8_t> outcomes) { raw_.outcome = std::move(outcomes); }
  // A real-valued outcome instead.
  void set_real_outcome(std::vector<double> outcomes) {
    raw_.real_outcome = std::move(outcomes);
    raw_.real = true;
  }

  // The column store, once it holds rows, no negative treatment code and one
  // cell per row in every column (features in order, then the outcomes);
  // stops naming the first fault, columns named after `treatment_col`'s
  // length. Leaves the builder empty.
  RawData finish(std::string_view treatment_col, std::string_view outcome_col);

 private:
  RawData raw_;
};

}  // namespace corvane
