// Forest prediction and importance: element-wise means over the trees.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "concurrency/processors.h"
#include "core/error.h"
#include "core/error_msg.h"
#include "uplift_random_forest/block_walk.h"
#include "uplift_random_forest/forest.h"
#include "uplift_random_forest/prediction_run.h"

namespace corvane {

namespace {

// Why a batch of `rows` rows cannot go to several threads: the checks every
// such batch passes before any row is routed.
std::optional<std::string> batch_refusal(const std::vector<UpliftTreeModel>& trees,
                                         std::size_t rows, std::size_t first_row_length,
                                         std::int32_t n_threads) {
  if (n_threads == 0) return "no prediction thread was started";
  for (const UpliftTreeModel& tree : trees) {
    try {
      tree.check_batch(rows, first_row_length);
    } catch (const Error& e) {
      return e.what();
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<double> UpliftRandomForestModel::predict_row(const ForestRouting& routing,
                                                         RowBatch::Row row) const {
  std::vector<double> acc(routing.result_width());
  std::size_t length = 0;
  if (auto failure = exact_row(trees_, routing, row, acc.data(), length)) fail(failure->message);
  acc.resize(length);
  divide(acc.data(), length, trees_.size());
  return acc;
}

Predictions UpliftRandomForestModel::predict_rows(const ForestRouting& routing,
                                                  const RowBatch& rows,
                                                  std::int32_t n_threads) const {
  if (n_threads < 0) n_threads = available_processors();
  if (n_threads == 1)
    return PredictionRun(trees_, routing, rows, rows.size(), 1, FailureOrder::kFirstRow).finish();
  if (trees_.empty()) return Predictions();
  if (auto why =
          batch_refusal(trees_, rows.size(), rows.size() ? rows.row(0).length : 0, n_threads))
    tree_batch_failed(*why);
  return PredictionRun(trees_, routing, rows, rows.size(), walkers_for(rows.size(), n_threads),
                       FailureOrder::kTreeWorkers)
      .finish();
}

std::unique_ptr<PredictionRun> UpliftRandomForestModel::start_prediction(
    const ForestRouting& routing, const RowBatch& rows, std::size_t total,
    std::int32_t n_threads) const {
  // Only worth it with rows for several threads; anything that would fail
  // is left to predict_rows, once every row is converted, so that a cell
  // that cannot be converted is still reported first. The processors are
  // counted last: small batches are common and need no count.
  if (n_threads == 1 || trees_.empty() || rows.size() == 0 || !rows.complete() ||
      total <= kRowChunk)
    return nullptr;
  if (n_threads < 0) n_threads = available_processors();
  if (n_threads < 2) return nullptr;
  if (batch_refusal(trees_, total, rows.row(0).length, n_threads)) return nullptr;
  const std::size_t walkers = walkers_for(total, n_threads);
  if (walkers < 2) return nullptr;
  return std::make_unique<PredictionRun>(trees_, routing, rows, total, walkers,
                                         FailureOrder::kTreeWorkers);
}

std::vector<double> UpliftRandomForestModel::get_feature_importance(
    std::string_view importance_type) const {
  if (trees_.empty()) fail(msg::kUnwrapNone);
  std::vector<double> importance(trees_.front().feature_cols.size(), 0.0);
  for (const UpliftTreeModel& tree : trees_) {
    const std::vector<double> fi = tree.get_feature_importance(importance_type);
    for (std::size_t i = 0; i < importance.size(); ++i) {
      if (i >= fi.size()) fail(msg::index_out_of_bounds(fi.size(), static_cast<std::int64_t>(i)));
      importance[i] = fi[i] + importance[i];
    }
  }
  divide(importance.data(), importance.size(), trees_.size());
  return importance;
}

}  // namespace corvane
