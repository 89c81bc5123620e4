// A tree compiled for routing many rows at once: each node reduced to a
// 16-byte step whose test reads one 32-bit cell slot, so that a block of
// rows advances one level per pass without a branch per row, and the loads
// of many rows are in flight together.
#pragma once

#include <cstdint>
#include <vector>

#include "uplift_tree/row_batch.h"
#include "uplift_tree/tree.h"

namespace corvane {

// Thread-safety: immutable once built; any number of threads may walk.
class TreeWalk {
 public:
  // Gives every category the tree's splits test a code in `layout` (which
  // must already hold every position the tree tests).
  TreeWalk(const UpliftTreeModel& tree, RowLayout& layout);

  // Routes rows of the batch [begin, begin + count) without any check:
  // at[r] receives the storage index of the leaf row begin + r reaches, or
  // trap() where the walk met something only route_exact can judge (a node
  // growth never reached, a child beyond the array, a split on a column that
  // cannot exist). Rows that are not checked() get meaningless answers.
  void walk(const RowBatch& rows, std::size_t begin, std::size_t count, std::uint32_t* at) const;
  std::uint32_t trap() const { return trap_; }
  // Leaf vector of a leaf's storage index as walk() reports it.
  const double* leaf(std::uint32_t k) const { return leaf_values_.data() + steps_[k].value; }

  // Routes one row with every check of a single row's walk, failing with
  // the same messages in the same order.
  const std::vector<double>& route_exact(const UpliftTreeModel& tree, RowBatch::Row row) const;

 private:
  struct Step {
    // Threshold bits or category code; for a leaf, its offset in leaf_values_.
    std::uint32_t value;
    // Slot of the tested cell; top bit set for a category test.
    std::uint32_t column;
    // Storage indices; a leaf and the trap lead to themselves.
    std::uint32_t child[2];
  };
  static constexpr std::uint32_t kCategoryBit = 0x80000000u;

  std::vector<Step> steps_;
  std::vector<double> leaf_values_;
  std::uint32_t root_ = 0;
  std::uint32_t trap_ = 0;
  // Passes that bring every row from the root to a leaf or the trap.
  unsigned depth_ = 0;
};

}  // namespace corvane
