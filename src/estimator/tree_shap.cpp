#include "estimator/tree_shap.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <system_error>
#include <thread>

#include "concurrency/processors.h"
#include "core/error.h"
#include "core/error_msg.h"
#include "estimator/shap_path.h"
#include "estimator/shap_table.h"
#include "estimator/shap_tree.h"

namespace corvane {

namespace {

// Rows a thread takes at a time: each costs a walk of every tree, so small
// chunks already keep the threads' shares even.
constexpr std::size_t kChunk = 64;
constexpr std::size_t kMaxThreads = 256;

// The tree's steps with its children's shares, checked against the
// description; adds the tree's v(empty set) to `base` and returns its depth
// (splits on the longest path).
std::size_t compile(ShapTree& given, std::size_t t, std::size_t features, std::size_t width,
                    ShapSteps& tree, std::vector<double>& base) {
  const std::vector<ShapNode>& nodes = given.nodes;
  if (nodes.empty()) fail(msg::tree_not_explainable(t, "it has no nodes"));
  tree.values = std::move(given.values);
  tree.steps.reserve(nodes.size());
  std::vector<std::size_t> depth(nodes.size(), 0);
  std::vector<bool> led_to(nodes.size(), false);
  std::vector<double> reach(nodes.size(), 0.0);  // the root-to-node product of shares
  reach[0] = 1.0;
  std::size_t max_depth = 0;
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    const ShapNode& node = nodes[k];
    if (k > 0 && !led_to[k]) fail(msg::tree_not_explainable(t, "no split leads to a node"));
    if (!(node.cover >= 0.0) || !std::isfinite(node.cover))
      fail(msg::tree_not_explainable(t, "a node's cover is negative or not a number"));
    ShapStep step{node.feature, node.categorical, node.threshold, node.category, 0, 0, 0.0,
                  0.0,          node.values};
    if (node.feature == ShapNode::kLeaf) {
      if (node.values > tree.values.size() || tree.values.size() - node.values < width)
        fail(msg::tree_not_explainable(t, "a leaf's values lie outside the tree's"));
      for (std::size_t j = 0; j < width; ++j) base[j] += reach[k] * tree.values[node.values + j];
    } else {
      if (node.feature < 0 || static_cast<std::size_t>(node.feature) >= features)
        fail(msg::tree_not_explainable(t, "a split tests a feature out of range"));
      if (node.left <= k || node.right <= k || node.left >= nodes.size() ||
          node.right >= nodes.size() || node.left == node.right || led_to[node.left] ||
          led_to[node.right])
        fail(msg::tree_not_explainable(t, "a split's children do not follow it alone"));
      led_to[node.left] = led_to[node.right] = true;
      const double left = nodes[node.left].cover, right = nodes[node.right].cover;
      const double both = left + right;
      step.left = node.left;
      step.right = node.right;
      // Children without rows get no weight (not 0/0).
      step.left_share = both > 0.0 ? left / both : 0.0;
      step.right_share = both > 0.0 ? right / both : 0.0;
      reach[node.left] = reach[k] * step.left_share;
      reach[node.right] = reach[k] * step.right_share;
      depth[node.left] = depth[node.right] = depth[k] + 1;
      max_depth = std::max(max_depth, depth[k] + 1);
    }
    tree.steps.push_back(step);
  }
  return max_depth;
}

}  // namespace

// What one thread needs to explain rows: the path walk's elements and the
// table walk's masks, made once per thread.
struct TreeShap::Scratch {
  std::vector<ShapPathElement> path;
  std::vector<std::uint64_t> masks;
};

TreeShap::TreeShap(ShapForest forest, std::size_t rows, std::size_t table_budget)
    : features_(forest.features), width_(forest.width) {
  if (forest.trees.empty()) fail(msg::kNoTrees);
  base_.assign(width_, 0.0);
  trees_.resize(forest.trees.size());
  std::size_t max_depth = 0;
  for (std::size_t t = 0; t < trees_.size(); ++t) {
    max_depth =
        std::max(max_depth, compile(forest.trees[t], t, features_, width_, trees_[t], base_));
    max_nodes_ = std::max(max_nodes_, trees_[t].steps.size());
    if (build_shap_table(trees_[t], table_budget, rows)) ++tabled_;
  }
  const double n = static_cast<double>(trees_.size());
  for (double& b : base_) b = b / n;
  path_length_ = shap_path_length(max_depth);
}

TreeShap::~TreeShap() = default;

void TreeShap::explain_rows(const ShapCell* cells, std::size_t count, Scratch& scratch,
                            double* phi) const {
  const std::size_t per_row = features_ * width_;
  std::fill(phi, phi + count * per_row, 0.0);
  // Tree by tree, so that a tree's tables stay in the cache for all the rows.
  for (const ShapSteps& tree : trees_) {
    for (std::size_t r = 0; r < count; ++r) {
      const ShapCell* row = cells + r * features_;
      if (tree.has_table())
        shap_by_table(tree, row, width_, scratch.masks.data(), phi + r * per_row);
      else
        shap_by_paths(tree, row, width_, scratch.path.data(), phi + r * per_row);
    }
  }
  const double n = static_cast<double>(trees_.size());
  for (std::size_t i = 0; i < count * per_row; ++i) phi[i] = phi[i] / n;
}

// Rows shared out among threads in chunks, the calling thread among them.
// Thread-safety: the helpers read the explainer and the source and write
// disjoint rows of the output; a failure is a flag read after every helper
// has been joined.
class TreeShap::Run {
 public:
  Run(const TreeShap& shap, std::size_t rows, const ShapRowSource& source, double* out)
      : shap_(shap), rows_(rows), source_(source), out_(out) {}
  ~Run() { stop_and_join(); }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Starts up to `threads` - 1 helpers (fewer only explain more slowly).
  void start(std::size_t threads) {
    if (threads < 2) return;
    threads_.reserve(threads - 1);
    for (std::size_t i = 0; i + 1 < threads; ++i) {
      try {
        threads_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  void finish() {
    work();
    stop_and_join();
    if (failed_.load(std::memory_order_relaxed)) throw std::bad_alloc();
  }

 private:
  void work() noexcept {
    try {
      const std::size_t per_row = shap_.features_ * shap_.width_;
      Scratch scratch{std::vector<ShapPathElement>(shap_.path_length_),
                      std::vector<std::uint64_t>(shap_.max_nodes_)};
      std::vector<ShapCell> cells(kChunk * shap_.features_);
      for (;;) {
        const std::size_t first = next_.fetch_add(kChunk, std::memory_order_relaxed);
        if (first >= rows_) return;
        const std::size_t count = std::min(kChunk, rows_ - first);
        source_(first, count, cells.data());
        shap_.explain_rows(cells.data(), count, scratch, out_ + first * per_row);
      }
    } catch (...) {
      failed_.store(true, std::memory_order_relaxed);
      next_.store(rows_, std::memory_order_relaxed);  // the result is lost anyway
    }
  }

  void stop_and_join() noexcept {
    if (threads_.empty()) return;
    next_.store(rows_, std::memory_order_relaxed);
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

  const TreeShap& shap_;
  const std::size_t rows_;
  const ShapRowSource& source_;
  double* const out_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> failed_{false};
  std::vector<std::thread> threads_;
};

void TreeShap::explain(std::size_t rows, const ShapRowSource& source, std::int32_t n_threads,
                       double* out) const {
  if (rows == 0) return;
  if (n_threads < 0) n_threads = available_processors();
  if (n_threads == 0) fail(msg::kNoPoolThreads);
  const std::size_t chunks = (rows + kChunk - 1) / kChunk;
  Run run(*this, rows, source, out);
  run.start(std::min({static_cast<std::size_t>(n_threads), kMaxThreads, chunks}));
  run.finish();
}

}  // namespace corvane
