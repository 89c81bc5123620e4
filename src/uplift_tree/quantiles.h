// Candidate thresholds of a numeric feature: sample quantiles.
#pragma once

#include <cstdint>
#include <vector>

namespace corvane {

// Reusable buffers of quantile_thresholds (one per thread).
struct QuantileScratch {
  std::vector<std::uint64_t> positions;
  std::vector<std::uint32_t> keys;
  std::vector<std::uint32_t> spare;
};

// The values at sorted positions floor(i * m / max_bins), i = 1 .. max_bins-1,
// of the m sample values, ascending with repeats removed. A NaN sorts after
// every number; thresholds taken from there are left out, since a NaN
// threshold sends no row left and so can never be a split. Infinite values
// keep their places in the order but are never taken as thresholds.
// `values` is reordered.
void quantile_thresholds(std::vector<float>& values, std::uint64_t max_bins,
                         QuantileScratch& scratch, std::vector<float>& thresholds);

}  // namespace corvane
