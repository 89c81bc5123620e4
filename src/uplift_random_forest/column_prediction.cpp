#include "uplift_random_forest/column_prediction.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "concurrency/processors.h"
#include "core/error.h"
#include "core/error_msg.h"
#include "uplift_random_forest/block_walk.h"
#include "uplift_tree/cell_key.h"

namespace corvane {

namespace {

FeatureKind fill_column(const InputColumn& column, std::size_t first, std::size_t count,
                        std::uint32_t* keys, std::size_t stride) {
  const char* cell = column.data + static_cast<std::ptrdiff_t>(first) * column.stride;
  switch (column.type) {
    case InputColumn::Type::kFloat32:
      for (std::size_t i = 0; i < count; ++i, cell += column.stride) {
        float v;
        std::memcpy(&v, cell, sizeof v);
        keys[i * stride] = cell_key(v);
      }
      return FeatureKind::kNumeric;
    case InputColumn::Type::kFloat64:
      for (std::size_t i = 0; i < count; ++i, cell += column.stride) {
        double v;
        std::memcpy(&v, cell, sizeof v);
        keys[i * stride] = cell_key(static_cast<float>(v));
      }
      return FeatureKind::kNumeric;
    case InputColumn::Type::kCode:
      for (std::size_t i = 0; i < count; ++i, cell += column.stride) {
        std::int32_t c;
        std::memcpy(&c, cell, sizeof c);
        keys[i * stride] = c >= 0 && static_cast<std::size_t>(c) < column.code_count
                               ? column.codes[c]
                               : CategoryCodes::kNoCategory;
      }
      return FeatureKind::kCategorical;
  }
  return FeatureKind::kNumeric;
}

// The per-tree values of row i, by the exact walk, for the spread of a row
// the batched walk could not judge.
std::optional<RowFailure> exact_spread(const std::vector<UpliftTreeModel>& trees,
                                       const ForestRouting& routing, RowBatch::Row row,
                                       const double* mean, std::size_t width, double* spread) {
  std::fill(spread, spread + width, 0.0);
  for (std::size_t t = 0; t < trees.size(); ++t) {
    try {
      const std::vector<double>& p = routing.walk(t).route_exact(trees[t], row);
      for (std::size_t j = 0; j < width && j < p.size(); ++j) {
        const double d = p[j] - mean[j];
        spread[j] = d * d + spread[j];
      }
    } catch (const Error& e) {
      return RowFailure{true, e.what()};
    }
  }
  return std::nullopt;
}

class ColumnRun {
 public:
  ColumnRun(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
            std::span<const InputColumn> columns, std::size_t rows, const ColumnOutput& out)
      : trees_(trees), routing_(routing), columns_(columns), rows_(rows), out_(out) {}

  void run(std::size_t walkers) {
    std::vector<std::thread> threads;
    struct JoinAll {
      std::vector<std::thread>& threads;
      ColumnRun& run;
      ~JoinAll() {
        run.next_.store(run.rows_, std::memory_order_relaxed);
        for (std::thread& t : threads) t.join();
      }
    } join{threads, *this};
    threads.reserve(walkers - 1);
    for (std::size_t i = 0; i + 1 < walkers; ++i) {
      try {
        threads.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // fewer threads only predict more slowly
      }
    }
    work();
    for (std::thread& t : threads) t.join();
    threads.clear();
    if (out_of_memory_) throw std::bad_alloc();
    if (failure_) fail(failure_->second);
  }

 private:
  void work() noexcept {
    try {
      const std::size_t width = routing_.result_width();
      RowBatch batch(routing_.layout(), kRowChunk, columns_.size());
      Predictions result(kRowChunk, width);
      bool exact[kBlock];
      std::vector<std::uint32_t> leaves;
      if (out_.spread) leaves.resize(trees_.size() * kBlock);
      for (;;) {
        const std::size_t first = next_.fetch_add(kRowChunk, std::memory_order_relaxed);
        if (first >= rows_) return;
        const std::size_t count = std::min(kRowChunk, rows_ - first);
        batch.assign_columns(count, columns_.size(),
                             [&](std::size_t position, std::uint32_t* keys, std::size_t stride) {
                               return fill_column(columns_[position], first, count, keys, stride);
                             });
        if (out_.spread)
          walk_with_spread(batch, first, count, width, leaves.data(), result, exact);
        else
          walk_block(trees_, routing_, batch, 0, count, result, exact);
        for (std::size_t r = 0; r < count; ++r) {
          double* mean = out_.mean + (first + r) * width;
          if (exact[r]) {
            std::optional<RowFailure> failure = predict_exact(trees_, routing_, batch, r, result);
            if (!failure && out_.spread)
              failure = exact_spread(trees_, routing_, batch.row(r), result.slot(r), width,
                                     out_.spread + (first + r) * width);
            if (failure) {
              record(first + r, std::move(failure->message));
              return;
            }
            if (out_.spread) finish_spread(out_.spread + (first + r) * width, width);
          }
          std::copy_n(result.slot(r), width, mean);
        }
      }
    } catch (...) {
      std::lock_guard lock(mutex_);
      out_of_memory_ = true;
      next_.store(rows_, std::memory_order_relaxed);
    }
  }

  // The batched walk of walk_block, keeping each tree's leaf of every row
  // so that the squared deviations from the mean can be summed afterwards,
  // into the rows of out_.spread from `first` on.
  void walk_with_spread(const RowBatch& batch, std::size_t first, std::size_t count,
                        std::size_t width, std::uint32_t* leaves, Predictions& result,
                        bool* exact) {
    for (std::size_t r = 0; r < count; ++r) exact[r] = !batch.checked(r);
    for (std::size_t t = 0; t < trees_.size(); ++t) {
      const TreeWalk& walk = routing_.walk(t);
      std::uint32_t* at = leaves + t * kBlock;
      walk.walk(batch, 0, count, at);
      for (std::size_t r = 0; r < count; ++r) {
        if (at[r] >= walk.trap()) {
          exact[r] = true;
          continue;
        }
        const double* p = walk.leaf(at[r]);
        double* acc = result.slot(r);
        if (t == 0) {
          for (std::size_t j = 0; j < width; ++j) acc[j] = p[j];
        } else {
          for (std::size_t j = 0; j < width; ++j) acc[j] = p[j] + acc[j];
        }
      }
    }
    for (std::size_t r = 0; r < count; ++r) {
      if (exact[r]) continue;
      double* mean = result.slot(r);
      result.set_length(r, width);
      divide(mean, width, trees_.size());
      double* spread = out_.spread + (first + r) * width;
      std::fill(spread, spread + width, 0.0);
      for (std::size_t t = 0; t < trees_.size(); ++t) {
        const double* p = routing_.walk(t).leaf(leaves[t * kBlock + r]);
        for (std::size_t j = 0; j < width; ++j) {
          const double d = p[j] - mean[j];
          spread[j] = d * d + spread[j];
        }
      }
      finish_spread(spread, width);
    }
  }

  void finish_spread(double* spread, std::size_t width) const {
    const double n = static_cast<double>(trees_.size());
    for (std::size_t j = 0; j < width; ++j) spread[j] = std::sqrt(spread[j] / n);
  }

  void record(std::size_t row, std::string message) {
    std::lock_guard lock(mutex_);
    if (!failure_ || failure_->first > row) failure_.emplace(row, std::move(message));
    next_.store(rows_, std::memory_order_relaxed);
  }

  const std::vector<UpliftTreeModel>& trees_;
  const ForestRouting& routing_;
  std::span<const InputColumn> columns_;
  const std::size_t rows_;
  const ColumnOutput out_;
  std::atomic<std::size_t> next_{0};
  std::mutex mutex_;
  bool out_of_memory_ = false;
  std::optional<std::pair<std::size_t, std::string>> failure_;
};

}  // namespace

void predict_columns(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                     std::span<const InputColumn> columns, std::size_t rows, std::int32_t n_threads,
                     const ColumnOutput& out) {
  if (trees.empty() || !routing.uniform_leaves()) fail(msg::kTreeCount);
  if (rows == 0) return;
  if (n_threads < 0) n_threads = available_processors();
  if (n_threads == 0) fail(msg::kNoPoolThreads);
  const std::size_t chunks = (rows + kRowChunk - 1) / kRowChunk;
  const std::size_t walkers =
      std::min({static_cast<std::size_t>(n_threads), kMaxPredictionThreads, chunks});
  ColumnRun(trees, routing, columns, rows, out).run(walkers);
}

}  // namespace corvane
