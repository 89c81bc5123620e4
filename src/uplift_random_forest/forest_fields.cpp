#include "uplift_random_forest/forest_fields.h"

#include "lib/error.h"
#include "model_file/file_io.h"
#include "lib/messages.h"
#include "model_file/json_reader.h"
#include "model_file/json_writer.h"
#include "model_file/record_reader.h"
#include "model_file/utf8.h"
#include "uplift_tree/tree_fields.h"

namespace corvane {

void write_forest(model_file::OutputSink& sink, const UpliftRandomForestModel& forest) {
  model_file::JsonWriter out(sink);
  out.begin_object();
  out.key(kForestFields[0]);
  out.value_i64(forest.n_estimators);
  out.key(kForestFields[1]);
  out.value_u64(forest.max_features);
  out.key(kForestFields[2]);
  out.value_u64(forest.max_depth);
  out.key(kForestFields[3]);
  out.value_u64(forest.min_sample_leaf);
  out.key(kForestFields[4]);
  out.value_string(forest.eval_func);
  out.key(kForestFields[5]);
  out.value_u64(forest.max_bins);
  out.key(kForestFields[6]);
  out.value_string(forest.treatment_col);
  out.key(kForestFields[7]);
  out.value_string(forest.outcome_col);
  out.key(kForestFields[8]);
  out.value_bool(forest.balance);
  out.key(kForestFields[9]);
  out.value_bool(forest.regularization);
  out.key(kForestFields[10]);
  out.value_f64(forest.alpha);
  out.key(kForestFields[11]);
  out.begin_array();
  for (const auto& tree : forest.trees) write_tree(out, tree);
  out.end_array();
  out.end_object();
}

void save_model_file(const UpliftRandomForestModel& forest, const std::string& path,
                     const model_file::OnInterrupt& on_interrupt) {
  // Measured first, so that a file that cannot fit is refused before a
  // byte is written; deep trees make this matter (their unreached
  // positions are counted, not produced).
  model_file::CountingSink counter;
  write_forest(counter, forest);
  counter.flush();
  model_file::write_file(
      path, {counter.bytes(), counter.overflowed()},
      [&](model_file::OutputSink& sink) { write_forest(sink, forest); }, on_interrupt);
}

UpliftRandomForestModel forest_from_json(std::string_view text) {
  using model_file::JsonReader;
  UpliftRandomForestModel forest;
  JsonReader in(text);
  try {
    model_file::read_record(in, "UpliftRandomForestModel", kForestFields, [&](std::size_t field) {
      switch (field) {
        case 0:
          forest.n_estimators = in.read_i32();
          break;
        case 1:
          forest.max_features = in.read_u64();
          break;
        case 2:
          forest.max_depth = in.read_u64();
          break;
        case 3:
          forest.min_sample_leaf = in.read_u64();
          break;
        case 4:
          in.read_string(forest.eval_func);
          break;
        case 5:
          forest.max_bins = in.read_u64();
          break;
        case 6:
          in.read_string(forest.treatment_col);
          break;
        case 7:
          in.read_string(forest.outcome_col);
          break;
        case 8:
          forest.balance = in.read_bool();
          break;
        case 9:
          forest.regularization = in.read_bool();
          break;
        case 10:
          forest.alpha = in.read_f64();
          break;
        case 11:
          forest.trees.clear();
          in.begin_array("a sequence");
          while (in.next_element()) forest.trees.push_back(read_tree(in));
          break;
      }
    });
    in.finish();
  } catch (const model_file::JsonReadError& e) {
    fail(msg::kUnwrapErrPrefix + model_file::render_fault(text, e));
  }
  return forest;
}

UpliftRandomForestModel load_model_file(const std::string& path,
                                        const model_file::OnInterrupt& on_interrupt) {
  const std::string text = model_file::read_file(path, on_interrupt);
  if (!model_file::is_valid_utf8(text))
    fail(std::string(msg::kUnwrapErrPrefix) + msg::kInvalidUtf8);
  return forest_from_json(text);
}

}  // namespace corvane
