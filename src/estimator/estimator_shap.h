// Shapley values of the estimator's forest: its trees described for
// TreeShap, and rows read from the caller's columns as prediction reads
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "estimator/estimator_forest.h"
#include "estimator/tree_shap.h"

namespace corvane {

// Every tree of `forest` as TreeShap reads it: a node's cover is its row
// count (the estimation rows of an honest tree), a categorical split tests
// the index of its category among the feature's categories. Fails without
// node counts, and for a split missing a child.
ShapForest shap_forest(const EstimatorForest& forest);

// The Shapley values of the uplift of `rows` rows given as columns (as
// EstimatorForest::predict takes them) into `values` (rows x features x
// width()) and the base value of each treatment into `base` (width()).
// n_threads < 0 uses every available processor.
void explain_columns(const EstimatorForest& forest, std::span<const InputColumn> columns,
                     std::size_t rows, std::int32_t n_threads, double* values, double* base);

}  // namespace corvane
