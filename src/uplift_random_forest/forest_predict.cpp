// Forest prediction and importance: element-wise means over the trees.
//
// Rows are predicted a block at a time: the block goes through one tree,
// then the next, so that each row still adds its trees' leaves in stored
// order (the same sums, bit for bit, whatever the thread count), while the
// walk keeps many rows' loads in flight. Rows the unchecked walk cannot
// judge (a cell of the wrong kind or missing, an unreachable node) are
// routed again by the exact walk, which fails as a single row's walk does.
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
// Rows walked together through one tree: many loads in flight, and the
// tree's upper levels fetched once for many rows, while the rows' cells and
// sums still fit in the second-level cache.
constexpr std::size_t kBlock = 512;

void divide(double* values, std::size_t length, std::size_t trees) {
  const double n = static_cast<double>(trees);
  for (std::size_t i = 0; i < length; ++i) values[i] = values[i] / n;
}

// acc[i] = p[i] + acc[i] over acc's `length`; the first vector is taken as
// is. A shorter p is an index error, the surplus of a longer one is ignored.
void accumulate(double* acc, std::size_t& length, const std::vector<double>& p, bool first) {
  if (first) {
    std::copy(p.begin(), p.end(), acc);
    length = p.size();
    return;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (i >= p.size()) fail(msg::index_out_of_bounds(p.size(), static_cast<std::int64_t>(i)));
    acc[i] = p[i] + acc[i];
  }
}

struct RowFailure {
  bool in_walk;  // else while summing
  std::string message;
};

// One row through every tree with all checks; the sum (not yet divided) goes
// to acc, which has room for the longest leaf of the first tree.
std::optional<RowFailure> exact_row(const std::vector<UpliftTreeModel>& trees,
                                    const ForestRouting& routing, RowBatch::Row row, double* acc,
                                    std::size_t& length) {
  length = 0;
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const std::vector<double>* p;
    try {
      p = &routing.walk(t).route_exact(trees[t], row);
    } catch (const Error& e) {
      return RowFailure{true, e.what()};
    }
    try {
      accumulate(acc, length, *p, t == 0);
    } catch (const Error& e) {
      return RowFailure{false, e.what()};
    }
  }
  return std::nullopt;
}

// Adds one tree's leaves to the rows of a block (the first tree's are copied),
// in the order acc[j] = p[j] + acc[j]. Common widths are unrolled.
template <std::size_t kWidth>
void add_leaves(const TreeWalk& walk, const std::uint32_t* at, std::size_t count, std::size_t width,
                bool first, double* acc, bool* needs_exact) {
  if constexpr (kWidth != 0) width = kWidth;
  for (std::size_t r = 0; r < count; ++r, acc += width) {
    if (at[r] >= walk.trap()) {
      needs_exact[r] = true;
      continue;
    }
    const double* p = walk.leaf(at[r]);
    if (first) {
      for (std::size_t j = 0; j < width; ++j) acc[j] = p[j];
    } else {
      for (std::size_t j = 0; j < width; ++j) acc[j] = p[j] + acc[j];
    }
  }
}

// Predicts rows [begin, begin + count) (count <= kBlock) into `out`, divided,
// except those it marks in needs_exact.
void walk_block(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                const RowBatch& rows, std::size_t begin, std::size_t count, Predictions& out,
                bool* needs_exact) {
  for (std::size_t r = 0; r < count; ++r) needs_exact[r] = !rows.checked(begin + r);
  if (!routing.uniform_leaves() || !rows.complete()) {
    std::fill(needs_exact, needs_exact + count, true);
    return;
  }
  const std::size_t width = routing.result_width();
  auto add = width == 1   ? add_leaves<1>
             : width == 2 ? add_leaves<2>
             : width == 3 ? add_leaves<3>
             : width == 4 ? add_leaves<4>
                          : add_leaves<0>;
  std::uint32_t at[kBlock];
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const TreeWalk& walk = routing.walk(t);
    walk.walk(rows, begin, count, at);
    add(walk, at, count, width, t == 0, out.slot(begin), needs_exact);
  }
  for (std::size_t r = 0; r < count; ++r) {
    if (needs_exact[r]) continue;
    out.set_length(begin + r, width);
    divide(out.slot(begin + r), width, trees.size());
  }
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

std::vector<double> UpliftRandomForestModel::predict_row(const ForestRouting& routing,
                                                         RowBatch::Row row) const {
  std::vector<double> acc(routing.result_width());
  std::size_t length = 0;
  if (auto failure = exact_row(trees, routing, row, acc.data(), length)) fail(failure->message);
  acc.resize(length);
  divide(acc.data(), length, trees.size());
  return acc;
}

Predictions UpliftRandomForestModel::predict_rows(const ForestRouting& routing,
                                                  const RowBatch& rows,
                                                  std::int32_t n_threads) const {
  if (n_threads < 0) n_threads = available_processors();
  bool needs_exact[kBlock];
  if (n_threads == 1) {
    Predictions result(rows.size(), routing.result_width());
    for (std::size_t begin = 0; begin < rows.size(); begin += kBlock) {
      const std::size_t count = std::min(kBlock, rows.size() - begin);
      walk_block(trees, routing, rows, begin, count, result, needs_exact);
      for (std::size_t r = 0; r < count; ++r) {
        if (!needs_exact[r]) continue;
        const std::size_t i = begin + r;
        std::size_t length = 0;
        if (auto failure = exact_row(trees, routing, rows.row(i), result.slot(i), length))
          fail(failure->message);
        result.set_length(i, length);
        divide(result.slot(i), length, trees.size());
      }
    }
    return result;
  }

  // Every tree's batch must succeed, else the count of tree results falls
  // short; say so as a thread pool of per-tree workers would.
  if (trees.empty()) return Predictions();
  auto tree_failed = [](const std::string& why) {
    write_stderr_line("prediction thread failed: ", why);
    fail(msg::kTreeCount);
  };
  if (n_threads == 0) tree_failed("no prediction thread was started");
  for (const UpliftTreeModel& tree : trees) {
    try {
      tree.check_batch(rows.size(), rows.size() ? rows.row(0).length : 0);
    } catch (const Error& e) {
      tree_failed(e.what());
    }
  }

  Predictions result(rows.size(), routing.result_width());
  Failures failures;
  std::atomic<std::size_t> next{0};
  auto work = [&]() noexcept {
    try {
      bool exact[kBlock];
      for (;;) {
        const std::size_t chunk = next.fetch_add(kRowChunk, std::memory_order_relaxed);
        if (chunk >= rows.size()) return;
        const std::size_t chunk_end = std::min(rows.size(), chunk + kRowChunk);
        for (std::size_t begin = chunk; begin < chunk_end; begin += kBlock) {
          const std::size_t count = std::min(kBlock, chunk_end - begin);
          walk_block(trees, routing, rows, begin, count, result, exact);
          for (std::size_t r = 0; r < count; ++r) {
            if (!exact[r]) continue;
            const std::size_t i = begin + r;
            std::size_t length = 0;
            auto failure = exact_row(trees, routing, rows.row(i), result.slot(i), length);
            if (!failure) {
              result.set_length(i, length);
              divide(result.slot(i), length, trees.size());
              continue;
            }
            std::lock_guard lock(failures.mutex);
            if (failure->in_walk) {
              if (!failures.walk) failures.walk = std::move(failure->message);
              return;
            }
            if (!failures.sum || failures.sum->first > i)
              failures.sum.emplace(i, std::move(failure->message));
          }
        }
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
  divide(importance.data(), importance.size(), trees.size());
  return importance;
}

}  // namespace corvane
