// Split criteria: how far the treatment groups' positive rates lie from the
// control group's, for a set of rows and for a candidate split. Every formula
// is evaluated in exactly the written order; results are compared bit for bit
// across runs and machines, so the build keeps floating point unfused.
//
// Each criterion is one row of one table (criteria.cpp): its words in
// files, parameters and messages, and its score. Adding a criterion is a
// value here and a row and a divergence there.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace corvane {

// The divergence used by every score of a tree; the values index the table.
enum class EvalFunc : std::uint8_t { Euclidean = 0, KL = 1, Chi = 2 };

// [n0, y0, n1, y1, ...]: rows and outcome sum per group, control first.
using CountsView = std::span<const std::int32_t>;

struct Criterion {
  EvalFunc id;
  // As fit and the estimator take it and forests keep it: "ED".
  std::string_view name;
  // The tag of the criterion in tree records: "Euclidean".
  std::string_view variant;
  // Scores a group rate of exactly 0 or 1 with a fixed stand-in value rather
  // than a divergence, so that a gain resting on such rates measures none.
  bool stand_in_rates;
  // The score of one set of rows of at least two groups.
  double (*score)(CountsView counts, bool balance, std::uint64_t n_rows);
};

// Every criterion, in the order of EvalFunc.
std::span<const Criterion> criteria();
const Criterion& criterion(EvalFunc f);
// The criterion whose name (or, with by_variant, whose variant) is `word`;
// null for none.
const Criterion* criterion_called(std::string_view word, bool by_variant = false);
// Every criterion's variant, in order, for the message naming them.
std::span<const std::string_view> criterion_variants();

// The criterion called `name`, exactly; anything else stops with
// "bad eval func".
EvalFunc parse_eval_func(std::string_view name);

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
