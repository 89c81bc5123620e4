// Golden values of the split criteria. Expected numbers were worked out
// independently (Python doubles, same operation order) and are compared bit
// for bit, since trees and saved gains depend on every last digit.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.h"
#include "core/error.h"
#include "uplift_tree/criteria.h"

using corvane::BinaryStats;
using corvane::EvalFunc;

namespace {

// A set of rows as its groups' statistics, from [n0, y0, n1, y1, ...].
struct Counts {
  Counts(std::initializer_list<std::int32_t> flat) {
    const std::vector<std::int32_t> v(flat);
    for (std::size_t i = 0; i + 1 < v.size(); i += 2) groups.push_back({v[i], v[i + 1]});
  }
  std::vector<BinaryStats> groups;
};

double calc_score(const Counts& c, EvalFunc f, bool balance, std::uint64_t n) {
  return corvane::calc_score<BinaryStats>(c.groups, f, balance, n);
}
double split_norm(const Counts& p, const Counts& l, std::uint64_t n, std::uint64_t n_l, double a) {
  return corvane::split_norm<BinaryStats>(p.groups, l.groups, n, n_l, a);
}
double split_gain(double s_p, double s_l, double s_r, std::uint64_t n, std::uint64_t n_l,
                  const Counts& p, const Counts& l, bool regularization, double a) {
  return corvane::split_gain<BinaryStats>(s_p, s_l, s_r, n, n_l, p.groups, l.groups, regularization,
                                          a);
}

const char kTooFewGroups[] = "assertion failed: v.len() % 2 == 0 && v.len() >= 4";
const double kInf = std::numeric_limits<double>::infinity();

// Control 10 % positive, treatment 1 20 %, treatment 2 10 %; and one side of it.
const Counts kParent{100, 10, 60, 12, 40, 4};
const Counts kLeft{30, 2, 40, 10, 10, 1};
const Counts kRight{70, 8, 20, 2, 30, 3};

}  // namespace

TEST(criteria_divergences_golden) {
  CHECK_EQ(corvane::ed(0.3, 0.1), 0.07999999999999999);
  CHECK_EQ(corvane::ed(0.1, 0.3), 0.07999999999999999);
  CHECK_EQ(corvane::kl(0.5, 0.25), 0.20751874963942185);
  CHECK_EQ(corvane::kl(0.0, 0.3), 19.931568569324174);
  CHECK_EQ(corvane::kl(0.3, 0.0), 19.931568569324174);
  CHECK_EQ(corvane::chi(0.5, 0.25), 0.3333333333333333);
  CHECK_EQ(corvane::chi(0.0, 0.3), 1000000.0);
  CHECK_EQ(corvane::chi(0.3, 0.0), 1000000.0);
  CHECK_EQ(corvane::kl(0.2, 0.2), 0.0);
  CHECK_EQ(corvane::chi(0.2, 0.2), 0.0);
}

TEST(criteria_divergences_unguarded_rates) {
  // The zero tests come first and NaN is not zero: it flows through.
  CHECK(std::isnan(corvane::kl(std::nan(""), 0.3)));
  CHECK_EQ(corvane::kl(std::nan(""), 0.0), 19.931568569324174);
  CHECK_EQ(corvane::chi(0.0, std::nan("")), 1000000.0);
  CHECK(std::isnan(corvane::chi(0.4, std::nan(""))));
  CHECK(std::isnan(corvane::ed(std::nan(""), 0.1)));
  // Rates of exactly 1 follow plain IEEE arithmetic.
  CHECK(std::isnan(corvane::kl(1.0, 0.5)));
  CHECK_EQ(corvane::kl(0.5, 1.0), kInf);
  CHECK_EQ(corvane::chi(0.5, 1.0), kInf);
  CHECK(std::isnan(corvane::chi(1.0, 1.0)));
}

TEST(criteria_score_weights) {
  // Equal weights: 0.0 + ed(0.2, 0.1) * 0.5 + ed(0.1, 0.1) * 0.5.
  CHECK_EQ(calc_score(kParent, EvalFunc::Euclidean, true, 200), 0.010000000000000002);
  CHECK_EQ(calc_score(kParent, EvalFunc::Euclidean, true, 200),
           (0.0 + 0.020000000000000004 * 0.5) + 0.0 * 0.5);
  // Shares of the treated rows: 60 / 100 and 40 / 100.
  CHECK_EQ(calc_score(kParent, EvalFunc::Euclidean, false, 200), 0.012000000000000002);
  CHECK_EQ(calc_score(kParent, EvalFunc::Euclidean, false, 200),
           (0.0 + 0.020000000000000004 * (60.0 / 100.0)) + 0.0 * (40.0 / 100.0));
  // n_rows only matters without balance.
  CHECK_EQ(calc_score(kParent, EvalFunc::Euclidean, true, 12345), 0.010000000000000002);
}

TEST(criteria_score_weight_is_32_bit) {
  // The treated-row divisor is taken on the low 32 bits of n_rows.
  CHECK_EQ(calc_score(kParent, EvalFunc::Euclidean, false, (std::uint64_t{1} << 32) + 200),
           0.012000000000000002);
  // 50 - 100 = -50 treated rows: both weights turn negative.
  CHECK_EQ(calc_score(kParent, EvalFunc::Euclidean, false, 50), -0.024000000000000004);
}

TEST(criteria_score_rejects_too_few_groups) {
  const Counts two{10, 1};
  const Counts none{};
  for (const Counts* c : {&two, &none}) {
    for (bool balance : {true, false}) {
      CHECK_THROWS_WITH(calc_score(*c, EvalFunc::Euclidean, balance, 10), corvane::Error,
                        kTooFewGroups);
      CHECK_THROWS_WITH(calc_score(*c, EvalFunc::KL, balance, 10), corvane::Error, kTooFewGroups);
      CHECK_THROWS_WITH(calc_score(*c, EvalFunc::Chi, balance, 10), corvane::Error, kTooFewGroups);
    }
  }
}

TEST(criteria_scores_and_gains_golden) {
  struct Case {
    EvalFunc f;
    bool balance;
    double parent, left, right, gain, gain_regularized;
  };
  // alpha 0.3; left holds 80 of the 200 rows.
  const Case cases[] = {
      {EvalFunc::Euclidean, true, 0.010000000000000002, 0.03472222222222223, 0.0004081632653061219,
       0.004133786848072564, 0.003082688076947142},
      {EvalFunc::Euclidean, false, 0.012000000000000002, 0.054222222222222234,
       0.0004081632653061219, 0.009933786848072569, 0.007407920969550215},
      {EvalFunc::KL, true, 0.03202999942307509, 0.12568592588678812, 0.0015107440074975456,
       0.019150817336138687, 0.014281335355603475},
      {EvalFunc::KL, false, 0.03843599930769011, 0.19433213811842484, 0.0015107440074975456,
       0.04020330234417836, 0.029980800981087304},
      {EvalFunc::Chi, true, 0.055555555555555566, 0.2790178571428572, 0.002016129032258062,
       0.05726126472094216, 0.042701432007425995},
      {EvalFunc::Chi, false, 0.06666666666666668, 0.4357142857142858, 0.002016129032258062,
       0.10882872503840249, 0.08115682434416444},
  };
  for (const Case& c : cases) {
    const double s_p = calc_score(kParent, c.f, c.balance, 200);
    const double s_l = calc_score(kLeft, c.f, c.balance, 80);
    const double s_r = calc_score(kRight, c.f, c.balance, 120);
    CHECK_EQ(s_p, c.parent);
    CHECK_EQ(s_l, c.left);
    CHECK_EQ(s_r, c.right);
    // w = 80 / 200; left part first, then the right part, the sum, the subtraction.
    const double by_hand = (c.right * (1.0 - 0.4) + c.left * 0.4) - c.parent;
    CHECK_EQ(by_hand, c.gain);
    CHECK_EQ(split_gain(s_p, s_l, s_r, 200, 80, kParent, kLeft, false, 0.3), c.gain);
    CHECK_EQ(split_gain(s_p, s_l, s_r, 200, 80, kParent, kLeft, false, 0.9), c.gain);
    CHECK_EQ(split_gain(s_p, s_l, s_r, 200, 80, kParent, kLeft, true, 0.3), c.gain_regularized);
    CHECK_EQ(c.gain / 1.3409682539682541, c.gain_regularized);
  }
}

TEST(criteria_split_norm_step_by_step) {
  auto gini = [](double x) { return (1.0 - x * x) - (1.0 - x) * (1.0 - x); };
  auto sq2 = [](double d) { return d * d + d * d; };
  const double alpha = 0.3;
  // n_c 100, n_cL 30, n_tL 80 - 30, n_t 200 - 100.
  const double q_l = 30.0 / 80.0, r_c = 30.0 / 100.0, r_t = 50.0 / 100.0;
  double norm = sq2(r_c - r_t) * (gini(q_l) * alpha) + 0.5;
  norm = norm + sq2(40.0 / 60.0 - r_c) * (gini(40.0 / (40.0 + 30.0)) * (1.0 - alpha));
  norm = norm + sq2(10.0 / 40.0 - r_c) * (gini(10.0 / (10.0 + 30.0)) * (1.0 - alpha));
  norm = norm + (1.0 - r_c * r_c) * (30.0 / 80.0);
  norm = norm + (1.0 - (40.0 / 60.0) * (40.0 / 60.0)) * (40.0 / 80.0);
  norm = norm + (1.0 - (10.0 / 40.0) * (10.0 / 40.0)) * (10.0 / 80.0);
  CHECK_EQ(norm, 1.3409682539682541);
  CHECK_EQ(split_norm(kParent, kLeft, 200, 80, alpha), 1.3409682539682541);
  // Treated counts are 32-bit differences: n_rows enters only through them.
  CHECK_EQ(split_norm(kParent, kLeft, (std::uint64_t{1} << 32) + 200, 80, alpha),
           1.3409682539682541);
}

TEST(criteria_split_norm_alpha_extremes) {
  // alpha 1 zeroes the per-treatment terms: 0.08 * 0.46875 + 0.5, then the group terms.
  const double group_terms_start = 0.08000000000000002 * (0.46875 * 1.0) + 0.5;
  CHECK_EQ(split_norm(kParent, kLeft, 200, 80, 1.0), 1.2737152777777778);
  CHECK_EQ(((group_terms_start + 0.0) + 0.0 + (1.0 - 0.09) * 0.375 +
            (1.0 - (40.0 / 60.0) * (40.0 / 60.0)) * 0.5) +
               0.9375 * 0.125,
           1.2737152777777778);
  // alpha 0 zeroes the first term.
  CHECK_EQ(split_norm(kParent, kLeft, 200, 80, 0.0), 1.3697909580498866);
  const Counts parent{50, 5, 50, 20};
  const Counts left{25, 2, 25, 10};  // same control / treated shares on both sides
  CHECK_EQ(split_norm(parent, left, 100, 50, 0.0), split_norm(parent, left, 100, 50, 1.0));
}

TEST(criteria_empty_groups_propagate_nan) {
  const Counts no_treated_1{100, 10, 0, 0, 40, 4};
  CHECK(std::isnan(calc_score(no_treated_1, EvalFunc::Euclidean, true, 140)));
  CHECK(std::isnan(calc_score(no_treated_1, EvalFunc::Euclidean, false, 140)));
  CHECK(std::isnan(calc_score(no_treated_1, EvalFunc::KL, true, 140)));
  CHECK(std::isnan(calc_score(no_treated_1, EvalFunc::Chi, false, 140)));
  // A control rate of exactly 0 answers the constant before p (NaN) is looked at.
  const Counts control_all_zero{100, 0, 0, 0, 40, 4};
  CHECK_EQ(calc_score(control_all_zero, EvalFunc::KL, true, 140), 19.931568569324174);
  CHECK_EQ(calc_score(control_all_zero, EvalFunc::Chi, true, 140), 1000000.0);
  // No control rows: Euclidean is NaN; KL/Chi still give the constant when p is 0.
  const Counts no_control_p0{0, 0, 50, 0, 50, 0};
  const Counts no_control{0, 0, 50, 5, 50, 0};
  CHECK(std::isnan(calc_score(no_control_p0, EvalFunc::Euclidean, true, 100)));
  CHECK_EQ(calc_score(no_control_p0, EvalFunc::KL, true, 100), 19.931568569324174);
  CHECK_EQ(calc_score(no_control_p0, EvalFunc::Chi, false, 100), 1000000.0);
  CHECK(std::isnan(calc_score(no_control, EvalFunc::KL, true, 100)));
  // A group absent from the node makes the normaliser, and so the gain, NaN.
  const Counts left_no_1{30, 2, 0, 0, 10, 1};
  CHECK(std::isnan(split_norm(no_treated_1, left_no_1, 140, 40, 0.3)));
  CHECK(std::isnan(split_gain(0.01, 0.02, 0.03, 140, 40, no_treated_1, left_no_1, true, 0.3)));
  CHECK(!std::isnan(split_gain(0.01, 0.02, 0.03, 140, 40, no_treated_1, left_no_1, false, 0.3)));
}
