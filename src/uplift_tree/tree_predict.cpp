// Routing rows through a finished tree, and its feature importance. Both only
// read the tree, so any number of threads may use one tree at once.
#include <string>

#include "core/error.h"
#include "core/error_msg.h"
#include "uplift_tree/tree.h"

namespace corvane {

const std::vector<double>& UpliftTreeModel::predict_row(std::span<const SplitValue> row) const {
  if (nodes.empty()) fail(msg::index_out_of_bounds(0, 0));
  std::uint32_t k = nodes.root();
  std::uint64_t pos = 0;
  for (;;) {
    // An unreached (default) node is no leaf and tests column -1.
    if (k == NodeArray::kDefault) fail(msg::index_out_of_bounds(row.size(), -1));
    const NodeArray::RouteStep& step = nodes.route(k);
    if (step.kind == NodeArray::RouteStep::kLeaf) return nodes.node(k).prob;
    const std::int32_t c = step.col_idx;
    if (c < 0 || static_cast<std::size_t>(c) >= row.size())
      fail(msg::index_out_of_bounds(row.size(), c));
    const SplitValue& cell = row[static_cast<std::size_t>(c)];
    bool left;
    if (step.kind == NodeArray::RouteStep::kNumeric) {
      if (!cell.is_numeric()) fail(msg::kNotF64);
      left = cell.number() <= step.threshold;  // NaN on either side: right
    } else {
      if (cell.is_numeric()) fail(msg::kNotStr);
      left = cell.text() == nodes.node(k).split_value.text();
    }
    const std::uint64_t side = left ? 1 : 2;
    if (pos > (UINT64_MAX - side) / 2) fail(msg::index_out_of_bounds(nodes.size(), UINT64_MAX));
    pos = 2 * pos + side;
    if (pos >= nodes.size()) fail(msg::index_out_of_bounds(nodes.size(), pos));
    k = step.child[side - 1];
  }
}

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
