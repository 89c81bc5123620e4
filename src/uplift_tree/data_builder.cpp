#include "uplift_tree/data_builder.h"

#include <utility>

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane {

namespace {

void check_length(std::string_view name, std::size_t length, std::string_view treatment_col,
                  std::size_t rows) {
  if (length != rows) fail(msg::column_length_mismatch(name, length, treatment_col, rows));
}

}  // namespace

void TrainingDataBuilder::add_numeric(std::string name, std::vector<float> values) {
  if (raw_.binned()) fail("numeric features are either all binned or none");
  raw_.num_cols.push_back(std::move(values));
  raw_.col_index[name] = raw_.last_column(FeatureKind::kNumeric);
  raw_.col_names.push_back(std::move(name));
}

void TrainingDataBuilder::add_binned(std::string name, BinnedColumn column) {
  if (!raw_.num_cols.empty()) fail("numeric features are either all binned or none");
  raw_.bin_cols.push_back(std::move(column));
  raw_.col_index[name] = raw_.last_column(FeatureKind::kNumeric);
  raw_.col_names.push_back(std::move(name));
}

void TrainingDataBuilder::add_categorical(std::string name, StrColumn column) {
  raw_.str_cols.push_back(std::move(column));
  raw_.col_index[name] = raw_.last_column(FeatureKind::kCategorical);
  raw_.col_names.push_back(std::move(name));
}

RawData TrainingDataBuilder::finish(std::string_view treatment_col, std::string_view outcome_col) {
  RawData raw = std::exchange(raw_, RawData());
  if (raw.treatment.empty()) fail(msg::kUnwrapNone);
  std::int32_t max_treatment = raw.treatment[0];
  for (std::int32_t t : raw.treatment) {
    if (t < 0) fail(msg::negative_treatment_code(treatment_col, t));
    if (t > max_treatment) max_treatment = t;
  }
  raw.max_treatment = max_treatment;
  const std::size_t rows = raw.treatment.size();
  for (const std::string& name : raw.col_names) {
    const ColumnRef column = raw.col_index.at(name);
    switch (column.kind) {
      case FeatureKind::kNumeric:
        check_length(name,
                     raw.binned() ? raw.bins(column).codes.size() : raw.numbers(column).size(),
                     treatment_col, rows);
        break;
      case FeatureKind::kCategorical:
        check_length(name, raw.categories(column).codes.size(), treatment_col, rows);
        break;
    }
  }
  check_length(outcome_col, raw.real ? raw.real_outcome.size() : raw.outcome.size(), treatment_col,
               rows);
  return raw;
}

}  // namespace corvane
