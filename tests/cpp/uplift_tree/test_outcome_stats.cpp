// The statistics of a real-valued outcome: sums that stay exact where plain
// double sums lose the small values, and subtraction that leaves what direct
// counting gives.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "check.h"
#include "uplift_tree/outcome_stats.h"

using namespace corvane;

TEST(compensated_sum_keeps_small_values_beside_huge_ones) {
  CompensatedSum sum;
  double plain = 0.0;
  sum.add(1e16);
  plain += 1e16;
  for (int i = 0; i < 10'000'000; ++i) {
    sum.add(1.0);
    plain += 1.0;
  }
  CHECK_EQ(sum.value(), 1e16 + 1e7);  // exactly representable
  CHECK_EQ(plain, 1e16);              // every 1 lost
}

TEST(compensated_sums_of_cents_to_billions_are_exact_and_subtract) {
  // Values k / 64 (exact doubles) from cents to 2^40 dollars, summed exactly
  // in 128-bit integers as the reference.
  std::mt19937_64 rng(3);
  std::vector<double> values;
  __int128 exact_all = 0, exact_part = 0;
  RealStats all, part;
  for (int i = 0; i < 2'000'000; ++i) {
    const int scale = static_cast<int>(rng() % 47);
    const std::int64_t k = static_cast<std::int64_t>(rng() >> (17 + scale)) * ((i % 3) ? 1 : -1);
    const double v = static_cast<double>(k) / 64.0;
    all.add(v);
    exact_all += k;
    if (i % 5 == 0) {
      part.add(v);
      exact_part += k;
    }
  }
  auto near = [](double got, __int128 exact) {
    const double want = static_cast<double>(exact) / 64.0;
    return std::fabs(got - want) <= std::fabs(want) * 0x1p-52;
  };
  CHECK(near(all.sum.value(), exact_all));
  CHECK(near(part.sum.value(), exact_part));
  RealStats rest = all;
  rest.subtract(part);
  CHECK(near(rest.sum.value(), exact_all - exact_part));
  CHECK_EQ(rest.n, all.n - part.n);
  CHECK_EQ(all.mean(), all.sum.value() / all.n);
}
