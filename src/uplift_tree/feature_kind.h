// How a feature's cells are read and tested: as numbers (a split sends a row
// left when its value is at most the threshold) or as categories (left when
// it is the split's category).
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

enum class FeatureKind : std::uint8_t { kNumeric = 0, kCategorical = 1 };

// "numeric" or "categorical", as the estimator writes kinds.
inline std::string_view feature_kind_name(FeatureKind kind) {
  return kind == FeatureKind::kNumeric ? "numeric" : "categorical";
}

}  // namespace corvane
