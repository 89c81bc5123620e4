// A cell of a prediction row and the value a split tests: a 32-bit number or
// a category string.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "uplift_tree/feature_kind.h"

namespace corvane {

class SplitValue {
 public:
  SplitValue() : value_(0.0f) {}
  static SplitValue numeric(float v) { return SplitValue(v); }
  static SplitValue str(std::string s) { return SplitValue(std::move(s)); }

  FeatureKind kind() const { return static_cast<FeatureKind>(value_.index()); }
  bool is_numeric() const { return kind() == FeatureKind::kNumeric; }
  float number() const { return std::get<0>(value_); }
  const std::string& text() const { return std::get<1>(value_); }

  // Same variant and same payload bits (so 0.0 and -0.0 differ, as in files).
  bool identical(const SplitValue& other) const;

 private:
  explicit SplitValue(float v) : value_(v) {}
  explicit SplitValue(std::string s) : value_(std::move(s)) {}
  // Alternatives in FeatureKind's order.
  std::variant<float, std::string> value_;
  static_assert(std::variant_size_v<decltype(value_)> == kFeatureKinds.size());
  static_assert(FeatureKind::kNumeric == FeatureKind{0} &&
                FeatureKind::kCategorical == FeatureKind{1});
};

}  // namespace corvane
