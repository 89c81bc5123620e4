// Forest prediction and importance: element-wise means over the trees.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "core/error.h"
#include "core/error_msg.h"
#include "core/stderr_line.h"
#include "uplift_random_forest/forest.h"

namespace corvane {

namespace {

constexpr std::size_t kMaxPredictionThreads = 256;
// Rows per unit of work handed to a prediction thread.
constexpr std::size_t kRowChunk = 512;

// acc[i] = p[i] + acc[i]; the first vector is taken as is. A shorter p is an
// index error, the surplus of a longer one is ignored.
void accumulate(std::vector<double>& acc, const std::vector<double>& p, bool first) {
  if (first) {
    acc = p;
    return;
  }
  for (std::size_t i = 0; i < acc.size(); ++i) {
    if (i >= p.size()) fail(msg::index_out_of_bounds(p.size(), static_cast<std::int64_t>(i)));
    acc[i] = p[i] + acc[i];
  }
}

void divide(std::vector<double>& acc, std::size_t trees) {
  const double n = static_cast<double>(trees);
  for (double& v : acc) v = v / n;
}

// Error of one failed unit of work, kept apart by origin: a failing tree walk
// means a tree's batch failed, a failing sum is the caller's own error.
struct Failures {
  std::mutex mutex;
  bool out_of_memory = false;  // kept apart: recording it must not allocate
  std::optional<std::string> walk;
  std::optional<std::pair<std::size_t, std::string>> sum;  // lowest row first
};

}  // namespace

std::vector<double> UpliftRandomForestModel::predict_row(std::span<const SplitValue> row) const {
  std::vector<double> acc;
  for (std::size_t t = 0; t < trees.size(); ++t) accumulate(acc, trees[t].predict_row(row), t == 0);
  divide(acc, trees.size());
  return acc;
}

std::vector<std::vector<double>> UpliftRandomForestModel::predict_rows(const RowBatch& rows,
                                                                       std::int32_t n_threads) const {
  if (n_threads < 0) n_threads = available_processors();
  std::vector<std::vector<double>> result;
  if (n_threads == 1) {
    result.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) result.push_back(predict_row(rows.row(i)));
    return result;
  }

  // Every tree's batch must succeed, else the count of tree results falls
  // short; say so as a thread pool of per-tree workers would.
  if (trees.empty()) return result;
  auto tree_failed = [](const std::string& why) {
    write_stderr_line("prediction thread failed: ", why);
    fail(msg::kTreeCount);
  };
  if (n_threads == 0) tree_failed("no prediction thread was started");
  for (const UpliftTreeModel& tree : trees) {
    try {
      tree.check_batch(rows.size(), rows.size() ? rows.row(0).size() : 0);
    } catch (const Error& e) {
      tree_failed(e.what());
    }
  }

  result.resize(rows.size());
  Failures failures;
  std::atomic<std::size_t> next{0};
  auto work = [&]() noexcept {
    try {
      std::vector<bool> row_failed(kRowChunk);
      for (;;) {
        const std::size_t begin = next.fetch_add(kRowChunk, std::memory_order_relaxed);
        if (begin >= rows.size()) return;
        const std::size_t end = std::min(rows.size(), begin + kRowChunk);
        // Tree by tree over the chunk, so one tree's nodes stay in cache; each
        // row still adds its trees in stored order, as row by row would.
        std::fill(row_failed.begin(), row_failed.end(), false);
        for (std::size_t t = 0; t < trees.size(); ++t) {
          for (std::size_t i = begin; i < end; ++i) {
            if (row_failed[i - begin]) continue;
            const std::vector<double>* p;
            try {
              p = &trees[t].predict_row(rows.row(i));
            } catch (const Error& e) {
              std::lock_guard lock(failures.mutex);
              if (!failures.walk) failures.walk = e.what();
              return;
            }
            try {
              accumulate(result[i], *p, t == 0);
            } catch (const Error& e) {
              std::lock_guard lock(failures.mutex);
              if (!failures.sum || failures.sum->first > i) failures.sum.emplace(i, e.what());
              row_failed[i - begin] = true;
            }
          }
        }
        for (std::size_t i = begin; i < end; ++i) divide(result[i], trees.size());
      }
    } catch (...) {
      std::lock_guard lock(failures.mutex);
      failures.out_of_memory = true;
      next.store(rows.size(), std::memory_order_relaxed);  // the result is lost anyway
    }
  };

  const std::size_t chunks = (rows.size() + kRowChunk - 1) / kRowChunk;
  const std::size_t wanted =
      std::min({static_cast<std::size_t>(n_threads), kMaxPredictionThreads, chunks});
  std::vector<std::thread> threads;
  threads.reserve(wanted);
  try {
    for (std::size_t i = 0; i < wanted; ++i) {
      try {
        threads.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // fewer threads only predict more slowly
      }
    }
  } catch (...) {
    // Out of memory while starting threads: those running use this frame.
    next.store(rows.size(), std::memory_order_relaxed);
    for (std::thread& t : threads) t.join();
    throw;
  }
  if (threads.empty()) fail(msg::kSpawnFailed);
  for (std::thread& t : threads) t.join();

  if (failures.out_of_memory) fail(msg::kMemoryAllocationFailed);
  if (failures.walk) tree_failed(*failures.walk);
  if (failures.sum) fail(failures.sum->second);
  return result;
}

std::vector<double> UpliftRandomForestModel::get_feature_importance(
    std::string_view importance_type) const {
  if (trees.empty()) fail(msg::kUnwrapNone);
  std::vector<double> importance(trees.front().feature_cols.size(), 0.0);
  for (const UpliftTreeModel& tree : trees) {
    const std::vector<double> fi = tree.get_feature_importance(importance_type);
    for (std::size_t i = 0; i < importance.size(); ++i) {
      if (i >= fi.size()) fail(msg::index_out_of_bounds(fi.size(), static_cast<std::int64_t>(i)));
      importance[i] = fi[i] + importance[i];
    }
  }
  divide(importance, trees.size());
  return importance;
}

}  // namespace corvane
