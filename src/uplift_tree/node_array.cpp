#include "uplift_tree/node_array.h"

#include <algorithm>
#include <bit>

namespace corvane {

bool TreeNode::is_default() const {
  return col_name.empty() && col_idx == -1 && split_value.identical(SplitValue::numeric(0.0f)) &&
         prob.empty() && std::bit_cast<std::uint64_t>(gain) == 0;
}

const TreeNode& NodeArray::default_node() {
  static const TreeNode node;
  return node;
}

void NodeArray::assign(std::uint64_t size,
                       std::vector<std::pair<std::uint64_t, TreeNode>> entries) {
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  size_ = size;
  positions_.clear();
  nodes_.clear();
  route_.clear();
  positions_.reserve(entries.size());
  nodes_.reserve(entries.size());
  for (auto& [pos, node] : entries) {
    positions_.push_back(pos);
    nodes_.push_back(std::move(node));
  }
  auto find = [&](std::uint64_t pos) -> std::uint32_t {
    auto it = std::lower_bound(positions_.begin(), positions_.end(), pos);
    if (it == positions_.end() || *it != pos) return kDefault;
    return static_cast<std::uint32_t>(it - positions_.begin());
  };
  route_.reserve(nodes_.size());
  for (std::size_t k = 0; k < nodes_.size(); ++k) {
    const TreeNode& node = nodes_[k];
    RouteStep step{
        0.0f, node.col_idx, {kDefault, kDefault}, node.is_leaf(), node.split_value.kind()};
    if (!step.leaf && step.kind == FeatureKind::kNumeric)
      step.threshold = node.split_value.number();
    const std::uint64_t p = positions_[k];
    // Children beyond 64 bits cannot be stored; walks check bounds first.
    if (p <= (UINT64_MAX - 2) / 2) {
      step.child[0] = find(2 * p + 1);
      step.child[1] = find(2 * p + 2);
    }
    route_.push_back(step);
  }
  root_ = find(0);
}

std::uint64_t node_array_size(std::uint64_t max_depth) {
  if (max_depth >= 64) return 0;
  if (max_depth == 63) return UINT64_MAX;
  return (std::uint64_t{1} << (max_depth + 1)) - 1;
}

}  // namespace corvane
