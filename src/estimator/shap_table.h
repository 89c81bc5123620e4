// TreeSHAP by tables: a leaf's share of a row's Shapley values depends on
// the row only through which of the leaf's path features the row agrees
// with (follows every split on it), so a leaf with d distinct features
// keeps one number for each of the 2^d sets of them (see ShapLeafTable),
// computed once. A row then costs one pass over the nodes (which side it
// takes at each split) and a few multiplications per leaf and feature:
// leaves x depth instead of leaves x depth^2, and no division. Worth it for
// shallow trees and many rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "estimator/shap_tree.h"

namespace corvane {

// The deepest path (in distinct features) a table is ever built for.
inline constexpr std::uint32_t kMaxTableDepth = 20;

// Builds the tables of `tree` when they take at most `budget` numbers
// (then taken off it) and a leaf has on average no more sets than `rows`
// (rows to explain); false when it does not (the tree is then walked path
// by path). The tree's nodes must each be the child of one split, the root
// excepted.
bool build_shap_table(ShapSteps& tree, std::size_t& budget, std::size_t rows);

// Adds the Shapley values of `row` in a tree with tables (width values per
// leaf) to phi[feature * width + value]. `masks` has room for one value per
// node.
void shap_by_table(const ShapSteps& tree, const ShapCell* row, std::size_t width,
                   std::uint64_t* masks, double* phi);

}  // namespace corvane
