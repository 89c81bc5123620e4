// Exact Shapley values of a forest's prediction, per row and feature
// (path-dependent TreeSHAP). The game of a row x is v(S) = the forest's
// prediction when only the features in S are known: a split on a known
// feature sends the row where x goes, a split on an unknown one follows both
// children, each weighted by its share of the rows the two children hold.
// v(empty set) is the cover-weighted mean of the leaves (the base value),
// v(all features) the prediction itself, and the values of each row add up
// to the prediction less the base.
//
// The trees are described here on their own (nodes, tests, covers, leaf
// vectors), so that the computation does not depend on how a forest stores
// them. Every leaf holds `width` values (one per treatment); the weights do
// not depend on which value, so one pass over a tree explains them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace corvane {

// One cell of a row as the splits test it: `number` for a numeric feature,
// `code` (an index into the feature's categories; any other value is a
// category no split tests) for a categorical one.
struct ShapCell {
  float number = 0.0f;
  std::int32_t code = -1;
};

// One node of a tree. A split's children come after it in the tree's node
// list (so that every walk ends); nodes[0] is the root.
struct ShapNode {
  static constexpr std::int32_t kLeaf = -1;
  std::int32_t feature = kLeaf;  // the feature a split tests; kLeaf for a leaf
  bool categorical = false;
  // Numeric split: a row goes left when its number <= threshold (NaN on
  // either side goes right).
  float threshold = 0.0f;
  // Categorical split: a row goes left when its code equals this one (a
  // negative one sends every row right).
  std::int32_t category = -1;
  std::uint32_t left = 0, right = 0;  // indices in the tree's node list
  // The rows behind the node (training rows, or estimation rows of an honest
  // tree); only the ratios of siblings matter.
  double cover = 0.0;
  std::size_t values = 0;  // leaf: offset of its `width` values in ShapTree::values
};

struct ShapTree {
  std::vector<ShapNode> nodes;
  std::vector<double> values;
};

struct ShapForest {
  std::size_t features = 0;
  std::size_t width = 0;
  std::vector<ShapTree> trees;
};

// Writes the cells of rows [first, first + count), `features` per row, into
// `cells` (row-major). Called from several threads at once, for distinct
// rows; must not throw.
using ShapRowSource = std::function<void(std::size_t first, std::size_t count, ShapCell* cells)>;

struct ShapSteps;

// Thread-safety: immutable after construction; explain() may run on any
// number of threads at once.
class TreeShap {
 public:
  // Numbers the leaf tables (shap_table.h) of a forest may take, 64 MiB: a
  // forest of 100 trees of depth 6 takes about 3 MiB.
  static constexpr std::size_t kTableBudget = std::size_t{8} << 20;

  // Fails (Error) for a forest without trees or with a tree that breaks the
  // description above: a child that does not come after its split or that
  // two splits share, a node no split leads to, a feature out of range, a
  // leaf whose values lie outside its tree's, a negative or non-finite
  // cover. Trees whose leaf tables fit in `table_budget` numbers (in
  // tree order) and pay off over `rows` rows get them; the others are
  // walked path by path.
  TreeShap(ShapForest forest, std::size_t rows, std::size_t table_budget = kTableBudget);
  ~TreeShap();
  TreeShap(const TreeShap&) = delete;
  TreeShap& operator=(const TreeShap&) = delete;

  std::size_t features() const { return features_; }
  std::size_t width() const { return width_; }
  // v(empty set) per value, the mean over the trees.
  const std::vector<double>& base() const { return base_; }
  // How many trees have leaf tables.
  std::size_t tabled_trees() const { return tabled_; }

  // The values of `rows` rows into out[(row * features + feature) * width +
  // value], means over the trees. n_threads < 0 uses every available
  // processor; the rows are shared out among the threads in chunks. Throws
  // std::bad_alloc (after every thread has ended) when memory runs out.
  void explain(std::size_t rows, const ShapRowSource& source, std::int32_t n_threads,
               double* out) const;

 private:
  class Run;
  struct Scratch;

  // The values of `count` rows (cells row by row), means over the trees,
  // into phi (count x features x width).
  void explain_rows(const ShapCell* cells, std::size_t count, Scratch& scratch, double* phi) const;

  std::size_t features_ = 0;
  std::size_t width_ = 0;
  std::vector<ShapSteps> trees_;
  std::vector<double> base_;
  std::size_t path_length_ = 0;  // path elements the deepest walk needs
  std::size_t max_nodes_ = 0;
  std::size_t tabled_ = 0;
};

}  // namespace corvane
