#include "estimator/estimator_file.h"

#include <cmath>
#include <functional>
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
constexpr std::string_view kNodeRows = "node_rows";
constexpr std::string_view kKind = "kind";
constexpr std::string_view kCategories = "categories";
constexpr auto kKindNames = words_of_kinds<&FeatureKindWords::name>();

// The fields text without its braces, as members to splice in.
std::string_view inner_members(std::string_view fields) {
  if (fields.size() < 2 || fields.front() != '{' || fields.back() != '}')
    fail(msg::estimator_part_damaged("its own fields are no JSON object"));
  return fields.substr(1, fields.size() - 2);
}

// How each outcome statistic goes into the file: under its own member, a
// flat array per tree of its numbers (Stats::to_numbers) per group and
// stored node.
template <class Stats>
struct StatsInFile;

// A 0/1 outcome: [n, y] per group (counts), "node_counts".
template <>
struct StatsInFile<BinaryStats> {
  static constexpr std::string_view kMember = "node_counts", kWord = "node count";
  static constexpr bool kCountsOnly = true;
};

// A real-valued outcome: [n, sum, sum of squares] per group, "node_stats".
template <>
struct StatsInFile<RealStats> {
  static constexpr std::string_view kMember = "node_stats", kWord = "node statistic";
  static constexpr bool kCountsOnly = false;
};

// `text` in double quotes (built by appending: GCC 12 warns of a false
// overlap in "\"" + text).
std::string quoted(std::string_view text) {
  std::string q = "\"";
  q += text;
  q += '"';
  return q;
}

// A group's numbers: counts as integers, sums as floating-point numbers.
template <class Stats>
void write_node_stats(JsonWriter& out, const std::vector<Stats>& stats) {
  out.begin_array();
  double numbers[Stats::kNumbers];
  for (const Stats& g : stats) {
    g.to_numbers(numbers);
    for (std::size_t i = 0; i < Stats::kNumbers; ++i) {
      if (StatsInFile<Stats>::kCountsOnly || i == 0)
        out.value_i64(static_cast<std::int64_t>(numbers[i]));
      else
        out.value_f64(numbers[i]);
    }
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
    std::visit(
        [&]<class Stats>(const std::vector<Stats>&) { out.key(StatsInFile<Stats>::kMember); },
        part.node_stats.front());
    out.begin_array();
    for (const NodeStats& stats : part.node_stats)
      std::visit([&](const auto& s) { write_node_stats(out, s); }, stats);
    out.end_array();
  }
  if (!part.node_rows.empty()) {
    out.key(kNodeRows);
    out.begin_array();
    for (const std::vector<std::uint32_t>& rows : part.node_rows) {
      out.begin_array();
      for (std::uint32_t r : rows) out.value_u64(r);
      out.end_array();
    }
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

// The flat numbers of every tree's node statistics, as written: counts are
// whole numbers from 0 up; sums are finite.
template <class Stats>
std::vector<std::vector<double>> read_node_numbers(JsonReader& in) {
  using File = StatsInFile<Stats>;
  const std::string member = quoted(File::kMember);
  std::string a_word = "a ";
  a_word += File::kWord;
  std::vector<std::vector<double>> trees;
  if (in.peek_value() != JsonReader::Kind::Array) damaged(in, member + " is no array");
  in.begin_array("a sequence");
  while (in.next_element()) {
    if (in.peek_value() != JsonReader::Kind::Array)
      damaged(in, "an entry of " + member + " is no array");
    std::vector<double>& numbers = trees.emplace_back();
    in.begin_array("a sequence");
    while (in.next_element()) {
      if (in.peek_value() != JsonReader::Kind::Number) damaged(in, a_word + " is no number");
      const bool count = File::kCountsOnly || numbers.size() % Stats::kNumbers == 0;
      if (count) {
        const std::int32_t c = in.read_i32();
        if (c < 0) damaged(in, a_word + " is negative");
        numbers.push_back(c);
      } else {
        const double v = in.read_f64();
        if (!std::isfinite(v)) damaged(in, a_word + " is no finite number");
        numbers.push_back(v);
      }
    }
  }
  return trees;
}

// The flat numbers of every tree as its nodes' statistics, checked against
// its stored nodes.
template <class Stats>
std::vector<NodeStats> node_stats_of(const UpliftRandomForestModel& forest,
                                     const std::vector<std::vector<double>>& numbers) {
  using File = StatsInFile<Stats>;
  const std::string member = quoted(File::kMember);
  if (numbers.size() != forest.trees().size())
    fail(msg::estimator_part_damaged(member + " holds " + std::to_string(numbers.size()) +
                                     " trees but the forest " +
                                     std::to_string(forest.trees().size())));
  std::vector<NodeStats> result;
  result.reserve(numbers.size());
  for (std::size_t t = 0; t < numbers.size(); ++t) {
    const NodeArray& nodes = forest.trees()[t].nodes;
    std::size_t width = 0;
    for (const TreeNode& node : nodes.nodes()) {
      if (node.is_leaf()) {
        width = Stats::kNumbers * (node.prob.size() + 1);
        break;
      }
    }
    if (nodes.stored() == 0 || numbers[t].size() != nodes.stored() * width)
      fail(msg::estimator_part_damaged("the " + member + " of tree " + std::to_string(t) +
                                       " do not match its nodes"));
    std::vector<Stats> stats(numbers[t].size() / Stats::kNumbers);
    for (std::size_t i = 0; i < stats.size(); ++i)
      stats[i] = Stats::from_numbers(numbers[t].data() + i * Stats::kNumbers);
    result.emplace_back(std::move(stats));
  }
  return result;
}

// The rows that reached each stored node, a list per tree.
std::vector<std::vector<std::uint32_t>> read_node_rows(JsonReader& in) {
  std::vector<std::vector<std::uint32_t>> trees;
  if (in.peek_value() != JsonReader::Kind::Array) damaged(in, "\"node_rows\" is no array");
  in.begin_array("a sequence");
  while (in.next_element()) {
    if (in.peek_value() != JsonReader::Kind::Array)
      damaged(in, "an entry of \"node_rows\" is no array");
    std::vector<std::uint32_t>& rows = trees.emplace_back();
    in.begin_array("a sequence");
    while (in.next_element()) {
      if (in.peek_value() != JsonReader::Kind::Number) damaged(in, "a node's rows are no number");
      const std::int32_t r = in.read_i32();
      if (r < 0) damaged(in, "a node's rows are negative");
      rows.push_back(static_cast<std::uint32_t>(r));
    }
  }
  return trees;
}

}  // namespace

EstimatorFile read_estimator_file(std::string_view text, std::string_view member) {
  EstimatorFile file;
  // Read after the trees, which they are checked against.
  std::function<std::vector<NodeStats>(const UpliftRandomForestModel&)> stats_of;
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
        } else if (member == kNodeRows) {
          file.node_rows = read_node_rows(in);
        } else if (member == StatsInFile<BinaryStats>::kMember ||
                   member == StatsInFile<RealStats>::kMember) {
          if (stats_of) damaged(in, "it holds node statistics twice");
          const bool binary = member == StatsInFile<BinaryStats>::kMember;
          auto numbers =
              binary ? read_node_numbers<BinaryStats>(in) : read_node_numbers<RealStats>(in);
          stats_of = [binary, numbers = std::move(numbers)](const UpliftRandomForestModel& f) {
            return binary ? node_stats_of<BinaryStats>(f, numbers)
                          : node_stats_of<RealStats>(f, numbers);
          };
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
  if (stats_of) file.node_stats = stats_of(file.forest);
  if (!file.node_rows.empty()) {
    const std::vector<UpliftTreeModel>& trees = file.forest.trees();
    if (file.node_rows.size() != trees.size())
      fail(msg::estimator_part_damaged("\"node_rows\" holds " +
                                       std::to_string(file.node_rows.size()) +
                                       " trees but the forest " + std::to_string(trees.size())));
    for (std::size_t t = 0; t < trees.size(); ++t)
      if (file.node_rows[t].size() != trees[t].nodes.stored())
        fail(msg::estimator_part_damaged("the \"node_rows\" of tree " + std::to_string(t) +
                                         " do not match its nodes"));
  }
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
