#include "uplift_random_forest/prediction_run.h"

#include <algorithm>
#include <memory>
#include <new>
#include <system_error>

#include "core/error.h"
#include "core/error_msg.h"
#include "uplift_random_forest/block_walk.h"

namespace corvane {

std::size_t walkers_for(std::size_t rows, std::int32_t n_threads) {
  const std::size_t chunks = (rows + kRowChunk - 1) / kRowChunk;
  return std::min({static_cast<std::size_t>(n_threads), kMaxPredictionThreads, chunks});
}

PredictionRun::PredictionRun(const std::vector<UpliftTreeModel>& trees,
                             const ForestRouting& routing, const RowBatch* rows,
                             std::span<const InputColumn> columns, std::size_t total,
                             FailureOrder order)
    : trees_(trees),
      routing_(routing),
      rows_(rows),
      columns_(columns),
      total_(total),
      order_(order),
      out_{nullptr, routing.result_width(), nullptr} {}

PredictionRun::PredictionRun(const std::vector<UpliftTreeModel>& trees,
                             const ForestRouting& routing, const RowBatch& rows, std::size_t total,
                             std::size_t threads, FailureOrder order)
    : PredictionRun(trees, routing, &rows, {}, total, order) {
  result_ = Predictions(total, routing.result_width());
  out_ = result_.rows();
  start(threads);
}

PredictionRun::PredictionRun(const std::vector<UpliftTreeModel>& trees,
                             const ForestRouting& routing, std::span<const InputColumn> columns,
                             std::size_t total, std::size_t threads, const ColumnOutput& out)
    : PredictionRun(trees, routing, nullptr, columns, total, FailureOrder::kFirstRow) {
  out_.values = out.mean;
  spread_ = out.spread;
  start(threads);
}

PredictionRun::~PredictionRun() { stop_and_join(); }

void PredictionRun::start(std::size_t threads) {
  const std::size_t walkers = std::min(threads, kMaxPredictionThreads);
  if (walkers < 2) return;
  threads_.reserve(walkers - 1);
  try {
    for (std::size_t i = 0; i + 1 < walkers; ++i) {
      try {
        threads_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // fewer threads only predict more slowly
      }
    }
  } catch (...) {
    // Out of memory while starting threads: those running use this object.
    stop_and_join();
    throw;
  }
}

void PredictionRun::publish(std::size_t ready) {
  published_.store(ready, std::memory_order_release);
  published_.notify_all();
}

bool PredictionRun::wait_for(std::size_t end) const {
  std::size_t ready = published_.load(std::memory_order_acquire);
  while ((ready & kStopped) == 0 && ready < end) {
    published_.wait(ready, std::memory_order_acquire);
    ready = published_.load(std::memory_order_acquire);
  }
  return (ready & kStopped) == 0;
}

void PredictionRun::stop_and_join() noexcept {
  if (threads_.empty()) return;
  next_.store(total_, std::memory_order_relaxed);
  published_.fetch_or(kStopped, std::memory_order_release);
  published_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

void PredictionRun::work() noexcept {
  try {
    bool exact[kBlock];
    // Columns: each walker lays its chunks out in a batch of its own, whose
    // lengths nobody reads (every row has the width).
    std::optional<RowBatch> laid_out;
    std::unique_ptr<std::size_t[]> lengths;
    if (!rows_) {
      laid_out.emplace(routing_.layout(), kRowChunk, columns_.size());
      lengths = std::make_unique_for_overwrite<std::size_t[]>(kRowChunk);
    }
    std::vector<std::uint32_t> leaves(spread_ ? trees_.size() * kBlock : 0);
    for (;;) {
      const std::size_t first = next_.fetch_add(kRowChunk, std::memory_order_relaxed);
      if (first >= total_) return;
      const std::size_t count = std::min(kRowChunk, total_ - first);
      const RowBatch* rows = rows_;
      std::size_t begin = first;
      ResultRows out;
      if (rows_) {
        if (!wait_for(first + count)) return;
        out = out_.from(first);
      } else {
        lay_out_columns(columns_, first, count, *laid_out);
        rows = &*laid_out;
        begin = 0;
        out = {out_.slot(first), out_.width, lengths.get()};
      }
      for (std::size_t b = 0; b < count; b += kBlock) {
        if (!predict_block(*rows, begin + b, std::min(kBlock, count - b), first + b, out.from(b),
                           exact, leaves.data()))
          return;
      }
    }
  } catch (...) {
    std::lock_guard lock(mutex_);
    out_of_memory_ = true;
    next_.store(total_, std::memory_order_relaxed);  // the result is lost anyway
  }
}

bool PredictionRun::predict_block(const RowBatch& rows, std::size_t begin, std::size_t count,
                                  std::size_t first, const ResultRows& out, bool* exact,
                                  std::uint32_t* leaves) {
  double* spread = spread_ ? spread_ + first * out.width : nullptr;
  walk_block(trees_, routing_, rows, begin, count, out, exact, spread ? leaves : nullptr);
  if (spread) walked_spread(trees_, routing_, leaves, count, exact, out, spread);
  for (std::size_t r = 0; r < count; ++r) {
    if (!exact[r]) continue;
    const RowBatch::Row row = rows.row(begin + r);
    std::optional<RowFailure> failure = predict_exact(trees_, routing_, row, out, r);
    if (!failure && spread)
      failure = exact_spread(trees_, routing_, row, out.slot(r), out.width, spread + r * out.width);
    if (failure && !record(first + r, std::move(*failure))) return false;
  }
  return true;
}

bool PredictionRun::record(std::size_t row, RowFailure failure) {
  std::lock_guard lock(mutex_);
  if (order_ == FailureOrder::kTreeWorkers && failure.in_walk) {
    if (!walk_failure_) walk_failure_ = std::move(failure.message);
    return false;
  }
  if (!row_failure_ || row_failure_->first > row)
    row_failure_.emplace(row, std::move(failure.message));
  if (order_ == FailureOrder::kTreeWorkers) return true;
  // Chunks already taken lie below this row and are still walked, so the
  // lowest failing row is found whichever walker meets it first.
  next_.store(total_, std::memory_order_relaxed);
  return false;
}

Predictions PredictionRun::finish() {
  publish(total_);
  work();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  if (out_of_memory_) {
    if (order_ == FailureOrder::kFirstRow) throw std::bad_alloc();
    fail(msg::kMemoryAllocationFailed);
  }
  if (walk_failure_) tree_batch_failed(*walk_failure_);
  if (row_failure_) fail(row_failure_->second);
  return std::move(result_);
}

}  // namespace corvane
