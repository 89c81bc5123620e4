#include "uplift_tree/criteria.h"

#include <array>
#include <cmath>

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane {

namespace {

// log2(1 000 000): what kl() answers when a rate is exactly zero.
constexpr double kKlZeroRate = 19.931568569324174;
constexpr double kChiZeroRate = 1000000.0;

// Difference of two row counts taken on their low 32 bits, as the weights of
// the score are defined on 32-bit counts.
std::int32_t diff32(std::uint64_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// Every treatment group's divergence from control, weighted equally or by
// the group's share of the treated rows.
template <double (*Divergence)(double, double), class Stats>
double score_with(std::span<const Stats> groups, bool balance, std::uint64_t n_rows) {
  const std::size_t count = groups.size();
  const double q = groups[0].mean();
  double sum = 0.0;
  if (balance) {
    const double w = 1.0 / static_cast<double>(count - 1);
    for (std::size_t t = 1; t < count; ++t) sum = sum + Divergence(groups[t].mean(), q) * w;
  } else {
    const double treated = static_cast<double>(diff32(n_rows, groups[0].n));
    for (std::size_t t = 1; t < count; ++t)
      sum = sum + Divergence(groups[t].mean(), q) * (static_cast<double>(groups[t].n) / treated);
  }
  return sum;
}

// Contextual treatment selection: the best mean outcome of any group, control
// included, so that a split's gain is how much better the best group does on
// each side than in the node. A group without rows makes it NaN, like every
// other score.
template <class Stats>
double best_mean(std::span<const Stats> groups, bool, std::uint64_t) {
  double best = groups[0].mean();
  for (const Stats& g : groups) {
    const double m = g.mean();
    if (m != m) return m;
    if (m > best) best = m;
  }
  return best;
}

// The one table of criteria, in the order of EvalFunc. For a real-valued
// outcome ED measures the distance of the groups' means as it measures that
// of their rates; KL and CHI compare rates only.
constexpr std::array<Criterion, 4> kCriteria = {{
    {EvalFunc::Euclidean,
     "ED",
     "Euclidean",
     false,
     true,
     {&score_with<ed, BinaryStats>, &score_with<ed, RealStats>}},
    {EvalFunc::KL, "KL", "KL", true, true, {&score_with<kl, BinaryStats>, nullptr}},
    {EvalFunc::Chi, "CHI", "Chi", true, true, {&score_with<chi, BinaryStats>, nullptr}},
    {EvalFunc::Cts, "CTS", "CTS", false, false, {&best_mean<BinaryStats>, &best_mean<RealStats>}},
}};
static_assert([] {
  for (std::size_t i = 0; i < kCriteria.size(); ++i)
    if (static_cast<std::size_t>(kCriteria[i].id) != i) return false;
  return true;
}());

constexpr std::size_t kExtensionCriteria = [] {
  std::size_t n = 0;
  for (const Criterion& c : kCriteria) n += c.extension;
  return n;
}();
constexpr std::array<std::string_view, kExtensionCriteria> kVariants = [] {
  std::array<std::string_view, kExtensionCriteria> variants{};
  std::size_t i = 0;
  for (const Criterion& c : kCriteria)
    if (c.extension) variants[i++] = c.variant;
  return variants;
}();

double gini(double x) { return (1.0 - x * x) - (1.0 - x) * (1.0 - x); }

double doubled_square(double d) {
  const double sq = d * d;
  return sq + sq;
}

}  // namespace

double ed(double p, double q) { return doubled_square(p - q); }

double kl(double p, double q) {
  if (p == 0.0 || q == 0.0) return kKlZeroRate;
  return p * std::log2(p / q) + (1.0 - p) * std::log2((1.0 - p) / (1.0 - q));
}

double chi(double p, double q) {
  if (p == 0.0 || q == 0.0) return kChiZeroRate;
  const double d = (p - q) * (p - q);
  return d / (1.0 - q) + d / q;
}

std::span<const Criterion> criteria() { return kCriteria; }

const Criterion& criterion(EvalFunc f) { return kCriteria[static_cast<std::size_t>(f)]; }

const Criterion* criterion_called(std::string_view word, bool by_variant) {
  for (const Criterion& c : kCriteria)
    if ((by_variant ? c.variant : c.name) == word) return &c;
  return nullptr;
}

std::span<const std::string_view> criterion_variants() { return kVariants; }

EvalFunc parse_eval_func(std::string_view name, bool extension_only) {
  const Criterion* c = criterion_called(name);
  if (c && (c->extension || !extension_only)) return c->id;
  fail(msg::kBadEvalFunc);
}

template <class Stats>
double calc_score(std::span<const Stats> groups, EvalFunc eval_func, bool balance,
                  std::uint64_t n_rows) {
  if (groups.size() < 2) fail(msg::kTooFewGroups);
  const ScoreFn<Stats> score = std::get<ScoreFn<Stats>>(criterion(eval_func).scores);
  if (!score) fail(msg::criterion_needs_binary(criterion(eval_func).name));
  return score(groups, balance, n_rows);
}

template <class Stats>
double split_norm(std::span<const Stats> parent, std::span<const Stats> left, std::uint64_t n_rows,
                  std::uint64_t n_left, double alpha) {
  const std::int32_t n_c = parent[0].n;
  const std::int32_t n_c_left = left[0].n;
  const std::int32_t n_t_left = diff32(n_left, n_c_left);
  const std::int32_t n_t = diff32(n_rows, n_c);
  const double n_left_d = static_cast<double>(n_left);

  const double q_left = static_cast<double>(n_c_left) / n_left_d;
  const double r_c = static_cast<double>(n_c_left) / static_cast<double>(n_c);
  const double r_t = static_cast<double>(n_t_left) / static_cast<double>(n_t);
  double norm = doubled_square(r_c - r_t) * (gini(q_left) * alpha) + 0.5;

  const std::size_t groups = parent.size();
  for (std::size_t j = 1; j < groups; ++j) {
    const std::int32_t n_j_left = left[j].n;
    const std::int32_t both = static_cast<std::int32_t>(static_cast<std::uint32_t>(n_j_left) +
                                                        static_cast<std::uint32_t>(n_c_left));
    const double q_j = static_cast<double>(n_j_left) / static_cast<double>(both);
    const double r_j = static_cast<double>(n_j_left) / static_cast<double>(parent[j].n);
    norm = norm + doubled_square(r_j - r_c) * (gini(q_j) * (1.0 - alpha));
  }
  for (std::size_t g = 0; g < groups; ++g) {
    const double r_g = static_cast<double>(left[g].n) / static_cast<double>(parent[g].n);
    norm = norm + (1.0 - r_g * r_g) * (static_cast<double>(left[g].n) / n_left_d);
  }
  return norm;
}

template <class Stats>
double split_gain(double parent_score, double left_score, double right_score, std::uint64_t n_rows,
                  std::uint64_t n_left, std::span<const Stats> parent, std::span<const Stats> left,
                  bool regularization, double alpha) {
  const double w = static_cast<double>(n_left) / static_cast<double>(n_rows);
  const double left_part = left_score * w;
  const double right_part = right_score * (1.0 - w);
  double gain = (right_part + left_part) - parent_score;
  if (regularization) gain = gain / split_norm<Stats>(parent, left, n_rows, n_left, alpha);
  return gain;
}

#define CORVANE_INSTANTIATE_CRITERIA(Stats)                                                        \
  template double calc_score<Stats>(std::span<const Stats>, EvalFunc, bool, std::uint64_t);        \
  template double split_norm<Stats>(std::span<const Stats>, std::span<const Stats>, std::uint64_t, \
                                    std::uint64_t, double);                                        \
  template double split_gain<Stats>(double, double, double, std::uint64_t, std::uint64_t,          \
                                    std::span<const Stats>, std::span<const Stats>, bool, double);
CORVANE_EACH_OUTCOME_STATS(CORVANE_INSTANTIATE_CRITERIA)

}  // namespace corvane
