// Candidate thresholds of a numeric feature: sample quantiles.
#pragma once

#include <cstdint>
#include <vector>

namespace corvane {

// The values at sorted positions floor(i * m / max_bins), i = 1 .. max_bins-1,
// of the m sample values, ascending with repeats removed. A NaN sorts after
// every number; thresholds taken from there are left out, since a NaN
// threshold sends no row left and so can never be a split. `values` is
// reordered; `positions` is scratch space.
void quantile_thresholds(std::vector<float>& values, std::uint64_t max_bins,
                         std::vector<std::uint64_t>& positions, std::vector<float>& thresholds);

}  // namespace corvane
