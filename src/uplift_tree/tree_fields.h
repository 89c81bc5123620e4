// Model-file form of a tree and its nodes: member names in file order.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "model_file/json_reader.h"
#include "model_file/json_writer.h"
#include "uplift_tree/tree.h"

namespace corvane {

inline constexpr std::array<std::string_view, 12> kTreeFields = {
    "nodes",       "max_depth",    "min_sample_leaf", "max_features",
    "eval_func",   "max_bins",     "treatment_col",   "outcome_col",
    "feature_cols", "balance",     "regularization",  "alpha"};

inline constexpr std::array<std::string_view, 5> kNodeFields = {"col_name", "col_idx",
                                                                "split_value", "prob", "gain"};

void write_tree(model_file::JsonWriter& out, const UpliftTreeModel& tree);

// Reads one tree object (or array of its values); unreached (default) nodes
// are only counted, not stored.
UpliftTreeModel read_tree(model_file::JsonReader& in);

}  // namespace corvane
