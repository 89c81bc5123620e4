#include "uplift_tree/tree_fields.h"

#include <string>

namespace corvane {

namespace {

using model_file::JsonWriter;

constexpr std::string_view kDefaultNodeText =
    R"({"col_name":"","col_idx":-1,"split_value":{"Numeric":0.0},"prob":[],"gain":0.0})";

void write_split_value(JsonWriter& out, const SplitValue& v) {
  out.begin_object();
  if (v.is_numeric()) {
    out.key("Numeric");
    out.value_f32(v.number());
  } else {
    out.key("Str");
    out.value_string(v.text());
  }
  out.end_object();
}

void write_node(JsonWriter& out, const TreeNode& node) {
  out.begin_object();
  out.key(kNodeFields[0]);
  out.value_string(node.col_name);
  out.key(kNodeFields[1]);
  out.value_i64(node.col_idx);
  out.key(kNodeFields[2]);
  write_split_value(out, node.split_value);
  out.key(kNodeFields[3]);
  out.begin_array();
  for (double p : node.prob) out.value_f64(p);
  out.end_array();
  out.key(kNodeFields[4]);
  out.value_f64(node.gain);
  out.end_object();
}

}  // namespace

std::uint64_t tree_text_size(const UpliftTreeModel& tree) {
  const std::uint64_t unreached = tree.nodes.size() - tree.nodes.stored();
  // Reached nodes and the tree's own members are small next to a run of
  // unreached nodes; a generous per-node guess is enough to size the buffer.
  std::uint64_t bytes = 1024 + tree.nodes.stored() * 256;
  for (const auto& name : tree.feature_cols) bytes += name.size() + 8;
  const std::uint64_t per_default = kDefaultNodeText.size() + 1;
  if (unreached > (UINT64_MAX - bytes) / per_default) return UINT64_MAX;
  return bytes + unreached * per_default;
}

void write_tree(JsonWriter& out, const UpliftTreeModel& tree) {
  out.begin_object();
  out.key(kTreeFields[0]);
  out.begin_array();
  const NodeArray& nodes = tree.nodes;
  std::size_t next = 0;  // next stored node, in array order
  for (std::uint64_t pos = 0; pos < nodes.size(); ++pos) {
    if (next < nodes.stored() && nodes.positions()[next] == pos) {
      write_node(out, nodes.nodes()[next]);
      ++next;
    } else {
      out.value_raw(kDefaultNodeText);
    }
  }
  out.end_array();
  out.key(kTreeFields[1]);
  out.value_u64(tree.max_depth);
  out.key(kTreeFields[2]);
  out.value_u64(tree.min_sample_leaf);
  out.key(kTreeFields[3]);
  out.value_u64(tree.max_features);
  out.key(kTreeFields[4]);
  out.value_string(eval_func_name(tree.eval_func));
  out.key(kTreeFields[5]);
  out.value_u64(tree.max_bins);
  out.key(kTreeFields[6]);
  out.value_string(tree.treatment_col);
  out.key(kTreeFields[7]);
  out.value_string(tree.outcome_col);
  out.key(kTreeFields[8]);
  out.begin_array();
  for (const auto& name : tree.feature_cols) out.value_string(name);
  out.end_array();
  out.key(kTreeFields[9]);
  out.value_bool(tree.balance);
  out.key(kTreeFields[10]);
  out.value_bool(tree.regularization);
  out.key(kTreeFields[11]);
  out.value_f64(tree.alpha);
  out.end_object();
}

}  // namespace corvane
