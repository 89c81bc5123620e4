// The nodes of one tree as a complete binary tree (children of position i at
// 2i + 1, 2i + 2), stored sparsely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "uplift_tree/split_value.h"

namespace corvane {

struct TreeNode {
  std::string col_name;
  std::int32_t col_idx = -1;
  SplitValue split_value;
  std::vector<double> prob;  // non-empty exactly for leaves
  double gain = 0.0;

  bool is_leaf() const { return !prob.empty(); }
  // Equal, bit for bit, to a node growth never wrote.
  bool is_default() const;
};

// The complete node array of a tree, 2^(max_depth+1) - 1 positions for a
// trained tree, of which usually only a small share is ever reached. Only
// those are stored; every other position reads as the default node. Children
// are resolved to storage indices once, so a walk is a plain index chase.
class NodeArray {
 public:
  static constexpr std::uint32_t kDefault = 0xFFFFFFFFu;

  // `entries` in any order, positions below `size` and distinct.
  void assign(std::uint64_t size, std::vector<std::pair<std::uint64_t, TreeNode>> entries);

  std::uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t stored() const { return nodes_.size(); }

  // Storage index of the node at position 0 (kDefault when not stored).
  std::uint32_t root() const { return root_; }
  const TreeNode& node(std::uint32_t k) const { return k == kDefault ? default_node() : nodes_[k]; }
  std::uint64_t position(std::uint32_t k) const { return positions_[k]; }
  // Storage index of a child of stored node k (side 0 left, 1 right).
  std::uint32_t child(std::uint32_t k, int side) const { return route_[k].child[side]; }

  // What a walk needs of stored node k, packed densely so that routing
  // touches a few bytes per node instead of the whole node record.
  struct RouteStep {
    float threshold;  // numeric splits
    std::int32_t col_idx;
    std::uint32_t child[2];
    bool leaf;
    FeatureKind kind;  // of the cells a split tests
  };
  const RouteStep& route(std::uint32_t k) const { return route_[k]; }

  // Stored nodes in array order.
  const std::vector<std::uint64_t>& positions() const { return positions_; }
  const std::vector<TreeNode>& nodes() const { return nodes_; }

  static const TreeNode& default_node();

 private:
  std::uint64_t size_ = 0;
  std::uint32_t root_ = kDefault;
  std::vector<std::uint64_t> positions_;
  std::vector<TreeNode> nodes_;
  std::vector<RouteStep> route_;
};

// Number of positions of a complete tree of depth `max_depth`, or 0 when that
// does not fit in 64 bits.
std::uint64_t node_array_size(std::uint64_t max_depth);

}  // namespace corvane
