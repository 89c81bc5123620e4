// Split criteria: how far the treatment groups' positive rates lie from the
// control group's, for a set of rows and for a candidate split. Every formula
// is evaluated in exactly the written order; results are compared bit for bit
// across runs and machines, so the build keeps floating point unfused.
#pragma once

#include <cstdint>
#include <span>

#include "uplift_tree/eval_func.h"

namespace corvane {

// [n0, y0, n1, y1, ...]: rows and outcome sum per group, control first.
using CountsView = std::span<const std::int32_t>;

double ed(double p, double q);
double kl(double p, double q);
double chi(double p, double q);

// Score of one set of rows; stops when fewer than two groups are counted.
double calc_score(CountsView counts, EvalFunc eval_func, bool balance, std::uint64_t n_rows);

double split_norm(CountsView parent_counts, CountsView left_counts, std::uint64_t n_rows,
                  std::uint64_t n_left, double alpha);

double split_gain(double parent_score, double left_score, double right_score, std::uint64_t n_rows,
                  std::uint64_t n_left, CountsView parent_counts, CountsView left_counts,
                  bool regularization, double alpha);

}  // namespace corvane
