// Checks of a batch before routing (the walk itself is uplift_tree/tree_walk),
// and a tree's feature importance. Both only read the tree.
#include <string>

#include "core/error.h"
#include "core/error_msg.h"
#include "uplift_tree/tree.h"

namespace corvane {

void UpliftTreeModel::check_batch(std::size_t rows, std::size_t first_row_length) const {
  if (rows == 0) fail(msg::index_out_of_bounds(0, 0));
  if (first_row_length != feature_cols.size()) fail(msg::kRowLength);
}

std::vector<double> UpliftTreeModel::get_feature_importance(
    std::string_view importance_type) const {
  const bool by_gain = importance_type == "gain";
  std::vector<double> importance(feature_cols.size(), 0.0);
  for (const TreeNode& node : nodes.nodes()) {
    if (node.gain <= 0.0) continue;  // leaves and unreached nodes; NaN is counted
    const std::int32_t c = node.col_idx;
    if (c < 0 || static_cast<std::size_t>(c) >= importance.size())
      fail(msg::index_out_of_bounds(importance.size(), c));
    importance[static_cast<std::size_t>(c)] += by_gain ? node.gain : 1.0;
  }
  return importance;
}

}  // namespace corvane
