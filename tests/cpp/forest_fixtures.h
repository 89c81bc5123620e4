// What the forest tests (and the walk benchmark) build alike: a progress sink
// that drops every line, features added to a column store, and a forest with
// the hyper-parameters a test names, trained or not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model_file/output_sink.h"
#include "uplift_random_forest/forest.h"
#include "uplift_random_forest/forest_model_file.h"

namespace corvane::test {

class SilentSink : public ProgressSink {
 public:
  void print(std::string_view) override {}
};

// Adds feature `name` with no rows yet, after those `raw` has.
inline void add_numeric(RawData& raw, std::string name) {
  raw.num_cols.emplace_back();
  raw.col_index[name] = raw.last_column(FeatureKind::kNumeric);
  raw.col_names.push_back(std::move(name));
}
inline void add_categorical(RawData& raw, std::string name, std::vector<std::string> categories) {
  raw.str_cols.emplace_back().categories = std::move(categories);
  raw.col_index[name] = raw.last_column(FeatureKind::kCategorical);
  raw.col_names.push_back(std::move(name));
}

struct ForestSettings {
  std::int32_t n_estimators;
  std::uint64_t max_features;
  std::uint64_t max_depth;
  std::uint64_t min_sample_leaf;
  std::string eval_func;
  std::uint64_t max_bins;
};

inline UpliftRandomForestModel forest_with(const ForestSettings& s) {
  UpliftRandomForestModel forest;
  forest.n_estimators = s.n_estimators;
  forest.max_features = s.max_features;
  forest.max_depth = s.max_depth;
  forest.min_sample_leaf = s.min_sample_leaf;
  forest.eval_func = s.eval_func;
  forest.max_bins = s.max_bins;
  return forest;
}

// forest_with(settings) fit on `raw` (treatment "t", outcome "y") quietly.
inline UpliftRandomForestModel trained_forest(const ForestSettings& settings, const RawData& raw,
                                              std::int32_t threads,
                                              const TrainingOptions& options = {}) {
  UpliftRandomForestModel forest = forest_with(settings);
  SilentSink sink;
  forest.fit([&] { return raw; }, "t", "y", threads, sink, options);
  return forest;
}

// The forest's model-file text, to compare forests by.
inline std::string text_of(const UpliftRandomForestModel& forest) {
  std::string text;
  model_file::StringSink sink(text);
  write_forest(sink, forest);
  sink.flush();
  return text;
}

}  // namespace corvane::test
