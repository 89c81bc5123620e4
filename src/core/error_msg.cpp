#include "core/error_msg.h"

#include <cstdio>
#include <initializer_list>
#include <iterator>

namespace corvane::msg {

namespace {

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string text;
  text.reserve(size);
  for (std::string_view part : parts) text.append(part);
  return text;
}

}  // namespace

std::string unwrap_err(std::string_view detail) {
  return concat({"called `Result::unwrap()` on an `Err` value: ", detail});
}

std::string bad_column_type(std::string_view column) {
  return concat({"BAD type of column: ", column});
}

std::string index_out_of_bounds_signed(std::uint64_t len, std::int64_t index) {
  return concat({"index out of bounds: the len is ", std::to_string(len), " but the index is ",
                 std::to_string(index)});
}

std::string index_out_of_bounds_unsigned(std::uint64_t len, std::uint64_t index) {
  return concat({"index out of bounds: the len is ", std::to_string(len), " but the index is ",
                 std::to_string(index)});
}

std::string negative_treatment_code(std::string_view treatment_col, std::int64_t code) {
  return concat({"treatment column '", treatment_col, "' holds the negative treatment code ",
                 std::to_string(code),
                 "; treatment codes are 0 for the control group and 1, 2, ... for the "
                 "treatments"});
}

std::string column_length_mismatch(std::string_view column, std::size_t length,
                                   std::string_view treatment_col, std::size_t rows) {
  return concat({"column '", column, "' has ", std::to_string(length),
                 " values but treatment column '", treatment_col, "' has ", std::to_string(rows),
                 "; every column needs one value per row"});
}

std::string human_size(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1000) return concat({std::to_string(bytes), " bytes"});
  double value = static_cast<double>(bytes) / 1000.0;
  std::size_t unit = 0;
  while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 9.95 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text;
}

std::string model_file_too_large(std::uint64_t bytes, std::string_view dir,
                                 std::uint64_t free_bytes) {
  return concat({"the model file would take ", human_size(bytes), " (", std::to_string(bytes),
                 " bytes) but the file system holding '", dir, "' has only ",
                 human_size(free_bytes), " free; nothing was written"});
}

std::string model_file_size_overflow() {
  return concat({"the model file would take more than ", std::to_string(UINT64_MAX),
                 " bytes, more than any file system can hold; nothing was written"});
}

std::string stream_not_a_model(std::string_view path, std::uint64_t bytes) {
  return concat({"'", path, "' is not a regular file, and the first ", std::to_string(bytes),
                 " bytes it gave cannot begin a model file (which begins with '{' or '['); "
                 "stopped reading"});
}

std::string stream_too_long(std::string_view path, std::uint64_t limit) {
  return concat({"'", path, "' is not a regular file and gave more than ", std::to_string(limit),
                 " bytes (", human_size(limit),
                 ") without ending, more than a model file read from a stream may take; stopped "
                 "reading"});
}

std::string max_depth_too_large(std::uint64_t max_depth) {
  return concat({"max_depth ", std::to_string(max_depth),
                 " is too large: a tree of that depth has more than 2^64 node positions, which "
                 "no memory can hold; use a max_depth of at most 63"});
}

std::string invalid_type(std::string_view found, std::string_view expected) {
  return concat({"invalid type: ", found, ", expected ", expected});
}

std::string invalid_value(std::string_view found, std::string_view expected) {
  return concat({"invalid value: ", found, ", expected ", expected});
}

std::string duplicate_field(std::string_view key) {
  return concat({"duplicate field `", key, "`"});
}

std::string missing_field(std::string_view key) { return concat({"missing field `", key, "`"}); }

std::string struct_too_short(std::size_t length, std::string_view record, std::size_t fields) {
  return concat({"invalid length ", std::to_string(length), ", expected struct ", record, " with ",
                 std::to_string(fields), " elements"});
}

std::string unknown_variant(std::string_view name, std::span<const std::string_view> variants) {
  std::string text = concat({"unknown variant `", name, "`, "});
  if (variants.empty()) return text + "there are no variants";
  text += variants.size() <= 2 ? "expected " : "expected one of ";
  for (std::size_t i = 0; i < variants.size(); ++i) {
    const char* before = i == 0 ? "`" : variants.size() == 2 ? " or `" : ", `";
    text += concat({before, variants[i], "`"});
  }
  return text;
}

std::string outcome_not_binary(std::string_view outcome_col, std::int64_t value) {
  return concat({"outcome column '", outcome_col, "' holds the value ", std::to_string(value),
                 "; outcomes must be 0 or 1"});
}

std::string outcome_not_finite(std::string_view outcome_col, std::size_t row, double value) {
  const char* what = value != value ? "NaN" : value > 0 ? "inf" : "-inf";
  return concat({"outcome column '", outcome_col, "' holds ", what, " in row ", std::to_string(row),
                 "; outcomes must be finite numbers"});
}

std::string criterion_needs_binary(std::string_view name) {
  return concat({"criterion ", name,
                 " does not apply to a real-valued outcome: it compares rates of a 0/1 outcome; "
                 "ED or CTS compare means"});
}

std::string treatment_code_missing(std::string_view treatment_col, std::int64_t code) {
  return concat({"treatment column '", treatment_col, "' has no rows with treatment code ",
                 std::to_string(code),
                 "; treatment codes must run 0, 1, 2, ... without gaps, with 0 for the control "
                 "group"});
}

namespace {

// ['a', 'b'], as Python shows a list of names.
std::string name_list(const std::vector<std::string>& names) {
  std::string text = "[";
  for (std::size_t i = 0; i < names.size(); ++i) text += concat({i ? ", '" : "'", names[i], "'"});
  return text + "]";
}

}  // namespace

std::string features_differ(const std::vector<std::string>& held,
                            const std::vector<std::string>& given) {
  return concat({"the model holds trees trained on features ", name_list(held),
                 " but fit was given ", name_list(given),
                 "; fit a new model to train on other features"});
}

std::string treatment_groups_differ(std::int64_t held, std::int64_t given) {
  return concat({"the model holds trees trained on treatment codes 0 to ", std::to_string(held),
                 " but fit was given codes 0 to ", std::to_string(given),
                 "; fit a new model to train on other treatment groups"});
}

std::string start_training(std::int32_t n_threads) {
  return concat({"Start training with ", std::to_string(n_threads), " threads..."});
}

std::string tree_finished(std::size_t k) {
  return concat({"Tree [", std::to_string(k), "] is finished!"});
}

std::string model_text_fault(std::string_view fault, std::size_t line, std::size_t column) {
  return "the text is no model file: " + std::string(fault) + " (line " + std::to_string(line) +
         ", column " + std::to_string(column) + ")";
}

std::string trees_disagree(std::string_view what) {
  return "the trees of the model disagree on " + std::string(what);
}

std::string estimator_part_damaged(std::string_view what) {
  return "the estimator's part of the model file is damaged: " + std::string(what);
}

std::string feature_kind_conflict(std::size_t index, std::string_view name) {
  return "feature " + std::to_string(index) + " ('" + std::string(name) +
         "') is tested both as numbers and as categories";
}

std::string unknown_feature_kind(std::span<const std::string_view> names) {
  std::string text = "a feature's \"kind\" is neither";
  for (std::size_t i = 0; i < names.size(); ++i)
    text += concat({i == 0 ? " \"" : " nor \"", names[i], "\""});
  return text;
}

std::string tree_not_explainable(std::size_t index, std::string_view why) {
  return "tree " + std::to_string(index) + " cannot be explained: " + std::string(why);
}

std::string unknown_importance_type(std::string_view type) {
  return "unknown importance type '" + std::string(type) + "'; expected 'gain' or 'split'";
}

std::string duplicate_category(std::string_view name, std::string_view text) {
  return "category '" + std::string(text) + "' occurs twice among the categories of feature '" +
         std::string(name) + "'";
}

}  // namespace corvane::msg
