#include "uplift_random_forest/forest_model_file.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "core/error.h"
#include "core/error_msg.h"
#include "model_file/file_io.h"
#include "model_file/json_reader.h"
#include "model_file/json_writer.h"
#include "model_file/record_reader.h"
#include "model_file/utf8.h"
#include "uplift_tree/tree_model_file.h"

namespace corvane {

namespace {

// Members of the forest, in file order (the array form holds them in this order).
enum ForestField : std::size_t {
  kForestNEstimators,
  kForestMaxFeatures,
  kForestMaxDepth,
  kForestMinSampleLeaf,
  kForestEvalFunc,
  kForestMaxBins,
  kForestTreatmentCol,
  kForestOutcomeCol,
  kForestBalance,
  kForestRegularization,
  kForestAlpha,
  kForestTrees,
  kForestFieldCount
};

constexpr std::array<std::string_view, kForestFieldCount> kForestFields = {
    "n_estimators",  "max_features", "max_depth", "min_sample_leaf", "eval_func", "max_bins",
    "treatment_col", "outcome_col",  "balance",   "regularization",  "alpha",     "trees"};

}  // namespace

void write_forest(model_file::OutputSink& sink, const UpliftRandomForestModel& forest,
                  const ExtraMembers& extra) {
  model_file::JsonWriter out(sink);
  out.begin_object();
  out.key(kForestFields[kForestNEstimators]);
  out.value_i64(forest.n_estimators);
  out.key(kForestFields[kForestMaxFeatures]);
  out.value_u64(forest.max_features);
  out.key(kForestFields[kForestMaxDepth]);
  out.value_u64(forest.max_depth);
  out.key(kForestFields[kForestMinSampleLeaf]);
  out.value_u64(forest.min_sample_leaf);
  out.key(kForestFields[kForestEvalFunc]);
  out.value_string(forest.eval_func);
  out.key(kForestFields[kForestMaxBins]);
  out.value_u64(forest.max_bins);
  out.key(kForestFields[kForestTreatmentCol]);
  out.value_string(forest.treatment_col);
  out.key(kForestFields[kForestOutcomeCol]);
  out.value_string(forest.outcome_col);
  out.key(kForestFields[kForestBalance]);
  out.value_bool(forest.balance);
  out.key(kForestFields[kForestRegularization]);
  out.value_bool(forest.regularization);
  out.key(kForestFields[kForestAlpha]);
  out.value_f64(forest.alpha);
  out.key(kForestFields[kForestTrees]);
  out.begin_array();
  for (const auto& tree : forest.trees()) write_tree(out, tree);
  out.end_array();
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
  using model_file::JsonReader;
  UpliftRandomForestModel forest;
  JsonReader in(text);
  model_file::read_record(
      in, "UpliftRandomForestModel", kForestFields,
      [&](std::size_t field) {
        switch (field) {
          case kForestNEstimators:
            forest.n_estimators = in.read_i32();
            break;
          case kForestMaxFeatures:
            forest.max_features = in.read_u64();
            break;
          case kForestMaxDepth:
            forest.max_depth = in.read_u64();
            break;
          case kForestMinSampleLeaf:
            forest.min_sample_leaf = in.read_u64();
            break;
          case kForestEvalFunc:
            in.read_string(forest.eval_func);
            break;
          case kForestMaxBins:
            forest.max_bins = in.read_u64();
            break;
          case kForestTreatmentCol:
            in.read_string(forest.treatment_col);
            break;
          case kForestOutcomeCol:
            in.read_string(forest.outcome_col);
            break;
          case kForestBalance:
            forest.balance = in.read_bool();
            break;
          case kForestRegularization:
            forest.regularization = in.read_bool();
            break;
          case kForestAlpha:
            forest.alpha = in.read_f64();
            break;
          case kForestTrees: {
            std::vector<UpliftTreeModel> trees;
            in.begin_array("a sequence");
            while (in.next_element()) trees.push_back(read_tree(in));
            forest.replace_trees(std::move(trees));
            break;
          }
        }
      },
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
