// Checks of a batch before routing (the walk itself is uplift_tree/tree_walk),
// and feature importance. Both only read the tree.
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
  std::vector<double> importance(feature_cols.size(), 0.0);
  add_feature_importance(*this,
                         importance_type == "gain" ? ImportanceType::kGain : ImportanceType::kSplit,
                         importance);
  return importance;
}

void add_feature_importance(const UpliftTreeModel& tree, ImportanceType type,
                            std::span<double> total, const NodeWeight& weight) {
  const std::vector<TreeNode>& nodes = tree.nodes.nodes();
  for (std::uint32_t k = 0; k < nodes.size(); ++k) {
    const TreeNode& node = nodes[k];
    if (node.gain <= 0.0) continue;
    double factor = 1.0;
    if (weight) {
      const std::optional<double> w = weight(k);
      if (!w) continue;
      factor = *w;
    }
    const std::int32_t c = node.col_idx;
    if (c < 0 || static_cast<std::size_t>(c) >= total.size())
      fail(msg::index_out_of_bounds(total.size(), c));
    total[static_cast<std::size_t>(c)] += type == ImportanceType::kGain ? node.gain * factor : 1.0;
  }
}

}  // namespace corvane
