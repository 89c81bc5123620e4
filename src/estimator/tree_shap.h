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

// A feature on the path a row's walk follows (defined with the walk).
struct ShapPathElement;

// Writes the cells of rows [first, first + count), `features` per row, into
// `cells` (row-major). Called from several threads at once, for distinct
// rows; must not throw.
using ShapRowSource = std::function<void(std::size_t first, std::size_t count, ShapCell* cells)>;

// Thread-safety: immutable after construction; explain() may run on any
// number of threads at once.
class TreeShap {
 public:
  // Fails (Error) for a forest without trees or with a tree that breaks the
  // description above: a child that does not come after its split, a
  // feature out of range, a leaf whose values lie outside its tree's, a
  // negative or non-finite cover.
  explicit TreeShap(ShapForest forest);

  std::size_t features() const { return features_; }
  std::size_t width() const { return width_; }
  // v(empty set) per value, the mean over the trees.
  const std::vector<double>& base() const { return base_; }

  // The values of `rows` rows into out[(row * features + feature) * width +
  // value], means over the trees. n_threads < 0 uses every available
  // processor; the rows are shared out among the threads in chunks. Throws
  // std::bad_alloc (after every thread has ended) when memory runs out.
  void explain(std::size_t rows, const ShapRowSource& source, std::int32_t n_threads,
               double* out) const;

 private:
  struct Step {
    std::int32_t feature;
    bool categorical;
    float threshold;
    std::int32_t category;
    std::uint32_t left, right;
    double left_share, right_share;  // the children's shares of their rows
    std::size_t values;
  };
  struct Tree {
    std::vector<Step> steps;
    std::vector<double> values;
  };
  using PathElement = ShapPathElement;
  class Run;

  // One row's values summed over the trees into phi (features x width).
  void explain_row(const ShapCell* row, PathElement* path, double* phi) const;
  void recurse(const Tree& tree, std::uint32_t k, const ShapCell* row, PathElement* parent_path,
               unsigned depth, double zero, double one, std::int32_t feature, double* phi) const;

  std::size_t features_ = 0;
  std::size_t width_ = 0;
  std::vector<Tree> trees_;
  std::vector<double> base_;
  std::size_t path_length_ = 0;  // path elements one row's walk needs
};

}  // namespace corvane
