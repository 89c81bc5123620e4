// Prediction of one batch by several threads, which may begin while the
// batch is still being filled: walkers take chunks of rows as the filling
// thread announces them, so converting rows and walking them overlap.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "uplift_random_forest/forest.h"

namespace corvane {

// Thread-safety: every method (and the destructor) is called by the one
// thread that fills the batch; the walkers it starts only read rows already
// announced, the forest and the routing, and write disjoint result rows.
// Correct because announced rows never change or move afterwards (the batch
// is complete(), so adding rows never relays it out), and publish() stores
// the row count with release order after the rows' cells.
class PredictionRun {
 public:
  // Starts up to `threads` - 1 walkers over rows [0, total) of `rows` (the
  // caller of finish() is the last). The trees must have passed
  // check_batch; `rows` must be complete() and outlive the run.
  PredictionRun(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                const RowBatch& rows, std::size_t total, std::size_t threads);
  // Without finish(): stops the walkers after their current chunk and waits
  // for them; the predictions are dropped.
  ~PredictionRun();
  PredictionRun(const PredictionRun&) = delete;
  PredictionRun& operator=(const PredictionRun&) = delete;

  // Rows [0, ready) are in the batch for good.
  void publish(std::size_t ready);
  // Publishes every row, walks along until all are predicted, waits for the
  // walkers, then fails as a batch prediction does: out of memory first, then
  // a failed tree walk, then the lowest row whose sum failed.
  Predictions finish();

 private:
  void work() noexcept;
  // Waits until rows below `end` are published; false once stopped.
  bool wait_for(std::size_t end) const;
  void stop_and_join() noexcept;

  const std::vector<UpliftTreeModel>& trees_;
  const ForestRouting& routing_;
  const RowBatch& rows_;
  const std::size_t total_;
  Predictions result_;

  // Published row count; kStopped is or-ed in to send the walkers home.
  static constexpr std::size_t kStopped = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
  std::atomic<std::size_t> published_{0};
  std::atomic<std::size_t> next_{0};  // first row of the next chunk to take

  std::mutex mutex_;            // guards the failures
  bool out_of_memory_ = false;  // kept apart: recording it must not allocate
  std::optional<std::string> walk_failure_;
  std::optional<std::pair<std::size_t, std::string>> sum_failure_;  // lowest row first

  std::vector<std::thread> threads_;
};

}  // namespace corvane
