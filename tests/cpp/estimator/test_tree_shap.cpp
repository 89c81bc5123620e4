// TreeShap on trees small enough to work out by hand: the Shapley values of
// v(S), nodes without rows, and many threads against one. Names starting
// with "concurrency" also run under ThreadSanitizer.
#include <cmath>
#include <vector>

#include "check.h"
#include "core/error.h"
#include "estimator/tree_shap.h"

using namespace corvane;

namespace {

ShapNode split(std::int32_t feature, float threshold, std::uint32_t left, std::uint32_t right,
               double cover) {
  ShapNode node;
  node.feature = feature;
  node.threshold = threshold;
  node.left = left;
  node.right = right;
  node.cover = cover;
  return node;
}

ShapNode leaf(std::size_t values, double cover) {
  ShapNode node;
  node.values = values;
  node.cover = cover;
  return node;
}

// Feature 0 <= 0.5 ? leaf (4 rows) : (feature 1 <= 0.5 ? leaf (3) : leaf (3)),
// two values per leaf; feature 2 is never tested.
ShapForest two_splits(double right_cover) {
  ShapTree tree;
  tree.nodes = {split(0, 0.5f, 1, 2, 10), leaf(0, 4), split(1, 0.5f, 3, 4, right_cover),
                leaf(2, right_cover / 2), leaf(4, right_cover / 2)};
  tree.values = {1, 10, 2, 20, 4, 40};
  return {3, 2, {tree}};
}

std::vector<double> explain(const TreeShap& shap, std::vector<ShapCell> row) {
  std::vector<double> out(shap.features() * shap.width());
  shap.explain(
      1, [&](std::size_t, std::size_t, ShapCell* cells) { std::copy(row.begin(), row.end(), cells); },
      1, out.data());
  return out;
}

bool near(double a, double b) { return std::fabs(a - b) < 1e-12; }

}  // namespace

TEST(tree_shap_values_of_a_two_split_tree_by_hand) {
  const TreeShap shap(two_splits(6));
  // v({}) = .4 * 1 + .3 * 2 + .3 * 4 = 2.2, v({0}) = 3, v({1}) = .4 + .6 * 4 = 2.8,
  // v({0, 1}) = 4: phi0 = ((3 - 2.2) + (4 - 2.8)) / 2 = 1, phi1 = ((2.8 - 2.2) + (4 - 3)) / 2.
  CHECK(near(shap.base()[0], 2.2) && near(shap.base()[1], 22.0));
  const std::vector<double> phi = explain(shap, {{0.9f, -1}, {NAN, -1}, {0.0f, -1}});
  CHECK(near(phi[0], 1.0) && near(phi[1], 10.0));
  CHECK(near(phi[2], 0.8) && near(phi[3], 8.0));
  CHECK_EQ(phi[4], 0.0);
  CHECK_EQ(phi[5], 0.0);
}

TEST(tree_shap_nodes_without_rows_get_no_weight) {
  // The right split and its leaves have no rows: v({}) = 1, v({0}) = 0 (no
  // weight below it), v({1}) = 1, v({0, 1}) = 2 (the row's leaf): phi0 =
  // ((0 - 1) + (2 - 1)) / 2 = 0, phi1 = ((1 - 1) + (2 - 0)) / 2 = 1.
  ShapForest forest = two_splits(0);
  forest.trees[0].nodes[1].cover = 5;
  const TreeShap shap(std::move(forest));
  const std::vector<double> phi = explain(shap, {{0.9f, -1}, {0.1f, -1}, {0.0f, -1}});
  CHECK(near(shap.base()[0], 1.0));
  CHECK(near(phi[0], 0.0) && near(phi[2], 1.0) && near(phi[3], 10.0));
  CHECK(near(phi[0] + phi[2] + shap.base()[0], 2.0));
}

TEST(tree_shap_categorical_splits_and_refused_trees) {
  ShapForest forest = two_splits(6);
  forest.trees[0].nodes[0].categorical = true;
  forest.trees[0].nodes[0].category = 1;
  const TreeShap shap(forest);
  // Code 1 goes left: v({0}) = v({0, 1}) = 1, v({1}) = .4 + .6 * 2 = 1.6, so
  // phi0 = ((1 - 2.2) + (1 - 1.6)) / 2. Code -1 (unknown) goes right, as 0.9 did.
  CHECK(near(explain(shap, {{0.0f, 1}, {0.0f, -1}, {0.0f, -1}})[0], -0.9));
  CHECK(near(explain(shap, {{0.0f, -1}, {0.9f, -1}, {0.0f, -1}})[0], 1.0));

  forest.trees[0].nodes[2].left = 1;  // a child before its split
  CHECK_THROWS_WITH(TreeShap{forest}, Error,
                    "tree 0 cannot be explained: a split's children do not follow it");
  CHECK_THROWS_WITH(TreeShap(ShapForest{}), Error, "the model holds no trees");
}

TEST(concurrency_tree_shap_threads_share_rows_alike) {
  ShapForest forest = two_splits(6);
  forest.trees.push_back(forest.trees[0]);
  forest.trees[1].nodes[0].feature = 1;
  const TreeShap shap(std::move(forest));
  constexpr std::size_t kRows = 5000;
  auto source = [](std::size_t first, std::size_t count, ShapCell* cells) {
    for (std::size_t r = 0; r < count; ++r)
      for (std::size_t f = 0; f < 3; ++f)
        cells[r * 3 + f].number = static_cast<float>(((first + r) * (f + 7)) % 11) / 10.0f;
  };
  std::vector<double> one(kRows * 6), four(kRows * 6);
  shap.explain(kRows, source, 1, one.data());
  shap.explain(kRows, source, 4, four.data());
  CHECK(one == four);
  CHECK(one[0] != 0.0);
}
