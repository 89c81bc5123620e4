#include "uplift_random_forest/forest_model_file.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "core/error.h"
#include "core/error_msg.h"
#include "model_file/file_io.h"
#include "model_file/json_reader.h"
#include "model_file/json_writer.h"
#include "model_file/record_table.h"
#include "model_file/utf8.h"
#include "uplift_tree/tree_model_file.h"

namespace corvane {

namespace {

using model_file::JsonReader;
using model_file::JsonWriter;
using model_file::member;
using model_file::RecordField;

void write_trees(JsonWriter& out, const UpliftRandomForestModel& forest) {
  out.begin_array();
  for (const UpliftTreeModel& tree : forest.trees()) write_tree(out, tree);
  out.end_array();
}

void read_trees(JsonReader& in, UpliftRandomForestModel& forest) {
  std::vector<UpliftTreeModel> trees;
  in.begin_array("a sequence");
  while (in.next_element()) trees.push_back(read_tree(in));
  forest.replace_trees(std::move(trees));
}

// Members of the forest, in file order (the array form holds them in this
// order); hyper-parameters are named as their table declares them.
constexpr std::array<RecordField<UpliftRandomForestModel>, 12> kForestFields = {{
    member<&UpliftRandomForestModel::n_estimators, UpliftRandomForestModel>(
        parameter_name("n_estimators")),
    member<&UpliftRandomForestModel::max_features, UpliftRandomForestModel>(
        parameter_name("max_features")),
    member<&UpliftRandomForestModel::max_depth, UpliftRandomForestModel>(
        parameter_name("max_depth")),
    member<&UpliftRandomForestModel::min_sample_leaf, UpliftRandomForestModel>(
        parameter_name("min_sample_leaf")),
    member<&UpliftRandomForestModel::eval_func, UpliftRandomForestModel>(
        parameter_name("eval_func")),
    member<&UpliftRandomForestModel::max_bins, UpliftRandomForestModel>(parameter_name("max_bins")),
    member<&UpliftRandomForestModel::treatment_col>("treatment_col"),
    member<&UpliftRandomForestModel::outcome_col>("outcome_col"),
    member<&UpliftRandomForestModel::balance, UpliftRandomForestModel>(parameter_name("balance")),
    member<&UpliftRandomForestModel::regularization, UpliftRandomForestModel>(
        parameter_name("regularization")),
    member<&UpliftRandomForestModel::alpha, UpliftRandomForestModel>(parameter_name("alpha")),
    {"trees", write_trees, read_trees},
}};

}  // namespace

void write_forest(model_file::OutputSink& sink, const UpliftRandomForestModel& forest,
                  const ExtraMembers& extra) {
  JsonWriter out(sink);
  out.begin_object();
  model_file::write_fields(out, forest, kForestFields);
  if (extra) extra(out);
  out.end_object();
}

void save_model_file(const UpliftRandomForestModel& forest, const std::string& path,
                     const model_file::OnInterrupt& on_interrupt, const ExtraMembers& extra) {
  // Measured first, so that a file that cannot fit is refused before a
  // byte is written; deep trees make this matter (their unreached
  // positions are counted, not produced).
  model_file::CountingSink counter;
  write_forest(counter, forest, extra);
  counter.flush();
  model_file::write_file(
      path, {counter.bytes(), counter.overflowed()},
      [&](model_file::OutputSink& sink) { write_forest(sink, forest, extra); }, on_interrupt);
}

UpliftRandomForestModel parse_forest(std::string_view text, const UnknownMember& unknown) {
  UpliftRandomForestModel forest;
  JsonReader in(text);
  model_file::read_record(in, "UpliftRandomForestModel", kForestFields, forest,
                          [&](const std::string& key) { return unknown && unknown(in, key); });
  in.finish();
  return forest;
}

UpliftRandomForestModel forest_from_json(std::string_view text, const UnknownMember& unknown) {
  try {
    return parse_forest(text, unknown);
  } catch (const model_file::JsonReadError& e) {
    fail(msg::unwrap_err(model_file::render_fault(text, e)));
  }
}

UpliftRandomForestModel load_model_file(const std::string& path,
                                        const model_file::OnInterrupt& on_interrupt) {
  const std::string text = model_file::read_file(path, on_interrupt);
  if (!model_file::is_valid_utf8(text)) fail(msg::unwrap_err(msg::kInvalidUtf8));
  return forest_from_json(text);
}

}  // namespace corvane
