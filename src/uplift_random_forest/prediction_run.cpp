#include "uplift_random_forest/prediction_run.h"

#include <algorithm>
#include <system_error>

#include "core/error.h"
#include "core/error_msg.h"
#include "uplift_random_forest/block_walk.h"

namespace corvane {

PredictionRun::PredictionRun(const std::vector<UpliftTreeModel>& trees,
                             const ForestRouting& routing, const RowBatch& rows, std::size_t total,
                             std::size_t threads)
    : trees_(trees),
      routing_(routing),
      rows_(rows),
      total_(total),
      result_(total, routing.result_width()) {
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

PredictionRun::~PredictionRun() { stop_and_join(); }

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
    for (;;) {
      const std::size_t chunk = next_.fetch_add(kRowChunk, std::memory_order_relaxed);
      if (chunk >= total_) return;
      const std::size_t chunk_end = std::min(total_, chunk + kRowChunk);
      if (!wait_for(chunk_end)) return;
      for (std::size_t begin = chunk; begin < chunk_end; begin += kBlock) {
        const std::size_t count = std::min(kBlock, chunk_end - begin);
        walk_block(trees_, routing_, rows_, begin, count, result_, exact);
        for (std::size_t r = 0; r < count; ++r) {
          if (!exact[r]) continue;
          const std::size_t i = begin + r;
          auto failure = predict_exact(trees_, routing_, rows_, i, result_);
          if (!failure) continue;
          std::lock_guard lock(mutex_);
          if (failure->in_walk) {
            if (!walk_failure_) walk_failure_ = std::move(failure->message);
            return;
          }
          if (!sum_failure_ || sum_failure_->first > i)
            sum_failure_.emplace(i, std::move(failure->message));
        }
      }
    }
  } catch (...) {
    std::lock_guard lock(mutex_);
    out_of_memory_ = true;
    next_.store(total_, std::memory_order_relaxed);  // the result is lost anyway
  }
}

Predictions PredictionRun::finish() {
  publish(total_);
  work();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  if (out_of_memory_) fail(msg::kMemoryAllocationFailed);
  if (walk_failure_) tree_batch_failed(*walk_failure_);
  if (sum_failure_) fail(sum_failure_->second);
  return std::move(result_);
}

}  // namespace corvane
