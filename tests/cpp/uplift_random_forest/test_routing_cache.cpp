// The routing a forest hands out must always be that of its current trees,
// however they changed: the cache keys it by the trees' generation.
#include <utility>
#include <vector>

#include "check.h"
#include "uplift_random_forest/forest.h"

using namespace corvane;

namespace {

// A tree that is a single leaf of `width` uplifts.
UpliftTreeModel leaf_tree(std::size_t width) {
  TreeNode leaf;
  leaf.prob.assign(width, 0.5);
  std::vector<std::pair<std::uint64_t, TreeNode>> nodes;
  nodes.emplace_back(0, std::move(leaf));
  UpliftTreeModel tree;
  tree.nodes.assign(1, std::move(nodes));
  return tree;
}

}  // namespace

TEST(routing_follows_every_change_of_the_trees) {
  UpliftRandomForestModel forest;
  forest.replace_trees({leaf_tree(1), leaf_tree(1)});
  const auto first = forest.routing();
  CHECK(forest.routing() == first);  // unchanged trees: built once
  CHECK_EQ(first->result_width(), std::size_t{1});

  // As many trees as before: only the generation tells them apart.
  forest.replace_trees({leaf_tree(2), leaf_tree(2)});
  CHECK_EQ(forest.routing()->result_width(), std::size_t{2});

  forest.truncate_trees(1);
  forest.append_tree(leaf_tree(3));
  CHECK(!forest.routing()->uniform_leaves());

  std::vector<UpliftTreeModel> taken = forest.take_trees();
  CHECK(forest.routing()->result_width() == 0);
  taken.front() = leaf_tree(4);
  forest.replace_trees(std::move(taken));
  CHECK_EQ(forest.routing()->result_width(), std::size_t{4});
}
