// The forest: hyper-parameters given at construction, the names of the last
// training's columns, and the trees in the order they finished.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
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
  // Called every few tenths of a second while the caller waits for trees;
  // throwing abandons the training (used to let Ctrl-C through).
  virtual void poll() {}
};

// Prediction rows: the cells of all rows in one array, so a batch costs two
// allocations however many rows it has.
class RowBatch {
 public:
  void reserve(std::size_t rows, std::size_t cells) {
    ends_.reserve(rows);
    cells_.reserve(cells);
  }
  void add_cell(SplitValue cell) { cells_.push_back(std::move(cell)); }
  void end_row() { ends_.push_back(cells_.size()); }

  std::size_t size() const { return ends_.size(); }
  std::span<const SplitValue> row(std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::span<const SplitValue>(cells_.data() + begin, ends_[i] - begin);
  }

 private:
  std::vector<SplitValue> cells_;
  std::vector<std::size_t> ends_;
};

// What a training call learned besides its trees, for the caller to report.
struct FitReport {
  // Every tree of the call is a single leaf only because every candidate
  // split of its root scored NaN (a side without some treatment group).
  bool all_roots_nan_gain = false;
  // The treatment code with the fewest rows (the lowest such code on ties)
  // and its row count; set with all_roots_nan_gain.
  std::int32_t smallest_group = 0;
  std::int32_t smallest_group_rows = 0;
};

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
  // column store on the calling thread (it may read Python objects). A call
  // refused before training starts, or that keeps no tree, leaves the model
  // as it was.
  FitReport fit(const std::function<RawData()>& build_data, std::string treatment_col,
                std::string outcome_col, std::int32_t n_threads, ProgressSink& progress);

  // Refuses data whose features (names, order) or number of treatment
  // groups differ from those of the trees held: added trees would read the
  // wrong columns or predict a different number of uplifts.
  void check_matches_trees(const RawData& data) const;

  // Averages divide by the number of trees summed, which is n_estimators
  // for a forest as fit leaves it.
  std::vector<double> predict_row(std::span<const SplitValue> row) const;
  // n_threads 1 walks row by row on the calling thread; otherwise rows are
  // shared read-only by prediction threads. Both sum trees in stored order,
  // so the results are identical and reproducible.
  std::vector<std::vector<double>> predict_rows(const RowBatch& rows, std::int32_t n_threads) const;
  std::vector<double> get_feature_importance(std::string_view importance_type) const;
};

// Logical processors available to this process: its CPU affinity mask,
// further limited by a cgroup CPU quota where one is set; at least 1.
std::int32_t available_processors();

}  // namespace corvane
