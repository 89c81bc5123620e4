#include "uplift_tree/tree_walk.h"

#include <algorithm>
#include <bit>
#include <new>

#include "core/error.h"
#include "core/error_msg.h"
#include "uplift_tree/cell_key.h"

namespace corvane {

namespace {

constexpr std::uint32_t kAlwaysLeft = 0xFFFFFFFFu;

unsigned depth_of(std::uint64_t position) {
  return static_cast<unsigned>(std::bit_width(position + 1) - 1);
}

}  // namespace

TreeWalk::TreeWalk(const UpliftTreeModel& tree, RowLayout& layout, const LeafValues& values) {
  const NodeArray& nodes = tree.nodes;
  const std::uint32_t stored = static_cast<std::uint32_t>(nodes.stored());
  trap_ = stored;
  root_ = nodes.empty() || nodes.root() == NodeArray::kDefault ? trap_ : nodes.root();
  steps_.resize(std::size_t{stored} + 2);
  leaf_lengths_.assign(stored, 0);
  std::vector<double> given;
  steps_[trap_] = {0, kAlwaysLeft, 0, trap_};
  steps_[trap_ + 1] = {0, kAlwaysLeft, 0, trap_ + 1};
  for (std::uint32_t k = 0; k < stored; ++k) {
    const NodeArray::RouteStep& route = nodes.route(k);
    Step& step = steps_[k];
    if (route.leaf) {
      const std::vector<double>* leaf = &nodes.node(k).prob;
      if (values) {
        given.clear();
        values(k, given);
        leaf = &given;
      }
      if (leaf_values_.size() > UINT32_MAX) throw std::bad_alloc();
      step = {static_cast<std::uint32_t>(leaf_values_.size()), kAlwaysLeft, 0, k};
      leaf_values_.insert(leaf_values_.end(), leaf->begin(), leaf->end());
      leaf_lengths_[k] = static_cast<std::uint32_t>(leaf->size());
      continue;
    }
    depth_ = std::max(depth_, depth_of(nodes.position(k)) + 1);
    if (route.col_idx < 0) {
      step = {0, kAlwaysLeft, 0, trap_};  // only the exact walk can say how this fails
      continue;
    }
    const std::uint32_t slot = layout.slot_of(static_cast<std::size_t>(route.col_idx));
    const std::uint32_t left = route.child[0];
    switch (route.kind) {
      case FeatureKind::kNumeric:
        step = {0, threshold_key(route.threshold), slot, left};
        break;
      case FeatureKind::kCategorical:
        step = {layout.codes(slot).add(nodes.node(k).split_value.text()), 0, slot, left};
        break;
    }
    // Grown trees store both children of a split next to each other; any
    // other shape is left to the exact walk (which still reads the code).
    if (left == NodeArray::kDefault || route.child[1] != left + 1) {
      step.range = kAlwaysLeft;
      step.slot = 0;
      step.left = trap_;
    }
  }
}

void TreeWalk::walk(const RowBatch& rows, std::size_t begin, std::size_t count,
                    std::uint32_t* at) const {
  const std::uint32_t* cells = rows.cells(begin);
  const std::size_t stride = rows.stride();
  const Step* steps = steps_.data();
  std::fill(at, at + count, root_);
  for (unsigned level = 0; level < depth_; ++level) {
    const std::uint32_t* row = cells;
    for (std::size_t r = 0; r < count; ++r, row += stride) {
      const Step& s = steps[at[r]];
      // The comparison's outcome is added, never branched on: the walk does
      // not depend on predicting where rows go.
      at[r] = s.left + static_cast<std::uint32_t>(row[s.slot] - s.base > s.range);
    }
  }
}

std::uint32_t TreeWalk::route_exact(const UpliftTreeModel& tree, RowBatch::Row row) const {
  const NodeArray& nodes = tree.nodes;
  if (nodes.empty()) fail(msg::index_out_of_bounds(0, 0));
  std::uint32_t k = nodes.root();
  std::uint64_t pos = 0;
  for (;;) {
    // An unreached (default) node is no leaf and tests column -1.
    if (k == NodeArray::kDefault) fail(msg::index_out_of_bounds(row.length, -1));
    const NodeArray::RouteStep& step = nodes.route(k);
    if (step.leaf) return k;
    const std::int32_t c = step.col_idx;
    if (c < 0 || static_cast<std::size_t>(c) >= row.length)
      fail(msg::index_out_of_bounds(row.length, c));
    // A tested position below the row's length always has a slot.
    const std::size_t slot = row.slot_of[c];
    const std::uint32_t cell = row.cells[slot];
    const bool wrong_kind = row.kinds[slot] != step.kind;
    bool left = false;
    switch (step.kind) {
      case FeatureKind::kNumeric:
        if (wrong_kind) fail(msg::kNotF64);
        left = cell <= threshold_key(step.threshold);  // NaN on either side: right
        break;
      case FeatureKind::kCategorical:
        if (wrong_kind) fail(msg::kNotStr);
        left = cell == steps_[k].base;
        break;
    }
    const std::uint64_t side = left ? 1 : 2;
    if (pos > (UINT64_MAX - side) / 2) fail(msg::index_out_of_bounds(nodes.size(), UINT64_MAX));
    pos = 2 * pos + side;
    if (pos >= nodes.size()) fail(msg::index_out_of_bounds(nodes.size(), pos));
    k = step.child[side - 1];
  }
}

}  // namespace corvane
