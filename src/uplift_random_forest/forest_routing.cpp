#include "uplift_random_forest/forest_routing.h"

#include <algorithm>

#include "uplift_tree/tree.h"

namespace corvane {

ForestRouting::ForestRouting(const std::vector<UpliftTreeModel>& trees) {
  // The tested positions and the kinds of test at each.
  std::vector<std::uint8_t> tested;  // bit 0: numeric split, bit 1: categorical split
  std::size_t leaf_length = 0;
  bool first_leaf = true;
  uniform_leaves_ = !trees.empty();
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const NodeArray& nodes = trees[t].nodes;
    for (std::uint32_t k = 0; k < nodes.stored(); ++k) {
      const NodeArray::RouteStep& step = nodes.route(k);
      if (step.kind == NodeArray::RouteStep::kLeaf) {
        const std::size_t length = nodes.node(k).prob.size();
        if (first_leaf) leaf_length = length;
        uniform_leaves_ = uniform_leaves_ && length == leaf_length;
        first_leaf = false;
        if (t == 0) result_width_ = std::max(result_width_, length);
        continue;
      }
      if (step.col_idx < 0) continue;
      const auto c = static_cast<std::size_t>(step.col_idx);
      if (c >= tested.size()) tested.resize(c + 1, 0);
      tested[c] |= step.kind == NodeArray::RouteStep::kNumeric ? 1 : 2;
    }
  }
  if (uniform_leaves_) result_width_ = leaf_length;

  layout_.accepts.resize(tested.size());
  for (std::size_t c = 0; c < tested.size(); ++c) {
    // A numeric split wants a number, a categorical one a text.
    std::uint8_t accepts = 3;
    if (tested[c] & 1) accepts &= 1;
    if (tested[c] & 2) accepts &= 2;
    layout_.accepts[c] = accepts;
  }
  layout_.codes.resize(tested.size());
  walks_.reserve(trees.size());
  for (const UpliftTreeModel& tree : trees) walks_.emplace_back(tree, layout_);
}

std::shared_ptr<const ForestRouting> RoutingCache::get(
    const std::vector<UpliftTreeModel>& trees) const {
  std::lock_guard lock(mutex_);
  if (!routing_ || built_for_ != trees.data() || built_count_ != trees.size()) {
    routing_ = std::make_shared<const ForestRouting>(trees);
    built_for_ = trees.data();
    built_count_ = trees.size();
  }
  return routing_;
}

}  // namespace corvane
