#include "estimator/shap_table.h"

#include <algorithm>
#include <vector>

namespace corvane {

namespace {

// The distinct features on the path from the root to a node, in the order
// they are first met, with the product of the shares of their splits'
// children the path takes.
struct PathFeatures {
  std::vector<std::int32_t> features;
  std::vector<double> zero;
};

// s! (d - 1 - s)! / d!: the Shapley weight of a subset of s of d players,
// for a player outside it.
double shapley_weight(std::size_t s, std::size_t d) {
  double binomial = 1.0;  // C(d - 1, s)
  for (std::size_t i = 1; i <= s; ++i)
    binomial = binomial * static_cast<double>(d - 1 - s + i) / static_cast<double>(i);
  return 1.0 / (static_cast<double>(d) * binomial);
}

// The sum over the subsets S of the `count` players in `zero` of
// weight[|S|] times the product of zero[k] over the players outside S, by
// the elementary symmetric polynomials of `zero` (`e` has room for count +
// 1 values).
double subset_sum(const double* zero, std::size_t count, const double* weight, double* e) {
  e[0] = 1.0;
  std::fill(e + 1, e + count + 1, 0.0);
  for (std::size_t i = 0; i < count; ++i)
    for (std::size_t m = i + 1; m > 0; --m) e[m] = e[m] + e[m - 1] * zero[i];
  double total = 0.0;
  for (std::size_t s = 0; s <= count; ++s) total = total + weight[s] * e[count - s];
  return total;
}

// The sums of a leaf whose path has features with fractions `zero` (see
// ShapLeafTable) into out[R] for every subset R of them but the whole set,
// which no feature's share reads.
void leaf_sums(const std::vector<double>& zero, double* out) {
  const std::size_t d = zero.size();
  std::vector<double> weight(d), e(d + 1), chosen(d);
  for (std::size_t s = 0; s < d; ++s) weight[s] = shapley_weight(s, d);
  const std::uint64_t all = (std::uint64_t{1} << d) - 1;
  for (std::uint64_t set = 0; set < all; ++set) {
    std::size_t count = 0;
    for (std::size_t k = 0; k < d; ++k)
      if (set >> k & 1) chosen[count++] = zero[k];
    out[set] = subset_sum(chosen.data(), count, weight.data(), e.data());
  }
  out[all] = 0.0;
}

}  // namespace

bool build_shap_table(ShapSteps& tree, std::size_t& budget, std::size_t rows) {
  const std::size_t n = tree.steps.size();
  std::vector<PathFeatures> paths(n);
  std::vector<std::uint8_t> slots(n, 0);
  std::size_t size = 0, cases = 0, leaves = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const ShapStep& step = tree.steps[k];
    PathFeatures& path = paths[k];
    if (step.feature == ShapNode::kLeaf) {
      const std::size_t d = path.features.size();
      cases += std::size_t{1} << d;
      size += (std::size_t{1} << d) + d;
      ++leaves;
      if (size > budget) return false;
      continue;
    }
    const auto at = std::find(path.features.begin(), path.features.end(), step.feature);
    const std::size_t slot = static_cast<std::size_t>(at - path.features.begin());
    if (slot >= kMaxTableDepth) return false;
    slots[k] = static_cast<std::uint8_t>(slot);
    for (const auto& [child, share] :
         {std::pair{step.left, step.left_share}, std::pair{step.right, step.right_share}}) {
      PathFeatures& below = paths[child];
      below = path;
      if (slot == below.features.size()) {
        below.features.push_back(step.feature);
        below.zero.push_back(share);
      } else {
        below.zero[slot] = below.zero[slot] * share;
      }
    }
    // Only the leaves need their paths from here on.
    path = PathFeatures{};
  }
  // A tree without splits has nothing to tabulate.
  if (n == 1 || cases / leaves > rows) return false;
  budget -= size;
  tree.leaf_tables.assign(n, ShapLeafTable{});
  tree.table.resize(cases);
  std::size_t sums = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (tree.steps[k].feature != ShapNode::kLeaf) continue;
    const PathFeatures& path = paths[k];
    const auto d = static_cast<std::uint32_t>(path.features.size());
    tree.leaf_tables[k] = {d, tree.table_features.size(), sums};
    tree.table_features.insert(tree.table_features.end(), path.features.begin(),
                               path.features.end());
    tree.table_zero.insert(tree.table_zero.end(), path.zero.begin(), path.zero.end());
    leaf_sums(path.zero, tree.table.data() + sums);
    sums += std::size_t{1} << d;
  }
  tree.slots = std::move(slots);
  return true;
}

namespace {

// Adds one leaf's shares for a row that agrees with its path on the
// features in `agree` (see ShapLeafTable). Common widths are unrolled.
template <std::size_t kWidth>
void add_leaf(const ShapSteps& tree, const ShapLeafTable& table, const double* values,
              std::uint64_t agree, std::size_t width, double* phi) {
  if constexpr (kWidth != 0) width = kWidth;
  const std::uint32_t d = table.depth;
  const double* sums = tree.table.data() + table.sums;
  const double* zero = tree.table_zero.data() + table.features;
  const std::int32_t* features = tree.table_features.data() + table.features;
  // factor[j]: 1 where the row agrees, else zero[j] (chosen without a
  // branch: which bits are set follows the data). before[j]: the product of
  // the factors below j; `after` that of those above j, built from the end.
  double factor[kMaxTableDepth], before[kMaxTableDepth + 1];
  before[0] = 1.0;
  for (std::uint32_t j = 0; j < d; ++j) {
    const double choice[2] = {zero[j], 1.0};
    factor[j] = choice[agree >> j & 1];
    before[j + 1] = before[j] * factor[j];
  }
  const std::uint64_t all = (std::uint64_t{1} << d) - 1;
  double after = 1.0;
  for (std::uint32_t j = d; j-- > 0;) {
    const std::uint64_t bit = std::uint64_t{1} << j;
    const double one = static_cast<double>(agree >> j & 1);
    const double c = (one - zero[j]) * (before[j] * after) * sums[agree & all & ~bit];
    double* out = phi + static_cast<std::size_t>(features[j]) * width;
    for (std::size_t w = 0; w < width; ++w) out[w] += c * values[w];
    after = after * factor[j];
  }
}

}  // namespace

void shap_by_table(const ShapSteps& tree, const ShapCell* row, std::size_t width,
                   std::uint64_t* masks, double* phi) {
  auto add = width == 1   ? add_leaf<1>
             : width == 2 ? add_leaf<2>
             : width == 3 ? add_leaf<3>
                          : add_leaf<0>;
  masks[0] = ~std::uint64_t{0};
  const std::size_t n = tree.steps.size();
  for (std::size_t k = 0; k < n; ++k) {
    const ShapStep& step = tree.steps[k];
    if (step.feature != ShapNode::kLeaf) {
      // The side the row does not take disagrees with it on this feature.
      const bool left = step.goes_left(row);
      const std::uint64_t mask = masks[k];
      const std::uint64_t off = mask & ~(std::uint64_t{1} << tree.slots[k]);
      masks[step.left] = left ? mask : off;
      masks[step.right] = left ? off : mask;
      continue;
    }
    add(tree, tree.leaf_tables[k], tree.values.data() + step.values, masks[k], width, phi);
  }
}

}  // namespace corvane
