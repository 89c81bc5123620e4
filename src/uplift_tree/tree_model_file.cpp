#include "uplift_tree/tree_model_file.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "core/error_msg.h"
#include "model_file/record_table.h"

namespace corvane {

namespace {

using model_file::JsonReader;
using model_file::JsonWriter;
using model_file::member;
using model_file::RecordField;

// An externally tagged enum written as an object must have one member.
void expect_single_member(JsonReader& in, std::string& key) {
  if (in.next_member(key)) in.fail(msg::kJsonEnumTooLong, in.key_start());
}

// A split value is written as {"<its kind's variant>": <its payload>}.
void write_split_value(JsonWriter& out, const TreeNode& node) {
  const SplitValue& v = node.split_value;
  out.begin_object();
  out.key(words_of(v.kind()).variant);
  switch (v.kind()) {
    case FeatureKind::kNumeric:
      out.value_f32(v.number());
      break;
    case FeatureKind::kCategorical:
      out.value_string(v.text());
      break;
  }
  out.end_object();
}

constexpr auto kSplitVariants = words_of_kinds<&FeatureKindWords::variant>();

void read_split_value(JsonReader& in, TreeNode& node) {
  switch (in.peek_value()) {
    case JsonReader::Kind::String: {
      const std::size_t at = in.value_start();
      const std::string name = in.read_string();
      if (feature_kind_called(name, true)) in.fail(msg::kJsonUnitVariant, at);
      in.fail(msg::unknown_variant(name, kSplitVariants), at);
    }
    case JsonReader::Kind::Object: {
      in.begin_object("enum SplitValue");
      std::string key;
      if (!in.next_member(key)) in.fail(msg::kJsonEnumEmpty, in.close_offset());
      const std::optional<FeatureKind> kind = feature_kind_called(key, true);
      if (!kind) in.fail(msg::unknown_variant(key, kSplitVariants), in.key_start());
      switch (*kind) {
        case FeatureKind::kNumeric:
          node.split_value = SplitValue::numeric(static_cast<float>(in.read_f64()));
          break;
        case FeatureKind::kCategorical:
          node.split_value = SplitValue::str(in.read_string());
          break;
      }
      expect_single_member(in, key);
      return;
    }
    default:
      in.fail_invalid_type("enum SplitValue");
  }
}

// Members of a node, in file order (the array form holds them in this order).
constexpr std::array<RecordField<TreeNode>, 5> kNodeFields = {{
    member<&TreeNode::col_name>("col_name"),
    member<&TreeNode::col_idx>("col_idx"),
    {"split_value", write_split_value, read_split_value},
    member<&TreeNode::prob>("prob"),
    member<&TreeNode::gain>("gain"),
}};

// The text of a node growth never wrote, which most positions of a deep
// tree hold: written once, then repeated.
const std::string& default_node_text() {
  static const std::string text = [] {
    std::string out;
    JsonWriter writer(out);
    model_file::write_record(writer, TreeNode(), kNodeFields);
    return out;
  }();
  return text;
}

void write_nodes(JsonWriter& out, const UpliftTreeModel& tree) {
  out.begin_array();
  // Unreached positions go out as runs, which a measuring pass counts
  // without producing them: a deep tree has astronomically many.
  const NodeArray& nodes = tree.nodes;
  const std::string& default_node = default_node_text();
  std::uint64_t pos = 0;
  for (std::size_t k = 0; k < nodes.stored(); ++k) {
    out.value_raw_repeated(default_node, nodes.positions()[k] - pos);
    model_file::write_record(out, nodes.nodes()[k], kNodeFields);
    pos = nodes.positions()[k] + 1;
  }
  out.value_raw_repeated(default_node, nodes.size() - pos);
  out.end_array();
}

// Unreached (default) nodes are only counted, not stored.
void read_nodes(JsonReader& in, UpliftTreeModel& tree) {
  std::vector<std::pair<std::uint64_t, TreeNode>> stored;
  std::uint64_t count = 0;
  in.begin_array("a sequence");
  while (in.next_element()) {
    TreeNode node;
    model_file::read_record(in, "TreeNode", kNodeFields, node);
    if (!node.is_default()) stored.emplace_back(count, std::move(node));
    ++count;
  }
  tree.nodes.assign(count, std::move(stored));
}

// Trees keep their criterion's name ("ED"); the file names its variant.
void write_eval_func(JsonWriter& out, const UpliftTreeModel& tree) {
  out.value_string(criterion(parse_eval_func(tree.eval_func)).variant);
}

std::string eval_func_variant(JsonReader& in, const std::string& name, std::size_t at) {
  if (const Criterion* c = criterion_called(name, true)) return std::string(c->name);
  in.fail(msg::unknown_variant(name, criterion_variants()), at);
}

void read_eval_func(JsonReader& in, UpliftTreeModel& tree) {
  switch (in.peek_value()) {
    case JsonReader::Kind::String: {
      const std::size_t at = in.value_start();
      tree.eval_func = eval_func_variant(in, in.read_string(), at);
      return;
    }
    case JsonReader::Kind::Object: {
      in.begin_object("enum EvalFunc");
      std::string key;
      if (!in.next_member(key)) in.fail(msg::kJsonEnumEmpty, in.close_offset());
      tree.eval_func = eval_func_variant(in, key, in.key_start());
      if (in.peek_value() != JsonReader::Kind::Null) in.fail_invalid_type("unit variant");
      in.skip_value();
      expect_single_member(in, key);
      return;
    }
    default:
      in.fail_invalid_type("enum EvalFunc");
  }
}

// Members of a tree, in file order (the array form holds them in this order).
// The order is the format's; hyper-parameters are fields named as their
// table declares them.
constexpr std::array<RecordField<UpliftTreeModel>, 12> kTreeFields = {{
    {"nodes", write_nodes, read_nodes},
    member<&UpliftTreeModel::max_depth, UpliftTreeModel>(parameter_name("max_depth")),
    member<&UpliftTreeModel::min_sample_leaf, UpliftTreeModel>(parameter_name("min_sample_leaf")),
    member<&UpliftTreeModel::max_features, UpliftTreeModel>(parameter_name("max_features")),
    {parameter_name("eval_func"), write_eval_func, read_eval_func},
    member<&UpliftTreeModel::max_bins, UpliftTreeModel>(parameter_name("max_bins")),
    member<&UpliftTreeModel::treatment_col>("treatment_col"),
    member<&UpliftTreeModel::outcome_col>("outcome_col"),
    member<&UpliftTreeModel::feature_cols>("feature_cols"),
    member<&UpliftTreeModel::balance, UpliftTreeModel>(parameter_name("balance")),
    member<&UpliftTreeModel::regularization, UpliftTreeModel>(parameter_name("regularization")),
    member<&UpliftTreeModel::alpha, UpliftTreeModel>(parameter_name("alpha")),
}};

}  // namespace

void write_tree(JsonWriter& out, const UpliftTreeModel& tree) {
  model_file::write_record(out, tree, kTreeFields);
}

UpliftTreeModel read_tree(JsonReader& in) {
  UpliftTreeModel tree;
  model_file::read_record(in, "UpliftTreeModel", kTreeFields, tree);
  return tree;
}

}  // namespace corvane
