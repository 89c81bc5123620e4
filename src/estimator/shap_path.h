// Path-dependent TreeSHAP, one row at a time: a walk of the whole tree that
// carries the weights of the subsets of the features met so far (extended
// at each split, unwound when a feature comes back), adding each leaf's
// share as it reaches it. Costs leaves x depth^2 per row, whatever the
// tree's size; the walk for trees too deep for tables (shap_table.h).
#pragma once

#include <cstddef>

#include "estimator/shap_tree.h"

namespace corvane {

// A feature on the path from the root to the node being walked, and the
// weights of the subsets of the path's features. `zero` is the share of the
// rows that follow the path through this feature's splits when the feature
// is unknown (the product of the children's shares), `one` whether the row
// itself follows it (1 or 0). weight[i] sums the Shapley weights of the
// subsets of i of the path's features.
struct ShapPathElement {
  std::int32_t feature;
  double zero;
  double one;
  double weight;
};

// Path elements the walk of a tree `max_depth` splits deep needs: the call
// at unique depth d keeps d + 1 elements right after its caller's.
inline std::size_t shap_path_length(std::size_t max_depth) {
  return (max_depth + 2) * (max_depth + 3) / 2;
}

// Adds the Shapley values of `row` in `tree` (width values per leaf) to
// phi[feature * width + value]. `path` has room for shap_path_length().
void shap_by_paths(const ShapSteps& tree, const ShapCell* row, std::size_t width,
                   ShapPathElement* path, double* phi);

}  // namespace corvane
