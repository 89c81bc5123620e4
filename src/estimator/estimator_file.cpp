#include "estimator/estimator_file.h"

#include <limits>
#include <utility>

#include "core/error.h"
#include "core/error_msg.h"
#include "model_file/json_reader.h"
#include "model_file/json_writer.h"
#include "model_file/utf8.h"
#include "uplift_random_forest/forest_model_file.h"

namespace corvane {

namespace {

using model_file::JsonReader;
using model_file::JsonWriter;

constexpr std::string_view kFeatures = "features";
constexpr std::string_view kNodeCounts = "node_counts";
constexpr std::string_view kKind = "kind";
constexpr std::string_view kCategories = "categories";
constexpr auto kKindNames = words_of_kinds<&FeatureKindWords::name>();

// The fields text without its braces, as members to splice in.
std::string_view inner_members(std::string_view fields) {
  if (fields.size() < 2 || fields.front() != '{' || fields.back() != '}')
    fail(msg::estimator_part_damaged("its own fields are no JSON object"));
  return fields.substr(1, fields.size() - 2);
}

// The statistics of a binary outcome, as "node_counts": [n, y] per group.
void write_node_stats(JsonWriter& out, const std::vector<BinaryStats>& stats) {
  out.begin_array();
  for (const BinaryStats& g : stats) {
    out.value_i64(g.n);
    out.value_i64(g.y);
  }
  out.end_array();
}

void write_part(JsonWriter& out, const EstimatorPart& part, std::string_view members) {
  out.key(part.member);
  out.begin_object();
  out.members_raw(members);
  out.key(kFeatures);
  out.begin_array();
  for (const FeatureInfo& info : part.features) {
    out.begin_object();
    out.key(kKind);
    if (info.kind)
      out.value_string(feature_kind_name(*info.kind));
    else
      out.value_raw("null");
    if (info.kind == FeatureKind::kCategorical) {
      out.key(kCategories);
      out.begin_array();
      for (const std::string& text : info.categories) out.value_string(text);
      out.end_array();
    }
    out.end_object();
  }
  out.end_array();
  if (!part.node_stats.empty()) {
    out.key(kNodeCounts);
    out.begin_array();
    for (const NodeStats& stats : part.node_stats)
      std::visit([&](const auto& s) { write_node_stats(out, s); }, stats);
    out.end_array();
  }
  out.end_object();
}

// Plain words rather than a JSON fault with its position: the text is well
// formed, only not what the estimator wrote.
[[noreturn]] void damaged(JsonReader&, std::string_view what) {
  fail(msg::estimator_part_damaged(what));
}

std::vector<FeatureInfo> read_features(JsonReader& in) {
  std::vector<FeatureInfo> features;
  if (in.peek_value() != JsonReader::Kind::Array) damaged(in, "\"features\" is no array");
  in.begin_array("a sequence");
  std::string key;
  while (in.next_element()) {
    if (in.peek_value() != JsonReader::Kind::Object)
      damaged(in, "an entry of \"features\" is no object");
    FeatureInfo info;
    bool has_kind = false;
    in.begin_object("a feature");
    while (in.next_member(key)) {
      if (key == kKind) {
        has_kind = true;
        const JsonReader::Kind kind = in.peek_value();
        if (kind == JsonReader::Kind::Null) {
          in.skip_value();
          continue;
        }
        if (kind != JsonReader::Kind::String) damaged(in, "a feature's \"kind\" is no string");
        info.kind = feature_kind_called(in.read_string());
        if (!info.kind) damaged(in, msg::unknown_feature_kind(kKindNames));
      } else if (key == kCategories) {
        if (in.peek_value() != JsonReader::Kind::Array)
          damaged(in, "a feature's \"categories\" is no array");
        in.begin_array("a sequence");
        while (in.next_element()) {
          if (in.peek_value() != JsonReader::Kind::String)
            damaged(in, "a category of a feature is no string");
          info.categories.push_back(in.read_string());
        }
      } else {
        in.skip_value();
      }
    }
    if (!has_kind) damaged(in, "a feature has no \"kind\"");
    if (info.kind != FeatureKind::kCategorical && !info.categories.empty())
      damaged(in, "a feature that is not categorical has categories");
    features.push_back(std::move(info));
  }
  return features;
}

std::vector<std::vector<std::int32_t>> read_node_counts(JsonReader& in) {
  std::vector<std::vector<std::int32_t>> trees;
  if (in.peek_value() != JsonReader::Kind::Array) damaged(in, "\"node_counts\" is no array");
  in.begin_array("a sequence");
  while (in.next_element()) {
    if (in.peek_value() != JsonReader::Kind::Array)
      damaged(in, "an entry of \"node_counts\" is no array");
    std::vector<std::int32_t>& counts = trees.emplace_back();
    in.begin_array("a sequence");
    while (in.next_element()) {
      if (in.peek_value() != JsonReader::Kind::Number) damaged(in, "a node count is no number");
      const std::int32_t c = in.read_i32();
      if (c < 0) damaged(in, "a node count is negative");
      counts.push_back(c);
    }
  }
  return trees;
}

// The flat counts of every tree as its nodes' statistics, checked against
// its stored nodes.
std::vector<NodeStats> node_stats_of(const UpliftRandomForestModel& forest,
                                     std::vector<std::vector<std::int32_t>> counts) {
  if (counts.size() != forest.trees().size())
    fail(msg::estimator_part_damaged("\"node_counts\" holds " + std::to_string(counts.size()) +
                                     " trees but the forest " +
                                     std::to_string(forest.trees().size())));
  std::vector<NodeStats> result;
  result.reserve(counts.size());
  for (std::size_t t = 0; t < counts.size(); ++t) {
    const NodeArray& nodes = forest.trees()[t].nodes;
    std::size_t width = 0;
    for (const TreeNode& node : nodes.nodes()) {
      if (node.is_leaf()) {
        width = 2 * (node.prob.size() + 1);
        break;
      }
    }
    if (nodes.stored() == 0 || counts[t].size() != nodes.stored() * width)
      fail(msg::estimator_part_damaged("the \"node_counts\" of tree " + std::to_string(t) +
                                       " do not match its nodes"));
    std::vector<BinaryStats> stats(counts[t].size() / 2);
    for (std::size_t i = 0; i < stats.size(); ++i)
      stats[i] = {counts[t][2 * i], counts[t][2 * i + 1]};
    result.emplace_back(std::move(stats));
  }
  return result;
}

}  // namespace

EstimatorFile read_estimator_file(std::string_view text, std::string_view member) {
  EstimatorFile file;
  std::optional<std::vector<std::vector<std::int32_t>>> counts;
  try {
    file.forest = parse_forest(text, [&](JsonReader& in, const std::string& key) {
      if (key != member) return false;
      if (file.fields) damaged(in, "it occurs twice");
      if (in.peek_value() != JsonReader::Kind::Object) damaged(in, "it is no JSON object");
      std::string fields;
      JsonWriter out(fields);
      out.begin_object();
      in.begin_object("the estimator's part");
      std::string member;
      while (in.next_member(member)) {
        if (member == kFeatures) {
          file.features = read_features(in);
        } else if (member == kNodeCounts) {
          counts = read_node_counts(in);
        } else {
          // Handed over as they are: the binding's caller reads its own.
          in.peek_value();
          const std::size_t start = in.value_start();
          in.skip_value();
          out.key(member);
          out.value_raw(text.substr(start, in.offset() - start));
        }
      }
      out.end_object();
      file.fields = std::move(fields);
      return true;
    });
  } catch (const model_file::JsonReadError& e) {
    const model_file::TextPosition at = model_file::position_of(text, e.offset());
    fail(msg::model_text_fault(e.message(), at.line, at.column));
  }
  if (counts) file.node_stats = node_stats_of(file.forest, std::move(*counts));
  return file;
}

std::string read_model_text(const std::string& path, const model_file::OnInterrupt& on_interrupt) {
  std::string text = model_file::read_file(path, on_interrupt);
  if (!model_file::is_valid_utf8(text)) fail(msg::kModelTextNotUtf8);
  return text;
}

std::string estimator_file_text(const EstimatorPart& part, std::string_view fields) {
  const std::string_view members = inner_members(fields);
  std::string text;
  model_file::StringSink sink(text);
  write_forest(sink, part.forest, [&](JsonWriter& out) { write_part(out, part, members); });
  sink.flush();
  return text;
}

void save_estimator_file(const std::string& path, const EstimatorPart& part,
                         std::string_view fields, const model_file::OnInterrupt& on_interrupt) {
  const std::string_view members = inner_members(fields);
  save_model_file(part.forest, path, on_interrupt,
                  [&](JsonWriter& out) { write_part(out, part, members); });
}

}  // namespace corvane
