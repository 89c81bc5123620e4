// Prediction of many rows by any number of threads, the caller of finish()
// among them: walkers take chunks of rows, walk each chunk through every
// tree a block at a time, and write its predictions. Every batch prediction
// goes through this one run, whatever its thread count and wherever its rows
// come from:
//   - a RowBatch, which the run may begin on while it is still being filled
//     (walkers take only chunks already published), so that converting rows
//     and walking them overlap;
//   - columns in the caller's memory, which each walker lays out for the
//     walk a chunk at a time, writing straight into the caller's output.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "uplift_random_forest/block_walk.h"
#include "uplift_random_forest/column_prediction.h"
#include "uplift_random_forest/forest.h"

namespace corvane {

// Walkers worth starting for `rows` rows on `n_threads` (> 0) threads.
std::size_t walkers_for(std::size_t rows, std::int32_t n_threads);

// How a run reports failing rows once every walker has ended.
enum class FailureOrder : std::uint8_t {
  // As one thread walking the rows in order: the first failing row's
  // message (a walker stops all at its first failure); running out of
  // memory stays std::bad_alloc.
  kFirstRow,
  // As a pool of per-tree workers: out of memory first, then any failed
  // tree walk (which fails the whole batch, tree_batch_failed), then the
  // lowest row whose sum failed.
  kTreeWorkers,
};

// Thread-safety: every method (and the destructor) is called by the one
// thread that made the run; the walkers it starts only read published rows
// (or the columns), the forest and the routing, and write disjoint rows of
// the output. Correct because published rows never change or move
// afterwards (a batch still being filled is complete(), so adding rows never
// relays it out), and publish() stores the row count with release order
// after the rows' cells.
class PredictionRun {
 public:
  // Rows [0, total) of `rows`, which must outlive the run (and be
  // complete() while rows are still added), into predictions the run keeps.
  PredictionRun(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                const RowBatch& rows, std::size_t total, std::size_t threads, FailureOrder order);
  // `total` rows of `columns` (one per feature, outliving the run) into
  // `out`, with routing.result_width() values per row; the leaves must be of
  // one length. Fails in FailureOrder::kFirstRow.
  PredictionRun(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                std::span<const InputColumn> columns, std::size_t total, std::size_t threads,
                const ColumnOutput& out);
  // Both start up to `threads` - 1 walkers (fewer only predict more slowly).
  // Without finish(): stops the walkers after their current chunk and waits
  // for them; the predictions are dropped.
  ~PredictionRun();
  PredictionRun(const PredictionRun&) = delete;
  PredictionRun& operator=(const PredictionRun&) = delete;

  // Rows [0, ready) of the batch are in for good.
  void publish(std::size_t ready);
  // Publishes every row, walks along until all are predicted, waits for the
  // walkers, then fails as the run's FailureOrder says. Returns the
  // predictions of a batch (none for columns, which went to the output).
  Predictions finish();

 private:
  PredictionRun(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                const RowBatch* rows, std::span<const InputColumn> columns, std::size_t total,
                FailureOrder order);
  void start(std::size_t threads);
  void work() noexcept;
  // Predicts rows [first, first + count) (at most a block), which are rows
  // [begin, begin + count) of `rows`, into `out`; false once this walker
  // is to stop.
  bool predict_block(const RowBatch& rows, std::size_t begin, std::size_t count, std::size_t first,
                     const ResultRows& out, bool* exact, std::uint32_t* leaves);
  // Keeps the failure of `row` as the run's FailureOrder says; false when
  // the walker that met it is to stop.
  bool record(std::size_t row, RowFailure failure);
  // Waits until rows below `end` are published; false once stopped.
  bool wait_for(std::size_t end) const;
  void stop_and_join() noexcept;

  const std::vector<UpliftTreeModel>& trees_;
  const ForestRouting& routing_;
  const RowBatch* const rows_;  // null: the rows come from columns_
  const std::span<const InputColumn> columns_;
  const std::size_t total_;
  const FailureOrder order_;
  Predictions result_;  // a batch's
  ResultRows out_;
  double* spread_ = nullptr;

  // Published row count; kStopped is or-ed in to send the walkers home.
  static constexpr std::size_t kStopped = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
  std::atomic<std::size_t> published_{0};
  std::atomic<std::size_t> next_{0};  // first row of the next chunk to take

  std::mutex mutex_;                         // guards the failures
  bool out_of_memory_ = false;               // kept apart: recording it must not allocate
  std::optional<std::string> walk_failure_;  // kTreeWorkers
  std::optional<std::pair<std::size_t, std::string>> row_failure_;  // lowest row first

  std::vector<std::thread> threads_;
};

}  // namespace corvane
