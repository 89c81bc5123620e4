// A tree as the two Shapley walks read it (shap_path.h, shap_table.h):
// each split with its children's shares of their rows, and, for a tree that
// has them, the tables of its leaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "estimator/tree_shap.h"

namespace corvane {

struct ShapStep {
  std::int32_t feature;  // ShapNode::kLeaf for a leaf
  bool categorical;
  float threshold;
  std::int32_t category;
  std::uint32_t left, right;
  double left_share, right_share;  // of the rows the two children hold
  std::size_t values;              // a leaf's, in ShapSteps::values

  // As prediction routes: NaN compares false and goes right; a category
  // goes left only when it is the one tested.
  bool goes_left(const ShapCell* row) const {
    const ShapCell& cell = row[feature];
    return categorical ? category >= 0 && cell.code == category : cell.number <= threshold;
  }
};

// A leaf's table. Its share of a feature j's Shapley value, for a row that
// agrees with its path on the set A of its `depth` distinct features (bit i
// set: the row follows every split on feature i of the path) and not on
// the others, B, is its values times
//   (1 if j in A, else 0; less zero[j]) x product of zero[k] over B but j
//   x sums[A without j],
// where zero[k] is the product of the shares the path takes at the splits
// on feature k, and sums[R] the sum over the subsets S of R of the Shapley
// weight |S|! (depth - 1 - |S|)! / depth! times the product of zero[k] over
// R but S.
struct ShapLeafTable {
  std::uint32_t depth = 0;
  std::size_t features = 0;  // offset of the path's features (and zeros) in ShapSteps
  std::size_t sums = 0;      // offset of its 2^depth sums in ShapSteps::table
};

struct ShapSteps {
  std::vector<ShapStep> steps;  // the root first; a split's children after it
  std::vector<double> values;
  // Tables, when the tree has them (else all empty): per node, the leaf's
  // table, or for a split the bit of its feature on its path.
  std::vector<ShapLeafTable> leaf_tables;
  std::vector<std::uint8_t> slots;
  std::vector<std::int32_t> table_features;
  std::vector<double> table_zero;
  std::vector<double> table;

  bool has_table() const { return !slots.empty(); }
};

}  // namespace corvane
