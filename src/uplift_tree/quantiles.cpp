#include "uplift_tree/quantiles.h"

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

std::uint64_t quantile_position(std::uint64_t i, std::uint64_t m, std::uint64_t bins) {
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(i) * m / bins);
}

// Rearranges [first, last) so that each listed position (ascending, distinct,
// relative to `base`) holds the value it would hold if the range were sorted.
void select_positions(float* first, float* last, const std::uint64_t* pos_first,
                      const std::uint64_t* pos_last, std::uint64_t base) {
  if (pos_first == pos_last || last - first < 2) return;
  const std::uint64_t* mid = pos_first + (pos_last - pos_first) / 2;
  float* nth = first + (*mid - base);
  std::nth_element(first, nth, last);
  select_positions(first, nth, pos_first, mid, base);
  select_positions(nth + 1, last, mid + 1, pos_last, *mid + 1);
}

}  // namespace

void quantile_thresholds(std::vector<float>& values, std::uint64_t max_bins,
                         std::vector<std::uint64_t>& positions, std::vector<float>& thresholds) {
  thresholds.clear();
  const std::uint64_t m = values.size();
  if (max_bins < 2 || m == 0) return;
  const auto numbers_end =
      std::partition(values.begin(), values.end(), [](float v) { return !std::isnan(v); });
  const std::uint64_t numbers = static_cast<std::uint64_t>(numbers_end - values.begin());

  // With more bins than values every position 0 .. m-1 is a quantile
  // position (some several times); walking the positions costs O(m) however
  // large max_bins is.
  const bool every_position = max_bins > 4 * m + 4;
  positions.clear();
  if (every_position) {
    for (std::uint64_t p = 0; p < numbers; ++p) positions.push_back(p);
  } else {
    for (std::uint64_t i = 1; i < max_bins; ++i) {
      const std::uint64_t p = quantile_position(i, m, max_bins);
      if (p < numbers && (positions.empty() || positions.back() != p)) positions.push_back(p);
    }
  }

  // The value at a sorted position is the same however ties are ordered, so
  // for a few positions selecting them beats sorting everything.
  if (positions.size() * 16 < numbers)
    select_positions(values.data(), values.data() + numbers, positions.data(),
                     positions.data() + positions.size(), 0);
  else
    std::sort(values.begin(), numbers_end);

  for (std::uint64_t p : positions) {
    const float v = values[p];
    if (!thresholds.empty() && thresholds.back() == v) continue;
    thresholds.push_back(v);
  }
}

}  // namespace corvane
