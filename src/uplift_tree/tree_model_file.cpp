#include "uplift_tree/tree_model_file.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "core/error_msg.h"
#include "model_file/record_reader.h"

namespace corvane {

namespace {

using model_file::JsonReader;
using model_file::JsonWriter;

// Members of a tree, in file order (the array form holds them in this order).
enum TreeField : std::size_t {
  kTreeNodes,
  kTreeMaxDepth,
  kTreeMinSampleLeaf,
  kTreeMaxFeatures,
  kTreeEvalFunc,
  kTreeMaxBins,
  kTreeTreatmentCol,
  kTreeOutcomeCol,
  kTreeFeatureCols,
  kTreeBalance,
  kTreeRegularization,
  kTreeAlpha,
  kTreeFieldCount
};

constexpr std::array<std::string_view, kTreeFieldCount> kTreeFields = {
    "nodes",         "max_depth",   "min_sample_leaf", "max_features", "eval_func",      "max_bins",
    "treatment_col", "outcome_col", "feature_cols",    "balance",      "regularization", "alpha"};

// Members of a node, in file order.
enum NodeField : std::size_t {
  kNodeColName,
  kNodeColIdx,
  kNodeSplitValue,
  kNodeProb,
  kNodeGain,
  kNodeFieldCount
};

constexpr std::array<std::string_view, kNodeFieldCount> kNodeFields = {
    "col_name", "col_idx", "split_value", "prob", "gain"};

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
  out.key(kNodeFields[kNodeColName]);
  out.value_string(node.col_name);
  out.key(kNodeFields[kNodeColIdx]);
  out.value_i64(node.col_idx);
  out.key(kNodeFields[kNodeSplitValue]);
  write_split_value(out, node.split_value);
  out.key(kNodeFields[kNodeProb]);
  out.begin_array();
  for (double p : node.prob) out.value_f64(p);
  out.end_array();
  out.key(kNodeFields[kNodeGain]);
  out.value_f64(node.gain);
  out.end_object();
}

}  // namespace

void write_tree(JsonWriter& out, const UpliftTreeModel& tree) {
  out.begin_object();
  out.key(kTreeFields[kTreeNodes]);
  out.begin_array();
  // Unreached positions go out as runs, which a measuring pass counts
  // without producing them: a deep tree has astronomically many.
  const NodeArray& nodes = tree.nodes;
  std::uint64_t pos = 0;
  for (std::size_t k = 0; k < nodes.stored(); ++k) {
    out.value_raw_repeated(kDefaultNodeText, nodes.positions()[k] - pos);
    write_node(out, nodes.nodes()[k]);
    pos = nodes.positions()[k] + 1;
  }
  out.value_raw_repeated(kDefaultNodeText, nodes.size() - pos);
  out.end_array();
  out.key(kTreeFields[kTreeMaxDepth]);
  out.value_u64(tree.max_depth);
  out.key(kTreeFields[kTreeMinSampleLeaf]);
  out.value_u64(tree.min_sample_leaf);
  out.key(kTreeFields[kTreeMaxFeatures]);
  out.value_u64(tree.max_features);
  out.key(kTreeFields[kTreeEvalFunc]);
  out.value_string(eval_func_name(tree.eval_func));
  out.key(kTreeFields[kTreeMaxBins]);
  out.value_u64(tree.max_bins);
  out.key(kTreeFields[kTreeTreatmentCol]);
  out.value_string(tree.treatment_col);
  out.key(kTreeFields[kTreeOutcomeCol]);
  out.value_string(tree.outcome_col);
  out.key(kTreeFields[kTreeFeatureCols]);
  out.begin_array();
  for (const auto& name : tree.feature_cols) out.value_string(name);
  out.end_array();
  out.key(kTreeFields[kTreeBalance]);
  out.value_bool(tree.balance);
  out.key(kTreeFields[kTreeRegularization]);
  out.value_bool(tree.regularization);
  out.key(kTreeFields[kTreeAlpha]);
  out.value_f64(tree.alpha);
  out.end_object();
}

namespace {

// An externally tagged enum written as an object must have one member.
void expect_single_member(JsonReader& in, std::string& key) {
  if (in.next_member(key)) in.fail(msg::kJsonEnumTooLong, in.key_start());
}

EvalFunc eval_func_variant(JsonReader& in, const std::string& name, std::size_t at) {
  if (name == "Euclidean") return EvalFunc::Euclidean;
  if (name == "KL") return EvalFunc::KL;
  if (name == "Chi") return EvalFunc::Chi;
  in.fail(msg::unknown_eval_func(name), at);
}

EvalFunc read_eval_func(JsonReader& in) {
  switch (in.peek_value()) {
    case JsonReader::Kind::String: {
      const std::size_t at = in.value_start();
      return eval_func_variant(in, in.read_string(), at);
    }
    case JsonReader::Kind::Object: {
      in.begin_object("enum EvalFunc");
      std::string key;
      if (!in.next_member(key)) in.fail(msg::kJsonEnumEmpty, in.close_offset());
      const EvalFunc f = eval_func_variant(in, key, in.key_start());
      if (in.peek_value() != JsonReader::Kind::Null) in.fail_invalid_type("unit variant");
      in.skip_value();
      expect_single_member(in, key);
      return f;
    }
    default:
      in.fail_invalid_type("enum EvalFunc");
  }
}

SplitValue read_split_value(JsonReader& in) {
  switch (in.peek_value()) {
    case JsonReader::Kind::String: {
      const std::size_t at = in.value_start();
      const std::string name = in.read_string();
      if (name == "Numeric" || name == "Str") in.fail(msg::kJsonUnitVariant, at);
      in.fail(msg::unknown_split_value(name), at);
    }
    case JsonReader::Kind::Object: {
      in.begin_object("enum SplitValue");
      std::string key;
      if (!in.next_member(key)) in.fail(msg::kJsonEnumEmpty, in.close_offset());
      SplitValue value;
      if (key == "Numeric") {
        value = SplitValue::numeric(static_cast<float>(in.read_f64()));
      } else if (key == "Str") {
        value = SplitValue::str(in.read_string());
      } else {
        in.fail(msg::unknown_split_value(key), in.key_start());
      }
      expect_single_member(in, key);
      return value;
    }
    default:
      in.fail_invalid_type("enum SplitValue");
  }
}

std::vector<double> read_f64_array(JsonReader& in) {
  std::vector<double> values;
  in.begin_array("a sequence");
  while (in.next_element()) values.push_back(in.read_f64());
  return values;
}

TreeNode read_node(JsonReader& in) {
  TreeNode node;
  model_file::read_record(in, "TreeNode", kNodeFields, [&](std::size_t field) {
    switch (field) {
      case kNodeColName:
        in.read_string(node.col_name);
        break;
      case kNodeColIdx:
        node.col_idx = in.read_i32();
        break;
      case kNodeSplitValue:
        node.split_value = read_split_value(in);
        break;
      case kNodeProb:
        node.prob = read_f64_array(in);
        break;
      case kNodeGain:
        node.gain = in.read_f64();
        break;
    }
  });
  return node;
}

}  // namespace

UpliftTreeModel read_tree(JsonReader& in) {
  UpliftTreeModel tree;
  model_file::read_record(in, "UpliftTreeModel", kTreeFields, [&](std::size_t field) {
    switch (field) {
      case kTreeNodes: {
        std::vector<std::pair<std::uint64_t, TreeNode>> stored;
        std::uint64_t count = 0;
        in.begin_array("a sequence");
        while (in.next_element()) {
          TreeNode node = read_node(in);
          if (!node.is_default()) stored.emplace_back(count, std::move(node));
          ++count;
        }
        tree.nodes.assign(count, std::move(stored));
        break;
      }
      case kTreeMaxDepth:
        tree.max_depth = in.read_u64();
        break;
      case kTreeMinSampleLeaf:
        tree.min_sample_leaf = in.read_u64();
        break;
      case kTreeMaxFeatures:
        tree.max_features = in.read_u64();
        break;
      case kTreeEvalFunc:
        tree.eval_func = read_eval_func(in);
        break;
      case kTreeMaxBins:
        tree.max_bins = in.read_u64();
        break;
      case kTreeTreatmentCol:
        in.read_string(tree.treatment_col);
        break;
      case kTreeOutcomeCol:
        in.read_string(tree.outcome_col);
        break;
      case kTreeFeatureCols:
        tree.feature_cols.clear();
        in.begin_array("a sequence");
        while (in.next_element()) tree.feature_cols.push_back(in.read_string());
        break;
      case kTreeBalance:
        tree.balance = in.read_bool();
        break;
      case kTreeRegularization:
        tree.regularization = in.read_bool();
        break;
      case kTreeAlpha:
        tree.alpha = in.read_f64();
        break;
    }
  });
  return tree;
}

}  // namespace corvane
