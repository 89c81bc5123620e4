#include "uplift_tree/tree_walk.h"

#include <algorithm>
#include <bit>
#include <new>

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane {

namespace {

unsigned depth_of(std::uint64_t position) {
  return static_cast<unsigned>(std::bit_width(position + 1) - 1);
}

}  // namespace

TreeWalk::TreeWalk(const UpliftTreeModel& tree, RowLayout& layout) {
  const NodeArray& nodes = tree.nodes;
  const std::uint32_t stored = static_cast<std::uint32_t>(nodes.stored());
  trap_ = stored;
  root_ = nodes.empty() || nodes.root() == NodeArray::kDefault ? trap_ : nodes.root();
  steps_.resize(std::size_t{stored} + 1);
  steps_[trap_] = {0, 0, {trap_, trap_}};
  auto target = [&](std::uint32_t k) { return k == NodeArray::kDefault ? trap_ : k; };
  for (std::uint32_t k = 0; k < stored; ++k) {
    const NodeArray::RouteStep& route = nodes.route(k);
    Step& step = steps_[k];
    if (route.kind == NodeArray::RouteStep::kLeaf) {
      const std::vector<double>& prob = nodes.node(k).prob;
      if (leaf_values_.size() > UINT32_MAX) throw std::bad_alloc();
      step = {static_cast<std::uint32_t>(leaf_values_.size()), 0, {k, k}};
      leaf_values_.insert(leaf_values_.end(), prob.begin(), prob.end());
      continue;
    }
    depth_ = std::max(depth_, depth_of(nodes.position(k)) + 1);
    if (route.col_idx < 0) {
      // Only the exact walk can say how this fails.
      step = {0, 0, {trap_, trap_}};
      continue;
    }
    const std::uint32_t slot = layout.slot_of(static_cast<std::size_t>(route.col_idx));
    step.child[0] = target(route.child[0]);
    step.child[1] = target(route.child[1]);
    if (route.kind == NodeArray::RouteStep::kNumeric) {
      step.value = std::bit_cast<std::uint32_t>(route.threshold);
      step.column = slot;
    } else {
      step.value = layout.codes(slot).add(nodes.node(k).split_value.text());
      step.column = slot | kCategoryBit;
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
      const std::uint32_t bits = row[s.column & ~kCategoryBit];
      const std::uint32_t category = s.column >> 31;
      // Both tests are made and one is kept, so that no branch depends on
      // the row. NaN on either side of the numeric test goes right.
      const std::uint32_t number_left =
          std::bit_cast<float>(bits) <= std::bit_cast<float>(s.value) ? 1u : 0u;
      const std::uint32_t category_left = bits == s.value ? 1u : 0u;
      const std::uint32_t left = (category & category_left) | (~category & number_left);
      at[r] = s.child[left ^ 1u];
    }
  }
}

const std::vector<double>& TreeWalk::route_exact(const UpliftTreeModel& tree,
                                                 RowBatch::Row row) const {
  const NodeArray& nodes = tree.nodes;
  if (nodes.empty()) fail(msg::index_out_of_bounds(0, 0));
  std::uint32_t k = nodes.root();
  std::uint64_t pos = 0;
  for (;;) {
    // An unreached (default) node is no leaf and tests column -1.
    if (k == NodeArray::kDefault) fail(msg::index_out_of_bounds(row.length, -1));
    const NodeArray::RouteStep& step = nodes.route(k);
    if (step.kind == NodeArray::RouteStep::kLeaf) return nodes.node(k).prob;
    const std::int32_t c = step.col_idx;
    if (c < 0 || static_cast<std::size_t>(c) >= row.length)
      fail(msg::index_out_of_bounds(row.length, c));
    // A tested position below the row's length always has a slot.
    const std::uint32_t slot = steps_[k].column & ~kCategoryBit;
    const std::uint32_t bits = row.cells[slot];
    const bool is_number = row.kinds[slot] == RowBatch::kNumber;
    bool left;
    if (step.kind == NodeArray::RouteStep::kNumeric) {
      if (!is_number) fail(msg::kNotF64);
      left = std::bit_cast<float>(bits) <= step.threshold;  // NaN on either side: right
    } else {
      if (is_number) fail(msg::kNotStr);
      left = bits == steps_[k].value;
    }
    const std::uint64_t side = left ? 1 : 2;
    if (pos > (UINT64_MAX - side) / 2) fail(msg::index_out_of_bounds(nodes.size(), UINT64_MAX));
    pos = 2 * pos + side;
    if (pos >= nodes.size()) fail(msg::index_out_of_bounds(nodes.size(), pos));
    k = step.child[side - 1];
  }
}

}  // namespace corvane
