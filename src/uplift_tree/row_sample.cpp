#include "uplift_tree/row_sample.h"

#include <bit>

namespace corvane {

void draw_sample(std::span<const std::uint32_t> rows, std::uint64_t m, Rng& rng,
                 std::vector<std::uint64_t>& taken, std::vector<std::uint32_t>& sample) {
  sample.clear();
  const std::uint64_t n = rows.size();
  if (m == n) {
    sample.assign(rows.begin(), rows.end());
    return;
  }
  // Floyd's algorithm: m draws, a bitset to reject repeats. The sample is
  // then read off the bitset in row order, so that gathering its cells walks
  // the columns forwards instead of jumping around them.
  taken.assign((n + 63) / 64, 0);
  for (std::uint64_t j = n - m; j < n; ++j) {
    std::uint64_t t = rng.between(0, j);
    if (taken[t / 64] >> (t % 64) & 1) t = j;
    taken[t / 64] |= std::uint64_t{1} << (t % 64);
  }
  sample.reserve(m);
  for (std::size_t w = 0; w < taken.size(); ++w)
    for (std::uint64_t bits = taken[w]; bits != 0; bits &= bits - 1)
      sample.push_back(rows[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))]);
}

}  // namespace corvane
