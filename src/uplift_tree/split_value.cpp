#include "uplift_tree/split_value.h"

#include <bit>
#include <cstdint>

namespace corvane {

bool SplitValue::identical(const SplitValue& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case FeatureKind::kNumeric:
      return std::bit_cast<std::uint32_t>(number()) == std::bit_cast<std::uint32_t>(other.number());
    case FeatureKind::kCategorical:
      return text() == other.text();
  }
  return false;
}

}  // namespace corvane
