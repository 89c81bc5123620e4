#include "estimator/shap_path.h"

#include <algorithm>

namespace corvane {

namespace {

using PathElement = ShapPathElement;

// Adds a feature with fractions (zero, one) as element `depth` of the path
// (elements [0, depth) are there) and updates the subset weights.
void extend(PathElement* path, unsigned depth, double zero, double one, std::int32_t feature) {
  path[depth] = {feature, zero, one, depth == 0 ? 1.0 : 0.0};
  const double n = static_cast<double>(depth + 1);
  for (unsigned j = depth; j-- > 0;) {
    path[j + 1].weight += one * path[j].weight * static_cast<double>(j + 1) / n;
    path[j].weight = zero * path[j].weight * static_cast<double>(depth - j) / n;
  }
}

// Undoes extend() of element `index` of a path whose last element is
// `depth`: the weights become those of the path without it. Its fractions
// are never both 0 (such a subtree is never walked).
void unwind(PathElement* path, unsigned depth, unsigned index) {
  const double one = path[index].one;
  const double zero = path[index].zero;
  const double n = static_cast<double>(depth + 1);
  double next = path[depth].weight;
  for (unsigned j = depth; j-- > 0;) {
    if (one != 0.0) {
      const double kept = path[j].weight;
      path[j].weight = next * n / (static_cast<double>(j + 1) * one);
      next = kept - path[j].weight * zero * static_cast<double>(depth - j) / n;
    } else {
      path[j].weight = path[j].weight * n / (zero * static_cast<double>(depth - j));
    }
  }
  for (unsigned j = index; j < depth; ++j) {
    path[j].feature = path[j + 1].feature;
    path[j].zero = path[j + 1].zero;
    path[j].one = path[j + 1].one;
  }
}

// The total weight unwind(path, depth, index) would leave, without changing
// the path.
double unwound_sum(const PathElement* path, unsigned depth, unsigned index) {
  const double one = path[index].one;
  const double zero = path[index].zero;
  const double n = static_cast<double>(depth + 1);
  double next = path[depth].weight;
  double total = 0.0;
  for (unsigned j = depth; j-- > 0;) {
    if (one != 0.0) {
      const double part = next * n / (static_cast<double>(j + 1) * one);
      total += part;
      next = path[j].weight - part * zero * (static_cast<double>(depth - j) / n);
    } else {
      total += (path[j].weight / zero) / (static_cast<double>(depth - j) / n);
    }
  }
  return total;
}

struct Walk {
  const ShapSteps& tree;
  const ShapCell* row;
  std::size_t width;
  double* phi;

  void recurse(std::uint32_t k, PathElement* parent_path, unsigned depth, double zero, double one,
               std::int32_t feature) const {
    PathElement* path = parent_path + depth + 1;
    std::copy(parent_path, parent_path + depth, path);
    extend(path, depth, zero, one, feature);
    const ShapStep& step = tree.steps[k];
    if (step.feature == ShapNode::kLeaf) {
      const double* leaf = tree.values.data() + step.values;
      for (unsigned i = 1; i <= depth; ++i) {
        const PathElement& e = path[i];
        const double scale = unwound_sum(path, depth, i) * (e.one - e.zero);
        double* out = phi + static_cast<std::size_t>(e.feature) * width;
        for (std::size_t j = 0; j < width; ++j) out[j] += scale * leaf[j];
      }
      return;
    }
    const bool left = step.goes_left(row);
    const std::uint32_t hot = left ? step.left : step.right;
    const std::uint32_t cold = left ? step.right : step.left;
    const double hot_share = left ? step.left_share : step.right_share;
    const double cold_share = left ? step.right_share : step.left_share;
    // A feature met before on this path is taken out and comes back with
    // both splits' fractions combined.
    double incoming_zero = 1.0, incoming_one = 1.0;
    unsigned index = 1;
    while (index <= depth && path[index].feature != step.feature) ++index;
    if (index <= depth) {
      incoming_zero = path[index].zero;
      incoming_one = path[index].one;
      unwind(path, depth, index);
      --depth;
    }
    // A subtree that neither the row nor any rows reach adds nothing;
    // walking it would divide 0 by 0.
    const double hot_zero = hot_share * incoming_zero;
    if (hot_zero != 0.0 || incoming_one != 0.0)
      recurse(hot, path, depth + 1, hot_zero, incoming_one, step.feature);
    const double cold_zero = cold_share * incoming_zero;
    if (cold_zero != 0.0) recurse(cold, path, depth + 1, cold_zero, 0.0, step.feature);
  }
};

}  // namespace

void shap_by_paths(const ShapSteps& tree, const ShapCell* row, std::size_t width,
                   ShapPathElement* path, double* phi) {
  Walk{tree, row, width, phi}.recurse(0, path, 0, 1.0, 1.0, ShapNode::kLeaf);
}

}  // namespace corvane
