// The only changes a forest's trees go through; each gives them a new
// generation, which is what keeps the routing cache right.
#include <utility>

#include "uplift_random_forest/forest.h"

namespace corvane {

void UpliftRandomForestModel::append_tree(UpliftTreeModel tree) {
  trees_.push_back(std::move(tree));
  changed_trees();
}

void UpliftRandomForestModel::replace_trees(std::vector<UpliftTreeModel> trees) {
  trees_ = std::move(trees);
  changed_trees();
}

void UpliftRandomForestModel::truncate_trees(std::size_t count) {
  if (count >= trees_.size()) return;
  trees_.erase(trees_.begin() + static_cast<std::ptrdiff_t>(count), trees_.end());
  changed_trees();
}

std::vector<UpliftTreeModel> UpliftRandomForestModel::take_trees() {
  std::vector<UpliftTreeModel> trees = std::move(trees_);
  trees_.clear();
  changed_trees();
  return trees;
}

}  // namespace corvane
