#include "estimator/estimator_shap.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane {

namespace {

// The nodes of tree `index` reachable from its root, each split before its
// children; a node's cover is the rows its statistics count.
ShapTree shap_tree(const EstimatorForest& forest, std::size_t index) {
  const NodeArray& nodes = forest.forest().trees()[index].nodes;
  const std::vector<FeatureInfo>& features = forest.features();
  ShapTree result;
  if (nodes.root() == NodeArray::kDefault)
    fail(msg::tree_not_explainable(index, "it has no root node"));
  // (stored index, parent's slot in result.nodes, side); the root first.
  struct Pending {
    std::uint32_t k;
    std::uint32_t parent;
    bool right;
  };
  constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  std::vector<Pending> pending{{nodes.root(), kNone, false}};
  while (!pending.empty()) {
    const Pending next = pending.back();
    pending.pop_back();
    const auto at = static_cast<std::uint32_t>(result.nodes.size());
    if (next.parent != kNone)
      (next.right ? result.nodes[next.parent].right : result.nodes[next.parent].left) = at;
    const TreeNode& node = nodes.nodes()[next.k];
    const NodeArray::RouteStep& route = nodes.route(next.k);
    ShapNode& out = result.nodes.emplace_back();
    out.cover = static_cast<double>(forest.node_rows(index, next.k));
    if (route.leaf) {
      out.values = result.values.size();
      result.values.insert(result.values.end(), node.prob.begin(), node.prob.end());
      continue;
    }
    if (route.child[0] == NodeArray::kDefault || route.child[1] == NodeArray::kDefault)
      fail(msg::tree_not_explainable(index, "a split has no node on one side"));
    out.feature = route.col_idx;
    out.categorical = route.kind == FeatureKind::kCategorical;
    out.threshold = route.threshold;
    if (out.categorical) {
      const std::vector<std::string>& categories =
          features[static_cast<std::size_t>(route.col_idx)].categories;
      const auto it = std::find(categories.begin(), categories.end(), node.split_value.text());
      out.category =
          it == categories.end() ? -1 : static_cast<std::int32_t>(it - categories.begin());
    }
    // Walked depth first, so every node comes after the split above it.
    pending.push_back({route.child[1], at, true});
    pending.push_back({route.child[0], at, false});
  }
  return result;
}

// Reads rows of the caller's columns into cells as prediction converts them:
// float64 numbers to float, category codes as they are.
void fill_cells(std::span<const InputColumn> columns, std::size_t first, std::size_t count,
                ShapCell* cells) {
  const std::size_t width = columns.size();
  for (std::size_t f = 0; f < width; ++f) {
    const InputColumn& column = columns[f];
    const char* cell = column.data + static_cast<std::ptrdiff_t>(first) * column.stride;
    ShapCell* out = cells + f;
    for (std::size_t i = 0; i < count; ++i, cell += column.stride, out += width) {
      switch (column.type) {
        case InputColumn::Type::kFloat32:
          std::memcpy(&out->number, cell, sizeof(float));
          break;
        case InputColumn::Type::kFloat64: {
          double v;
          std::memcpy(&v, cell, sizeof v);
          out->number = static_cast<float>(v);
          break;
        }
        case InputColumn::Type::kCode:
          std::memcpy(&out->code, cell, sizeof(std::int32_t));
          break;
      }
    }
  }
}

}  // namespace

ShapForest shap_forest(const EstimatorForest& forest) {
  if (!forest.has_counts()) fail(msg::kNoNodeCounts);
  ShapForest result;
  result.features = forest.features().size();
  result.width = forest.width();
  const std::vector<UpliftTreeModel>& trees = forest.forest().trees();
  result.trees.reserve(trees.size());
  for (std::size_t t = 0; t < trees.size(); ++t) result.trees.push_back(shap_tree(forest, t));
  return result;
}

void explain_columns(const EstimatorForest& forest, std::span<const InputColumn> columns,
                     std::size_t rows, std::int32_t n_threads, double* values, double* base) {
  const TreeShap shap(shap_forest(forest), rows);
  std::copy(shap.base().begin(), shap.base().end(), base);
  shap.explain(
      rows,
      [columns](std::size_t first, std::size_t count, ShapCell* cells) {
        fill_cells(columns, first, count, cells);
      },
      n_threads, values);
}

}  // namespace corvane
