#include "uplift_random_forest/forest_routing.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "uplift_tree/tree.h"

namespace corvane {

ForestRouting::ForestRouting(const std::vector<UpliftTreeModel>& trees,
                             const TreeLeafValues& values) {
  std::vector<std::pair<std::size_t, FeatureKind>> tests;  // position, kind
  std::size_t leaf_length = 0;
  bool first_leaf = true;
  std::vector<double> given;
  uniform_leaves_ = !trees.empty();
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const NodeArray& nodes = trees[t].nodes;
    for (std::uint32_t k = 0; k < nodes.stored(); ++k) {
      const NodeArray::RouteStep& step = nodes.route(k);
      if (step.leaf) {
        std::size_t length = nodes.node(k).prob.size();
        if (values) {
          given.clear();
          values(t, k, given);
          length = given.size();
        }
        if (first_leaf) leaf_length = length;
        uniform_leaves_ = uniform_leaves_ && length == leaf_length;
        first_leaf = false;
        if (t == 0) result_width_ = std::max(result_width_, length);
      } else if (step.col_idx >= 0) {
        tests.emplace_back(static_cast<std::size_t>(step.col_idx), step.kind);
      }
    }
  }
  if (uniform_leaves_) result_width_ = leaf_length;
  // In position order, so that each new position goes at the end.
  std::sort(tests.begin(), tests.end());
  tests.erase(std::unique(tests.begin(), tests.end()), tests.end());
  for (const auto& [position, kind] : tests) layout_.add_test(position, kind);
  walks_.reserve(trees.size());
  for (std::size_t t = 0; t < trees.size(); ++t) {
    LeafValues tree_values;
    if (values) tree_values = [&](std::uint32_t k, std::vector<double>& v) { values(t, k, v); };
    walks_.emplace_back(trees[t], layout_, tree_values);
  }
}

std::uint64_t new_tree_generation() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::shared_ptr<const ForestRouting> RoutingCache::get(const std::vector<UpliftTreeModel>& trees,
                                                       std::uint64_t generation) const {
  std::lock_guard lock(mutex_);
  if (!routing_ || built_for_ != generation) {
    routing_ = std::make_shared<const ForestRouting>(trees);
    built_for_ = generation;
  }
  return routing_;
}

}  // namespace corvane
