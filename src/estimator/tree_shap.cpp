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

namespace corvane {

namespace {

// Rows a thread takes at a time: each costs a walk of every leaf of every
// tree, so small chunks already keep the threads' shares even.
constexpr std::size_t kChunk = 64;
constexpr std::size_t kMaxThreads = 256;

}  // namespace

// One feature on the path from the root to the node being walked, and the
// weights of the subsets of the path's features. `zero` is the share of the
// rows that follow the path through this feature's splits when the feature
// is unknown (the product of the children's shares), `one` whether the row
// itself follows it (1 or 0). weight[i] is the summed weight of the subsets
// of i of the path's features, as the Shapley formula weighs them.
struct ShapPathElement {
  std::int32_t feature;
  double zero;
  double one;
  double weight;
};

namespace {

using PathElement = ShapPathElement;

// Adds a feature with fractions (zero, one) as element `depth` of the path
// (elements [0, depth) are there) and updates the subset weights.
void extend(PathElement* path, unsigned depth, double zero, double one, std::int32_t feature) {
  path[depth] = {feature, zero, one, depth == 0 ? 1.0 : 0.0};
  const double n = static_cast<double>(depth + 1);
  for (unsigned j = depth; j-- > 0;) {
    path[j + 1].weight += one * path[j].weight * static_cast<double>(j + 1) / n;
    path[j].weight = zero * path[j].weight * static_cast<double>(depth - j) / n;
  }
}

// Undoes extend() of element `index` of a path whose last element is
// `depth`: the weights become those of the path without it. Its fractions
// are never both 0 (such a subtree is never walked).
void unwind(PathElement* path, unsigned depth, unsigned index) {
  const double one = path[index].one;
  const double zero = path[index].zero;
  const double n = static_cast<double>(depth + 1);
  double next = path[depth].weight;
  for (unsigned j = depth; j-- > 0;) {
    if (one != 0.0) {
      const double kept = path[j].weight;
      path[j].weight = next * n / (static_cast<double>(j + 1) * one);
      next = kept - path[j].weight * zero * static_cast<double>(depth - j) / n;
    } else {
      path[j].weight = path[j].weight * n / (zero * static_cast<double>(depth - j));
    }
  }
  for (unsigned j = index; j < depth; ++j) {
    path[j].feature = path[j + 1].feature;
    path[j].zero = path[j + 1].zero;
    path[j].one = path[j + 1].one;
  }
}

// The total weight unwind(path, depth, index) would leave, without changing
// the path.
double unwound_sum(const PathElement* path, unsigned depth, unsigned index) {
  const double one = path[index].one;
  const double zero = path[index].zero;
  const double n = static_cast<double>(depth + 1);
  double next = path[depth].weight;
  double total = 0.0;
  for (unsigned j = depth; j-- > 0;) {
    if (one != 0.0) {
      const double part = next * n / (static_cast<double>(j + 1) * one);
      total += part;
      next = path[j].weight - part * zero * (static_cast<double>(depth - j) / n);
    } else {
      total += (path[j].weight / zero) / (static_cast<double>(depth - j) / n);
    }
  }
  return total;
}

bool goes_left(const ShapCell& cell, bool categorical, float threshold, std::int32_t category) {
  // As prediction routes: NaN compares false and goes right; a category
  // goes left only when it is the one tested.
  return categorical ? category >= 0 && cell.code == category : cell.number <= threshold;
}

}  // namespace

TreeShap::TreeShap(ShapForest forest) : features_(forest.features), width_(forest.width) {
  if (forest.trees.empty()) fail(msg::kNoTrees);
  base_.assign(width_, 0.0);
  std::size_t max_depth = 0;
  trees_.reserve(forest.trees.size());
  for (std::size_t t = 0; t < forest.trees.size(); ++t) {
    ShapTree& given = forest.trees[t];
    const std::vector<ShapNode>& nodes = given.nodes;
    if (nodes.empty()) fail(msg::tree_not_explainable(t, "it has no nodes"));
    Tree& tree = trees_.emplace_back();
    tree.values = std::move(given.values);
    tree.steps.reserve(nodes.size());
    std::vector<std::size_t> depth(nodes.size(), 0);
    std::vector<double> reach(nodes.size(), 0.0);  // the root-to-node product of shares
    reach[0] = 1.0;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
      const ShapNode& node = nodes[k];
      if (!(node.cover >= 0.0) || !std::isfinite(node.cover))
        fail(msg::tree_not_explainable(t, "a node's cover is negative or not a number"));
      Step step{node.feature, node.categorical, node.threshold, node.category, 0, 0, 0.0, 0.0,
                node.values};
      if (node.feature == ShapNode::kLeaf) {
        if (node.values > tree.values.size() || tree.values.size() - node.values < width_)
          fail(msg::tree_not_explainable(t, "a leaf's values lie outside the tree's"));
        for (std::size_t j = 0; j < width_; ++j)
          base_[j] += reach[k] * tree.values[node.values + j];
      } else {
        if (node.feature < 0 || static_cast<std::size_t>(node.feature) >= features_)
          fail(msg::tree_not_explainable(t, "a split tests a feature out of range"));
        if (node.left <= k || node.right <= k || node.left >= nodes.size() ||
            node.right >= nodes.size() || node.left == node.right)
          fail(msg::tree_not_explainable(t, "a split's children do not follow it"));
        const double left = nodes[node.left].cover, right = nodes[node.right].cover;
        const double both = left + right;
        step.left = node.left;
        step.right = node.right;
        // Children without rows get no weight (not 0/0).
        step.left_share = both > 0.0 ? left / both : 0.0;
        step.right_share = both > 0.0 ? right / both : 0.0;
        reach[node.left] += reach[k] * step.left_share;
        reach[node.right] += reach[k] * step.right_share;
        depth[node.left] = std::max(depth[node.left], depth[k] + 1);
        depth[node.right] = std::max(depth[node.right], depth[k] + 1);
        max_depth = std::max(max_depth, depth[k] + 1);
      }
      tree.steps.push_back(step);
    }
  }
  const double n = static_cast<double>(trees_.size());
  for (double& b : base_) b = b / n;
  // The walk's nested paths: the call at unique depth d keeps d + 1 elements
  // right after its caller's.
  path_length_ = (max_depth + 2) * (max_depth + 3) / 2;
}

void TreeShap::recurse(const Tree& tree, std::uint32_t k, const ShapCell* row,
                       PathElement* parent_path, unsigned depth, double zero, double one,
                       std::int32_t feature, double* phi) const {
  PathElement* path = parent_path + depth + 1;
  std::copy(parent_path, parent_path + depth, path);
  extend(path, depth, zero, one, feature);
  const Step& step = tree.steps[k];
  if (step.feature == ShapNode::kLeaf) {
    const double* leaf = tree.values.data() + step.values;
    for (unsigned i = 1; i <= depth; ++i) {
      const PathElement& e = path[i];
      const double scale = unwound_sum(path, depth, i) * (e.one - e.zero);
      double* out = phi + static_cast<std::size_t>(e.feature) * width_;
      for (std::size_t j = 0; j < width_; ++j) out[j] += scale * leaf[j];
    }
    return;
  }
  const bool left = goes_left(row[step.feature], step.categorical, step.threshold, step.category);
  const std::uint32_t hot = left ? step.left : step.right;
  const std::uint32_t cold = left ? step.right : step.left;
  const double hot_share = left ? step.left_share : step.right_share;
  const double cold_share = left ? step.right_share : step.left_share;
  // A feature met before on this path is taken out and comes back with both
  // splits' fractions combined.
  double incoming_zero = 1.0, incoming_one = 1.0;
  unsigned index = 1;
  while (index <= depth && path[index].feature != step.feature) ++index;
  if (index <= depth) {
    incoming_zero = path[index].zero;
    incoming_one = path[index].one;
    unwind(path, depth, index);
    --depth;
  }
  // A subtree that neither the row nor any rows reach adds nothing; walking
  // it would divide 0 by 0.
  const double hot_zero = hot_share * incoming_zero;
  if (hot_zero != 0.0 || incoming_one != 0.0)
    recurse(tree, hot, row, path, depth + 1, hot_zero, incoming_one, step.feature, phi);
  const double cold_zero = cold_share * incoming_zero;
  if (cold_zero != 0.0)
    recurse(tree, cold, row, path, depth + 1, cold_zero, 0.0, step.feature, phi);
}

void TreeShap::explain_row(const ShapCell* row, PathElement* path, double* phi) const {
  std::fill(phi, phi + features_ * width_, 0.0);
  for (const Tree& tree : trees_) recurse(tree, 0, row, path, 0, 1.0, 1.0, ShapNode::kLeaf, phi);
  const double n = static_cast<double>(trees_.size());
  for (std::size_t i = 0; i < features_ * width_; ++i) phi[i] = phi[i] / n;
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
      std::vector<PathElement> path(shap_.path_length_);
      std::vector<ShapCell> cells(kChunk * shap_.features_);
      for (;;) {
        const std::size_t first = next_.fetch_add(kChunk, std::memory_order_relaxed);
        if (first >= rows_) return;
        const std::size_t count = std::min(kChunk, rows_ - first);
        source_(first, count, cells.data());
        for (std::size_t r = 0; r < count; ++r)
          shap_.explain_row(cells.data() + r * shap_.features_, path.data(),
                            out_ + (first + r) * per_row);
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
