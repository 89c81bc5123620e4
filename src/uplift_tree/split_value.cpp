#include "uplift_tree/split_value.h"

#include <bit>
#include <cstdint>

namespace corvane {

bool SplitValue::identical(const SplitValue& other) const {
  if (is_numeric() != other.is_numeric()) return false;
  if (is_numeric())
    return std::bit_cast<std::uint32_t>(number()) == std::bit_cast<std::uint32_t>(other.number());
  return text() == other.text();
}

}  // namespace corvane
