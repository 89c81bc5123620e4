// TreeShap on trees small enough to work out by hand, by both walks (paths
// and leaf tables): the Shapley values of v(S), nodes without rows, the two
// walks against each other on random trees, and many threads against one.
// Names starting with "concurrency" also run under ThreadSanitizer.
#include <cmath>
#include <random>
#include <vector>

#include "check.h"
#include "core/error.h"
#include "estimator/tree_shap.h"

using namespace corvane;

namespace {

constexpr std::size_t kRows = 1000;
// Leaf tables (the default) and walks path by path.
constexpr std::size_t kBudgets[] = {TreeShap::kTableBudget, 0};

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

// Feature 0 <= 0.5 ? leaf (4 rows) : (feature 1 <= 0.5 ? leaf : leaf), two
// values per leaf; feature 2 is never tested.
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
      1,
      [&](std::size_t, std::size_t, ShapCell* cells) { std::copy(row.begin(), row.end(), cells); },
      1, out.data());
  return out;
}

bool near(double a, double b) { return std::fabs(a - b) < 1e-12; }

// A random tree of depth 5 over 3 features (so that features come back on
// a path), some nodes without rows; appended at the end of `tree`.
std::uint32_t grow(ShapTree& tree, std::mt19937& rng, int depth, double cover) {
  const auto at = static_cast<std::uint32_t>(tree.nodes.size());
  if (depth == 0 || (!tree.nodes.empty() && rng() % 5 == 0)) {
    tree.nodes.push_back(leaf(tree.values.size(), cover));
    tree.values.push_back(static_cast<double>(rng() % 1000) / 1000.0 - 0.5);
    tree.values.push_back(static_cast<double>(rng() % 1000) / 1000.0);
    return at;
  }
  const double left_cover = rng() % 7 == 0 ? 0.0 : std::floor(cover * (rng() % 100) / 100.0);
  tree.nodes.push_back(split(static_cast<std::int32_t>(rng() % 3),
                             static_cast<float>(rng() % 10) / 10.0f, 0, 0, cover));
  const std::uint32_t left = grow(tree, rng, depth - 1, left_cover);
  const std::uint32_t right = grow(tree, rng, depth - 1, cover - left_cover);
  tree.nodes[at].left = left;
  tree.nodes[at].right = right;
  return at;
}

void random_rows(std::size_t first, std::size_t count, ShapCell* cells) {
  for (std::size_t r = 0; r < count; ++r)
    for (std::size_t f = 0; f < 3; ++f)
      cells[r * 3 + f].number = static_cast<float>(((first + r) * (f + 7)) % 11) / 10.0f;
}

}  // namespace

TEST(tree_shap_values_of_a_two_split_tree_by_hand) {
  for (const std::size_t budget : kBudgets) {
    const TreeShap shap(two_splits(6), kRows, budget);
    CHECK_EQ(shap.tabled_trees(), budget > 0 ? 1u : 0u);
    // v({}) = .4 * 1 + .3 * 2 + .3 * 4 = 2.2, v({0}) = 3, v({1}) = .4 + .6 * 4
    // = 2.8, v({0, 1}) = 4: phi0 = ((3 - 2.2) + (4 - 2.8)) / 2 = 1, phi1 =
    // ((2.8 - 2.2) + (4 - 3)) / 2 = 0.8.
    CHECK(near(shap.base()[0], 2.2) && near(shap.base()[1], 22.0));
    const std::vector<double> phi = explain(shap, {{0.9f, -1}, {NAN, -1}, {0.0f, -1}});
    CHECK(near(phi[0], 1.0) && near(phi[1], 10.0));
    CHECK(near(phi[2], 0.8) && near(phi[3], 8.0));
    CHECK_EQ(phi[4], 0.0);
    CHECK_EQ(phi[5], 0.0);
  }
}

TEST(tree_shap_nodes_without_rows_get_no_weight) {
  // The right split and its leaves have no rows: v({}) = 1, v({0}) = 0 (no
  // weight below it), v({1}) = 1, v({0, 1}) = 2 (the row's leaf): phi0 =
  // ((0 - 1) + (2 - 1)) / 2 = 0, phi1 = ((1 - 1) + (2 - 0)) / 2 = 1.
  for (const std::size_t budget : kBudgets) {
    ShapForest forest = two_splits(0);
    forest.trees[0].nodes[1].cover = 5;
    const TreeShap shap(std::move(forest), kRows, budget);
    const std::vector<double> phi = explain(shap, {{0.9f, -1}, {0.1f, -1}, {0.0f, -1}});
    CHECK(near(shap.base()[0], 1.0));
    CHECK(near(phi[0], 0.0) && near(phi[2], 1.0) && near(phi[3], 10.0));
  }
}

TEST(tree_shap_categorical_splits_and_refused_trees) {
  ShapForest forest = two_splits(6);
  forest.trees[0].nodes[0].categorical = true;
  forest.trees[0].nodes[0].category = 1;
  for (const std::size_t budget : kBudgets) {
    const TreeShap shap(forest, kRows, budget);
    // Code 1 goes left: v({0}) = v({0, 1}) = 1, v({1}) = .4 + .6 * 2 = 1.6,
    // so phi0 = ((1 - 2.2) + (1 - 1.6)) / 2. Code -1 (unknown) goes right.
    CHECK(near(explain(shap, {{0.0f, 1}, {0.0f, -1}, {0.0f, -1}})[0], -0.9));
    CHECK(near(explain(shap, {{0.0f, -1}, {0.9f, -1}, {0.0f, -1}})[0], 1.0));
  }
  forest.trees[0].nodes[2].left = 1;  // a child before its split
  CHECK_THROWS_WITH((TreeShap{forest, kRows}), Error,
                    "tree 0 cannot be explained: a split's children do not follow it alone");
  CHECK_THROWS_WITH((TreeShap{ShapForest{}, kRows}), Error, "the model holds no trees");
}

TEST(tree_shap_tables_agree_with_paths_on_random_trees) {
  std::mt19937 rng(3);
  ShapForest forest{3, 2, {}};
  for (int t = 0; t < 20; ++t) grow(forest.trees.emplace_back(), rng, 5, 1000.0);
  const TreeShap tables(forest, kRows), paths(forest, kRows, 0);
  CHECK_EQ(tables.tabled_trees(), 20u);
  CHECK_EQ(paths.tabled_trees(), 0u);
  std::vector<double> a(kRows * 6), b(kRows * 6);
  tables.explain(kRows, random_rows, 1, a.data());
  paths.explain(kRows, random_rows, 1, b.data());
  double largest = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    CHECK(std::fabs(a[i] - b[i]) < 1e-12);
    largest = std::max(largest, std::fabs(a[i]));
  }
  CHECK(largest > 0.01);
  // Too few rows to pay for the tables: walked path by path.
  CHECK_EQ(TreeShap(forest, 1).tabled_trees(), 0u);
}

TEST(concurrency_tree_shap_threads_share_rows_alike) {
  std::mt19937 rng(4);
  ShapForest forest{3, 2, {}};
  for (int t = 0; t < 4; ++t) grow(forest.trees.emplace_back(), rng, 5, 1000.0);
  for (const std::size_t budget : kBudgets) {
    const TreeShap shap(forest, 5 * kRows, budget);
    std::vector<double> one(5 * kRows * 6), four(5 * kRows * 6);
    shap.explain(5 * kRows, random_rows, 1, one.data());
    shap.explain(5 * kRows, random_rows, 4, four.data());
    CHECK(one == four);
  }
}
