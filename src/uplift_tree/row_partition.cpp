#include "uplift_tree/row_partition.h"

namespace corvane {

std::vector<std::uint32_t>& partition_scratch() {
  thread_local std::vector<std::uint32_t> scratch;
  return scratch;
}

}  // namespace corvane
