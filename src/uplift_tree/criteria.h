// Split criteria: how far the treatment groups' outcomes lie from the control
// group's, for a set of rows and for a candidate split. Every formula is
// evaluated in exactly the written order; results are compared bit for bit
// across runs and machines, so the build keeps floating point unfused.
//
// Each criterion is one row of one table (criteria.cpp): its words in
// files, parameters and messages, and its score for each outcome statistic
// it applies to. Scores read a set of rows through its groups' statistics
// (outcome_stats.h) only, so they are written once for every outcome kind.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>

#include "uplift_tree/outcome_stats.h"

namespace corvane {

// The criterion of every score of a tree; the values index the table.
enum class EvalFunc : std::uint8_t { Euclidean = 0, KL = 1, Chi = 2, Cts = 3 };

// The score of one set of rows of at least two groups (control first);
// `n_rows` is the number of rows the statistics were taken from.
template <class Stats>
using ScoreFn = double (*)(std::span<const Stats> groups, bool balance, std::uint64_t n_rows);

struct Criterion {
  EvalFunc id;
  // As fit and the estimator take it and forests keep it: "ED".
  std::string_view name;
  // The tag of the criterion in tree records: "Euclidean".
  std::string_view variant;
  // Scores a group rate of exactly 0 or 1 with a fixed stand-in value rather
  // than a divergence, so that a gain resting on such rates measures none.
  bool stand_in_rates;
  // One of the criteria the extension has always taken (it takes no other,
  // and its messages name only these).
  bool extension;
  // Its score for each outcome statistic; null where it does not apply.
  std::tuple<ScoreFn<BinaryStats>, ScoreFn<RealStats>> scores;
};

// Every criterion, in the order of EvalFunc.
std::span<const Criterion> criteria();
const Criterion& criterion(EvalFunc f);
// The criterion whose name (or, with by_variant, whose variant) is `word`;
// null for none.
const Criterion* criterion_called(std::string_view word, bool by_variant = false);
// The variants of the extension's criteria, in order, for the message naming
// them.
std::span<const std::string_view> criterion_variants();

// The criterion called `name`, exactly (with extension_only, only one of the
// extension's); anything else stops with "bad eval func".
EvalFunc parse_eval_func(std::string_view name, bool extension_only = false);

// Whether criterion `f` scores sets of rows counted by `Stats`.
template <class Stats>
bool applies_to(EvalFunc f) {
  return std::get<ScoreFn<Stats>>(criterion(f).scores) != nullptr;
}

double ed(double p, double q);
double kl(double p, double q);
double chi(double p, double q);

// Score of one set of rows; stops when fewer than two groups are counted.
template <class Stats>
double calc_score(std::span<const Stats> groups, EvalFunc eval_func, bool balance,
                  std::uint64_t n_rows);

// The divisor of a regularised gain; it reads only the row counts.
template <class Stats>
double split_norm(std::span<const Stats> parent, std::span<const Stats> left, std::uint64_t n_rows,
                  std::uint64_t n_left, double alpha);

template <class Stats>
double split_gain(double parent_score, double left_score, double right_score, std::uint64_t n_rows,
                  std::uint64_t n_left, std::span<const Stats> parent, std::span<const Stats> left,
                  bool regularization, double alpha);

}  // namespace corvane
