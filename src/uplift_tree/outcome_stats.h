// What the rows of one treatment group say about the outcome, as a type that
// criteria, split search, growth, honest estimation and node statistics are
// written against: a set of rows is described by one statistic per group
// (control first), which add a row, merge another set's and subtract a
// subset's. Each outcome kind has its own statistic; the algorithms are
// instantiated for every one of them (CORVANE_EACH_OUTCOME_STATS).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane {

struct RawData;

// A 0/1 outcome: rows and positive outcomes, in the 32-bit integers that the
// scores are defined on (a sum wraps as a 32-bit sum would).
struct BinaryStats {
  using Outcome = std::int8_t;

  std::int32_t n = 0;  // rows
  std::int32_t y = 0;  // positive outcomes

  void add(Outcome outcome) {
    n += 1;
    y += outcome;
  }
  void merge(const BinaryStats& other) {
    n += other.n;
    y += other.y;
  }
  void subtract(const BinaryStats& other) {
    n -= other.n;
    y -= other.y;
  }
  // The positive rate: 0/0 (no rows) is NaN, which no score guards.
  double mean() const { return static_cast<double>(y) / static_cast<double>(n); }
  // A rate of exactly 0 or 1 (or no rows), which KL and CHI score with fixed
  // stand-in values rather than a divergence.
  bool extreme() const { return y == 0 || y == n; }

  // As model files keep it: [n, y].
  static constexpr std::size_t kNumbers = 2;
  void to_numbers(double* numbers) const {
    numbers[0] = n;
    numbers[1] = y;
  }
  static BinaryStats from_numbers(const double* numbers) {
    return {static_cast<std::int32_t>(numbers[0]), static_cast<std::int32_t>(numbers[1])};
  }

  // The outcomes of the data this statistic counts.
  static std::span<const Outcome> outcomes(const RawData& raw);
  // Refuses outcomes this statistic cannot count (anything but 0 and 1).
  static void check_outcomes(const RawData& raw, std::string_view outcome_col);
};
static_assert(sizeof(BinaryStats) == 2 * sizeof(std::int32_t));

// A sum of doubles carried as an unevaluated pair hi + lo (a double-double):
// each addition keeps the rounding error of hi in lo (Knuth's TwoSum, exact
// under unfused IEEE arithmetic), so a sum of 10^7 dollar amounts of any
// sizes is the exact sum to within about 2^-104 of its magnitude, and a
// parent's sum minus a child's leaves the other child's to the same
// accuracy. The order of additions is fixed by the algorithms, so results
// repeat bit for bit.
class CompensatedSum {
 public:
  void add(double x) {
    const double s = hi_ + x;
    const double b = s - hi_;
    const double error = (hi_ - (s - b)) + (x - b);
    hi_ = s;
    lo_ = lo_ + error;
  }
  void merge(const CompensatedSum& other) {
    add(other.hi_);
    lo_ = lo_ + other.lo_;
  }
  void subtract(const CompensatedSum& other) {
    add(-other.hi_);
    lo_ = lo_ - other.lo_;
  }
  // The sum, rounded once to a double.
  double value() const { return hi_ + lo_; }
  // A sum whose value is `v` (as read back from a model file).
  static CompensatedSum of(double v) {
    CompensatedSum s;
    s.hi_ = v;
    return s;
  }

 private:
  double hi_ = 0.0;
  double lo_ = 0.0;
};

// A real-valued outcome (revenue, say): rows, the sum of their outcomes and
// the sum of their squares.
struct RealStats {
  using Outcome = double;

  std::int32_t n = 0;
  CompensatedSum sum;
  CompensatedSum sum_sq;

  void add(Outcome outcome) {
    n += 1;
    sum.add(outcome);
    sum_sq.add(outcome * outcome);
  }
  void merge(const RealStats& other) {
    n += other.n;
    sum.merge(other.sum);
    sum_sq.merge(other.sum_sq);
  }
  void subtract(const RealStats& other) {
    n -= other.n;
    sum.subtract(other.sum);
    sum_sq.subtract(other.sum_sq);
  }
  // The mean outcome: NaN without rows.
  double mean() const { return sum.value() / static_cast<double>(n); }
  // No criterion for real outcomes scores stand-in values.
  bool extreme() const { return false; }

  // As model files keep it: [n, sum, sum of squares] (the sums rounded once).
  static constexpr std::size_t kNumbers = 3;
  void to_numbers(double* numbers) const {
    numbers[0] = n;
    numbers[1] = sum.value();
    numbers[2] = sum_sq.value();
  }
  static RealStats from_numbers(const double* numbers) {
    RealStats g;
    g.n = static_cast<std::int32_t>(numbers[0]);
    g.sum = CompensatedSum::of(numbers[1]);
    g.sum_sq = CompensatedSum::of(numbers[2]);
    return g;
  }

  static std::span<const Outcome> outcomes(const RawData& raw);
  // Refuses outcomes that are not finite numbers.
  static void check_outcomes(const RawData& raw, std::string_view outcome_col);
};

// Instantiates X(Stats) for every outcome statistic: the explicit
// instantiations of the algorithms written against them.
#define CORVANE_EACH_OUTCOME_STATS(X) X(BinaryStats) X(RealStats)

// The statistics of every stored node of one tree, of whichever outcome
// kind: one per group and node, nodes in storage order.
using NodeStats = std::variant<std::vector<BinaryStats>, std::vector<RealStats>>;

// One statistic per group of a set of rows, control first.
template <class Stats>
using GroupStats = std::vector<Stats>;

// Rows of a set, from its groups' statistics.
template <class Stats>
std::uint64_t rows_of(std::span<const Stats> groups) {
  std::uint64_t n = 0;
  for (const Stats& g : groups) n += static_cast<std::uint64_t>(g.n);
  return n;
}

// Whether every group has rows, so that every group's mean is a number.
template <class Stats>
bool every_group_counted(std::span<const Stats> groups) {
  for (const Stats& g : groups)
    if (g.n == 0) return false;
  return true;
}

}  // namespace corvane
