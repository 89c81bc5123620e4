// Everything prediction derives from a forest's trees once, rather than per
// call: the cell layout and category codes that rows are converted into, and
// every tree compiled for the batched walk.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "uplift_tree/row_batch.h"
#include "uplift_tree/tree_walk.h"

namespace corvane {

class UpliftTreeModel;

// Thread-safety: immutable once built; shared freely.
class ForestRouting {
 public:
  // The values the leaf at storage index k of tree t gives (see LeafValues).
  using TreeLeafValues =
      std::function<void(std::size_t t, std::uint32_t k, std::vector<double>& values)>;

  // With `values`, leaves give those instead of their nodes' `prob`: the same
  // walk for other values, without another copy of the trees.
  explicit ForestRouting(const std::vector<UpliftTreeModel>& trees,
                         const TreeLeafValues& values = {});

  const RowLayout& layout() const { return layout_; }
  const TreeWalk& walk(std::size_t t) const { return walks_[t]; }
  // Whether every leaf of every tree has the same number of values, so that
  // rows the walk routes can be summed without the exact length rules.
  bool uniform_leaves() const { return uniform_leaves_; }
  // Room for one row's prediction: the leaf length when uniform, else the
  // longest leaf of the first tree (which sets every row's length).
  std::size_t result_width() const { return result_width_; }

 private:
  RowLayout layout_;
  std::vector<TreeWalk> walks_;
  bool uniform_leaves_ = false;
  std::size_t result_width_ = 0;
};

// A number for a new state of a forest's trees, never given out before
// (0 is that of trees that never changed). Thread-safe.
std::uint64_t new_tree_generation();

// The routing of one forest's current trees, built on first use and kept
// while the trees keep their generation.
// Thread-safety: get() may be called from any number of threads at once;
// copying or assigning (which starts empty) needs the same exclusive access
// as changing the trees.
class RoutingCache {
 public:
  RoutingCache() = default;
  RoutingCache(const RoutingCache&) {}
  RoutingCache& operator=(const RoutingCache&) {
    routing_.reset();
    return *this;
  }

  // `generation` is that of `trees` (see new_tree_generation).
  std::shared_ptr<const ForestRouting> get(const std::vector<UpliftTreeModel>& trees,
                                           std::uint64_t generation) const;

 private:
  mutable std::mutex mutex_;
  mutable std::shared_ptr<const ForestRouting> routing_;
  mutable std::uint64_t built_for_ = 0;  // the generation routing_ was built for
};

}  // namespace corvane
