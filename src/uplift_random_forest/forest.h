// The forest: hyper-parameters given at construction, the names of the last
// training's columns, and the trees in the order they finished.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/parameters.h"
#include "uplift_random_forest/forest_routing.h"
#include "uplift_tree/data_set.h"
#include "uplift_tree/outcome_stats.h"
#include "uplift_tree/row_batch.h"
#include "uplift_tree/split_finder.h"
#include "uplift_tree/tree.h"

namespace corvane {

// Receives the progress of a training call, on the calling thread. By
// default each event becomes its progress line ("Start training with N
// threads...", "Tree [k] is finished!") handed to print().
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void print(std::string_view line) = 0;
  // Training starts on `threads` threads.
  virtual void started(std::int32_t threads);
  // A tree has finished; the forest now holds `held` trees.
  virtual void tree_finished(std::size_t held);
  // Called every few tenths of a second while the caller waits for trees;
  // throwing abandons the training (used to let Ctrl-C through).
  virtual void poll() {}
};

// How a training call draws and orders its trees, besides the forest's
// hyper-parameters.
struct TrainingOptions : TrainingParameters {
  // Key of every random stream of the call; the same seed, data and
  // hyper-parameters grow the same trees whatever the thread count.
  // Without one, a seed is drawn from the operating system.
  std::optional<std::uint64_t> seed;
  // Appends the trees in the order of their numbers (0, 1, ...) once all
  // have finished, so that their sums in prediction are reproducible too;
  // an interrupted call then keeps no tree. Otherwise each tree is appended
  // (and announced) as it finishes.
  bool in_tree_order = false;
  // Hands the statistics of every node of every new tree to the report
  // (in_tree_order only).
  bool keep_node_stats = false;
  // See GrowthOptions::leaves_from_ancestors.
  bool leaves_from_ancestors = false;
  // Takes every criterion of the table, not only the extension's.
  bool any_criterion = false;
};

// Where the predictions of consecutive rows go: row i's values from
// values + i * width, its length in lengths[i].
// Thread-safety: distinct rows may be written by distinct threads at once.
struct ResultRows {
  double* values;
  std::size_t width;
  std::size_t* lengths;

  double* slot(std::size_t i) const { return values + i * width; }
  void set_length(std::size_t i, std::size_t length) const { lengths[i] = length; }
  // The rows from row i on.
  ResultRows from(std::size_t i) const { return {slot(i), width, lengths + i}; }
};

// One prediction per row, each in a fixed-size slot of one array (so a batch
// costs two allocations); a row's length is that of its first tree's leaf.
// Thread-safety: as ResultRows.
class Predictions {
 public:
  Predictions() = default;
  Predictions(std::size_t rows, std::size_t width)
      : rows_(rows),
        width_(width),
        values_(std::make_unique_for_overwrite<double[]>(rows * width)),
        lengths_(std::make_unique_for_overwrite<std::size_t[]>(rows)) {}

  std::size_t size() const { return rows_; }
  std::span<const double> row(std::size_t i) const { return {rows().slot(i), lengths_[i]}; }
  ResultRows rows() const { return {values_.get(), width_, lengths_.get()}; }

 private:
  std::size_t rows_ = 0;
  std::size_t width_ = 0;
  std::unique_ptr<double[]> values_;
  std::unique_ptr<std::size_t[]> lengths_;
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
  // With keep_node_stats: those of each appended tree, in order, and the
  // rows that reached each of its nodes (GrowthReport::node_rows).
  std::vector<NodeStats> node_stats;
  std::vector<std::vector<std::uint32_t>> node_rows;
};

class PredictionRun;

// The hyper-parameters (ForestParameters) are given at construction and
// stored unchecked; fit checks them.
class UpliftRandomForestModel : public ForestParameters {
 public:
  std::string treatment_col;
  std::string outcome_col;

  // The trees in the order they were appended. Only the calls below change
  // them, and each gives them a new generation: routing built for earlier
  // trees is then never used for these (see RoutingCache).
  const std::vector<UpliftTreeModel>& trees() const { return trees_; }
  void append_tree(UpliftTreeModel tree);
  void replace_trees(std::vector<UpliftTreeModel> trees);
  // Keeps the first `count` trees.
  void truncate_trees(std::size_t count);
  // Hands every tree over and keeps none: for changes to the trees
  // themselves, which replace_trees then puts back.
  std::vector<UpliftTreeModel> take_trees();
  void reserve_trees(std::size_t count) { trees_.reserve(count); }

  // Trains n_estimators more trees and appends them. `build_data` makes the
  // column store on the calling thread (it may read Python objects). A call
  // refused before training starts, or that keeps no tree, leaves the model
  // as it was.
  FitReport fit(const std::function<RawData()>& build_data, std::string treatment_col,
                std::string outcome_col, std::int32_t n_threads, ProgressSink& progress,
                const TrainingOptions& options = {});

  // Refuses data whose features (names, order) or number of treatment
  // groups differ from those of the trees held: added trees would read the
  // wrong columns or predict a different number of uplifts.
  void check_matches_trees(const RawData& data) const;

  // What prediction derives from the current trees; rows are converted
  // with its layout. Built on first use and kept until the trees change.
  std::shared_ptr<const ForestRouting> routing() const {
    return routing_cache_.get(trees_, generation_);
  }

  // Averages divide by the number of trees summed, which is n_estimators
  // for a forest as fit leaves it. `routing` is this forest's routing().
  std::vector<double> predict_row(const ForestRouting& routing, RowBatch::Row row) const;
  // n_threads 1 routes every row on the calling thread; otherwise rows are
  // shared read-only by prediction threads. Both sum each row's trees in
  // stored order, so the results are identical and reproducible.
  Predictions predict_rows(const ForestRouting& routing, const RowBatch& rows,
                           std::int32_t n_threads) const;
  // Starts predicting a batch that will hold `total` rows while it is still
  // being filled (rows [0, rows.size()) are in, at least the first): when
  // several threads would walk it and it passes the checks of a batch,
  // returns the run to publish() the rows to as they are added; otherwise
  // null, and the complete batch goes to predict_rows, which reports any
  // failure. Results and failures are those of predict_rows.
  std::unique_ptr<PredictionRun> start_prediction(const ForestRouting& routing,
                                                  const RowBatch& rows, std::size_t total,
                                                  std::int32_t n_threads) const;
  std::vector<double> get_feature_importance(std::string_view importance_type) const;

 private:
  void changed_trees() { generation_ = new_tree_generation(); }
  // fit, once the data is built, for the statistic of its outcome.
  template <class Stats>
  FitReport train(const DataSet& data, std::string treatment_col, std::string outcome_col,
                  std::int32_t n_threads, ProgressSink& progress, const TrainingOptions& options);

  std::vector<UpliftTreeModel> trees_;
  std::uint64_t generation_ = 0;  // shared only by forests holding the same trees
  RoutingCache routing_cache_;
};

}  // namespace corvane
