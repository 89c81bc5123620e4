// Candidate thresholds against a plain reference: sort everything, take the
// value at every quantile position one by one, drop consecutive repeats.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "check.h"
#include "uplift_tree/quantiles.h"

namespace {

using corvane::quantile_thresholds;

std::vector<float> reference(std::vector<float> values, std::uint64_t bins) {
  std::vector<float> out;
  if (bins < 2 || values.empty()) return out;
  std::stable_partition(values.begin(), values.end(), [](float v) { return !std::isnan(v); });
  const auto numbers = static_cast<std::size_t>(
      std::find_if(values.begin(), values.end(), [](float v) { return std::isnan(v); }) -
      values.begin());
  std::sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(numbers));
  const std::uint64_t m = values.size();
  for (std::uint64_t i = 1; i < bins; ++i) {
    const std::uint64_t p = i * m / bins;
    if (p >= numbers) continue;           // NaN thresholds can never split
    if (std::isinf(values[p])) continue;  // a model file cannot hold them
    if (!out.empty() && out.back() == values[p]) continue;
    out.push_back(values[p]);
  }
  return out;
}

std::vector<float> thresholds_of(std::vector<float> values, std::uint64_t bins) {
  corvane::QuantileScratch scratch;
  std::vector<float> out;
  quantile_thresholds(values, bins, scratch, out);
  return out;
}

}  // namespace

TEST(quantiles_of_one_to_ten_in_four_bins) {
  // Positions 2, 5 and 7 of the sorted sample.
  CHECK(thresholds_of({10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 4) == (std::vector<float>{3, 6, 8}));
}

TEST(quantiles_repeat_positions_collapse) {
  // m = 3, 10 bins: positions 0,0,0,1,1,1,2,2,2 give each value once.
  CHECK(thresholds_of({5, 1, 3}, 10) == (std::vector<float>{1, 3, 5}));
  CHECK(thresholds_of({2, 2, 2, 2}, 10) == (std::vector<float>{2}));
}

TEST(quantiles_need_two_bins_and_a_sample) {
  CHECK(thresholds_of({1, 2, 3}, 1).empty());
  CHECK(thresholds_of({1, 2, 3}, 0).empty());
  CHECK(thresholds_of({}, 10).empty());
  const float nan = std::numeric_limits<float>::quiet_NaN();
  CHECK(thresholds_of({nan, nan}, 10).empty());
}

TEST(quantiles_with_huge_bin_counts_stay_linear) {
  // Would loop 2^62 times if every bin were visited.
  CHECK(thresholds_of({4, 3, 2, 1}, std::uint64_t{1} << 62) == (std::vector<float>{1, 2, 3, 4}));
}

TEST(quantiles_match_reference_on_random_samples) {
  std::mt19937_64 rng(12345);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  int mismatches = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::size_t m = 1 + rng() % 3000;
    const std::uint64_t bins =
        std::vector<std::uint64_t>{0, 1, 2, 3, 4, 10, 17, 64, 255, 5000, 20000}[rng() % 11];
    const int distinct = 1 + static_cast<int>(rng() % 50);
    std::vector<float> values(m);
    for (float& v : values) {
      const auto r = rng() % 100;
      if (r < 3)
        v = nan;
      else if (r < 50)
        v = static_cast<float>(static_cast<int>(rng() % static_cast<unsigned>(distinct)));
      else
        v = std::uniform_real_distribution<float>(-1e3f, 1e3f)(rng);
    }
    if (thresholds_of(values, bins) != reference(values, bins)) ++mismatches;
  }
  CHECK_EQ(mismatches, 0);
}

TEST(quantiles_order_special_values_like_floats) {
  // Large enough for the radix path: infinities, signed zeros, denormals and
  // the extremes must sort exactly as the float order says.
  const float inf = std::numeric_limits<float>::infinity();
  const float tiny = std::numeric_limits<float>::denorm_min();
  const float big = std::numeric_limits<float>::max();
  const std::vector<float> specials = {-inf, -big,   -1.5f, -tiny, -0.0f, 0.0f,
                                       tiny, 1e-30f, 2.5f,  big,   inf};
  std::mt19937_64 rng(99);
  for (int round = 0; round < 200; ++round) {
    std::vector<float> values(300 + rng() % 2000);
    for (float& v : values) v = specials[rng() % specials.size()];
    for (std::uint64_t bins : {2ull, 10ull, 64ull, 100000ull}) {
      const auto got = thresholds_of(values, bins);
      const auto want = reference(values, bins);
      CHECK(got == want);
      CHECK(std::is_sorted(got.begin(), got.end()));
    }
  }
}

TEST(quantiles_never_take_infinities) {
  // Sorted: -inf -inf -inf 1 2 inf inf inf; positions 2, 4, 6 hold -inf, 2, inf.
  const float inf = std::numeric_limits<float>::infinity();
  CHECK(thresholds_of({inf, 2, -inf, inf, 1, -inf, inf, -inf}, 4) == (std::vector<float>{2}));
  CHECK(thresholds_of({inf, -inf}, 10).empty());
}
