// Growth of whole trees on small hand-made data sets. Every row of a node is
// sampled (far fewer rows than 500 per bin), so the candidates are known: the
// expected splits, gains and leaf uplifts below follow from the group counts
// written next to each data set, with the Euclidean score of one treatment
// group, 2 (p_t - p_c)^2, and gain = weighted child scores - parent score.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "concurrency/thread_pool.h"
#include "uplift_tree/data_set.h"
#include "uplift_tree/split_finder.h"
#include "uplift_tree/tree.h"

using namespace corvane;

namespace {

// Rows sharing one feature value and one group: `positives` of them have
// outcome 1.
struct Cell {
  float x;
  std::uint32_t category;
  std::int32_t treatment;
  int rows;
  int positives;
};

void add_rows(RawData& raw, const std::vector<Cell>& cells, bool categorical) {
  for (const Cell& cell : cells) {
    for (int i = 0; i < cell.rows; ++i) {
      if (categorical) {
        raw.str_cols[0].codes.push_back(cell.category);
      } else {
        raw.num_cols[0].push_back(cell.x);
      }
      raw.treatment.push_back(cell.treatment);
      raw.outcome.push_back(i < cell.positives ? 1 : 0);
    }
  }
}

// Euclidean score of a node from its counts: control n_c, y_c; treated n_t, y_t.
double score(int n_c, int y_c, int n_t, int y_t) {
  const double d = static_cast<double>(y_t) / n_t - static_cast<double>(y_c) / n_c;
  return 2.0 * d * d;
}

double gain(double parent, double left, double right, int n, int n_left) {
  const double w = static_cast<double>(n_left) / n;
  return (right * (1.0 - w) + left * w) - parent;
}

UpliftTreeModel grow(RawData raw, std::uint64_t max_depth) {
  UpliftTreeModel tree;
  tree.max_depth = max_depth;
  tree.min_sample_leaf = 0;
  tree.max_features = 1;
  tree.eval_func = "ED";
  tree.max_bins = 4;
  ThreadPool pool(2);
  const std::atomic<bool> cancel{false};
  const DataSet data = DataSet::from_raw_data(std::move(raw));
  const auto finder = make_split_finder<BinaryStats>(Splitter::kSampledQuantiles, data.raw());
  tree.grow(data, *finder, "t", "y", pool, cancel, GrowthOptions{});
  return tree;
}

void check_split(const TreeNode& node, const std::string& name, float threshold, double gain) {
  CHECK_EQ(node.col_name, name);
  CHECK_EQ(node.col_idx, 0);
  CHECK(node.split_value.is_numeric() && node.split_value.number() == threshold);
  CHECK_EQ(node.gain, gain);
  CHECK(!node.is_leaf());
}

void check_leaf(const TreeNode& node, double uplift) {
  CHECK_EQ(node.prob.size(), std::size_t{1});
  if (!node.prob.empty()) CHECK_EQ(node.prob[0], uplift);
}

}  // namespace

TEST(tree_growth_numeric_splits_node_by_node) {
  // Five control and five treated rows per value of x; positives:
  //   x:        1  2  3  4
  //   control:  1  1  1  1
  //   treated:  1  1  3  5
  RawData raw;
  raw.num_cols.resize(1);
  raw.col_names = {"x"};
  raw.col_index["x"] = {FeatureKind::kNumeric, 0};
  raw.max_treatment = 1;
  for (int x = 1; x <= 4; ++x) {
    const int treated_positives[] = {1, 1, 3, 5};
    add_rows(raw,
             {{static_cast<float>(x), 0, 0, 5, 1},
              {static_cast<float>(x), 0, 1, 5, treated_positives[x - 1]}},
             false);
  }
  const UpliftTreeModel tree = grow(std::move(raw), 2);

  // Root, 40 rows: max_bins 4 puts the quantiles at sorted positions 10, 20
  // and 30, i.e. thresholds 2, 3, 4; threshold 4 leaves the right side empty.
  const double root = score(20, 4, 20, 10);
  const double at_2 = gain(root, score(10, 2, 10, 2), score(10, 2, 10, 8), 40, 20);
  const double at_3 = gain(root, score(15, 3, 15, 5), score(5, 1, 5, 5), 40, 30);
  CHECK(at_2 > at_3);  // 0.18 against 0.1667
  // Left child (x <= 2), 20 rows: candidates 1 and 2; x = 1 and x = 2 respond
  // alike, so the best gain is 0 and the node is a leaf.
  // Right child (x in 3, 4): candidates 3 and 4.
  const double right = score(10, 2, 10, 8);
  const double right_at_3 = gain(right, score(5, 1, 5, 3), score(5, 1, 5, 5), 20, 10);

  CHECK_EQ(tree.nodes.size(), std::uint64_t{7});
  CHECK_EQ(tree.nodes.stored(), std::size_t{5});
  CHECK(tree.nodes.positions() == (std::vector<std::uint64_t>{0, 1, 2, 5, 6}));
  if (tree.nodes.stored() != 5) return;
  const auto& nodes = tree.nodes.nodes();
  check_split(nodes[0], "x", 2.0f, at_2);
  check_leaf(nodes[1], 1.0 / 5 - 1.0 / 5);
  check_split(nodes[2], "x", 3.0f, right_at_3);
  check_leaf(nodes[3], 3.0 / 5 - 1.0 / 5);
  check_leaf(nodes[4], 5.0 / 5 - 1.0 / 5);
  CHECK(tree.feature_cols == std::vector<std::string>{"x"});
}

TEST(tree_growth_categorical_split_takes_the_best_category) {
  // Four control and four treated rows per category; positives:
  //   category:  a  b  c
  //   control:   1  1  2
  //   treated:   1  3  2
  RawData raw;
  raw.str_cols.resize(1);
  raw.str_cols[0].categories = {"a", "b", "c"};
  raw.col_names = {"c"};
  raw.col_index["c"] = {FeatureKind::kCategorical, 0};
  raw.max_treatment = 1;
  add_rows(raw,
           {{0, 0, 0, 4, 1},
            {0, 0, 1, 4, 1},
            {0, 1, 0, 4, 1},
            {0, 1, 1, 4, 3},
            {0, 2, 0, 4, 2},
            {0, 2, 1, 4, 2}},
           true);
  const UpliftTreeModel tree = grow(std::move(raw), 1);

  // All three categories are candidates (max_bins - 1 = 3); one category
  // goes left, the rest right.
  const double root = score(12, 4, 12, 6);
  const double on_a = gain(root, score(4, 1, 4, 1), score(8, 3, 8, 5), 24, 8);
  const double on_b = gain(root, score(4, 1, 4, 3), score(8, 3, 8, 3), 24, 8);
  const double on_c = gain(root, score(4, 2, 4, 2), score(8, 2, 8, 4), 24, 8);
  CHECK(on_b > on_a && on_b > on_c);

  CHECK(tree.nodes.positions() == (std::vector<std::uint64_t>{0, 1, 2}));
  if (tree.nodes.stored() != 3) return;
  const TreeNode& split = tree.nodes.nodes()[0];
  CHECK_EQ(split.col_name, std::string("c"));
  CHECK(!split.split_value.is_numeric() && split.split_value.text() == "b");
  CHECK_EQ(split.gain, on_b);
  check_leaf(tree.nodes.nodes()[1], 3.0 / 4 - 1.0 / 4);
  check_leaf(tree.nodes.nodes()[2], 3.0 / 8 - 3.0 / 8);
}
