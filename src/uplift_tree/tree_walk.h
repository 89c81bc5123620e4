// A tree compiled for routing many rows at once: each node reduced to a
// 16-byte step whose test is one unsigned comparison on one 32-bit cell
// slot, so that a block of rows advances one level per pass without a branch
// per row, and the loads of many rows are in flight together.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "uplift_tree/row_batch.h"
#include "uplift_tree/tree.h"

namespace corvane {

// The values a walk gives for the leaf at storage index k of its tree, into
// `values` (empty on entry). Without one, a leaf gives its node's `prob`.
using LeafValues = std::function<void(std::uint32_t k, std::vector<double>& values)>;

// Thread-safety: immutable once built; any number of threads may walk.
class TreeWalk {
 public:
  // Gives every category the tree's splits test a code in `layout` (which
  // must already hold every position the tree tests).
  TreeWalk(const UpliftTreeModel& tree, RowLayout& layout, const LeafValues& values = {});

  // Routes rows of the batch [begin, begin + count) without any check:
  // at[r] receives the storage index of the leaf row begin + r reaches, or
  // an index at or above trap() where the walk met something only
  // route_exact can judge (a node growth never reached, a child beyond the
  // array, a split on a column that cannot exist). Rows that are not
  // checked() get meaningless answers; the batch must be complete().
  void walk(const RowBatch& rows, std::size_t begin, std::size_t count, std::uint32_t* at) const;
  std::uint32_t trap() const { return trap_; }
  // Leaf vector of a leaf's storage index as walk() reports it.
  const double* leaf(std::uint32_t k) const { return leaf_values_.data() + steps_[k].base; }
  // The same with its length.
  std::span<const double> leaf_values(std::uint32_t k) const { return {leaf(k), leaf_lengths_[k]}; }

  // Routes one row with every check of a single row's walk, failing with
  // the same messages in the same order; returns the leaf's storage index.
  std::uint32_t route_exact(const UpliftTreeModel& tree, RowBatch::Row row) const;

 private:
  // A row goes left when (cell - base) <= range, compared unsigned: for a
  // numeric split base 0 and range the threshold's key; for a categorical
  // one base the category's code and range 0. Leaves and traps lead to
  // themselves whatever the cell (range is the largest value); a leaf's base
  // is the offset of its vector in leaf_values_.
  struct Step {
    std::uint32_t base;
    std::uint32_t range;
    std::uint32_t slot;  // of the tested cell
    std::uint32_t left;  // storage index; the right child is left + 1
  };

  std::vector<Step> steps_;
  std::vector<double> leaf_values_;
  std::vector<std::uint32_t> leaf_lengths_;  // per storage index; 0 for splits
  std::uint32_t root_ = 0;
  // Storage index of two steps past the nodes; a child that cannot be walked
  // leads there.
  std::uint32_t trap_ = 0;
  // Passes that bring every row from the root to a leaf or a trap.
  unsigned depth_ = 0;
};

}  // namespace corvane
