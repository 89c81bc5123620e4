// The forest: hyper-parameters given at construction, the names of the last
// training's columns, and the trees in the order they finished.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "uplift_tree/data_set.h"
#include "uplift_tree/split_value.h"
#include "uplift_tree/tree.h"

namespace corvane {

// Receives the progress lines of a training call, on the calling thread.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void print(std::string_view line) = 0;
};

using Row = std::vector<SplitValue>;

class UpliftRandomForestModel {
 public:
  std::int32_t n_estimators = 0;
  std::uint64_t max_features = 0;
  std::uint64_t max_depth = 0;
  std::uint64_t min_sample_leaf = 0;
  std::string eval_func;
  std::uint64_t max_bins = 0;
  std::string treatment_col;
  std::string outcome_col;
  bool balance = false;
  bool regularization = false;
  double alpha = 0.0;
  std::vector<UpliftTreeModel> trees;

  // Trains n_estimators more trees and appends them. `build_data` makes the
  // column store on the calling thread (it may read Python objects).
  void fit(const std::function<RawData()>& build_data, std::string treatment_col,
           std::string outcome_col, std::int32_t n_threads, ProgressSink& progress);
};

// Logical processors available to this process: its CPU affinity mask,
// further limited by a cgroup CPU quota where one is set; at least 1.
std::int32_t available_processors();

}  // namespace corvane
