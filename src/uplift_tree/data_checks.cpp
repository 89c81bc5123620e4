#include "uplift_tree/data_checks.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane {

void BinaryStats::check_outcomes(const RawData& raw, std::string_view outcome_col) {
  for (std::int8_t y : raw.outcome)
    if (y != 0 && y != 1) fail(msg::outcome_not_binary(outcome_col, y));
}

void RealStats::check_outcomes(const RawData& raw, std::string_view outcome_col) {
  for (std::size_t r = 0; r < raw.real_outcome.size(); ++r)
    if (!std::isfinite(raw.real_outcome[r]))
      fail(msg::outcome_not_finite(outcome_col, r, raw.real_outcome[r]));
}

void check_trainable(const RawData& raw, std::string_view treatment_col,
                     std::string_view outcome_col) {
  with_outcome_stats(raw, [&]<class Stats>(Stats) { Stats::check_outcomes(raw, outcome_col); });

  if (raw.max_treatment == 0) return;
  // Some code up to min(max code, rows) is missing whenever any is: n rows
  // cannot hold all of 0 .. n. So the marks never need more room than the
  // rows, however large the largest code is.
  const std::size_t rows = raw.n_rows();
  const std::size_t top = std::min(static_cast<std::size_t>(raw.max_treatment), rows);
  std::vector<bool> seen(top + 1, false);
  for (std::int32_t t : raw.treatment)
    if (static_cast<std::size_t>(t) <= top) seen[static_cast<std::size_t>(t)] = true;
  const auto missing = std::find(seen.begin(), seen.end(), false);
  if (missing != seen.end())
    fail(msg::treatment_code_missing(treatment_col, missing - seen.begin()));
}

}  // namespace corvane
