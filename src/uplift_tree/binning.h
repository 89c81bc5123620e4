// Numeric features as bin codes, for the histogram finder: each column is
// binned once per training call into at most 255 quantile bins whose edges
// are values of the column (taken from an evenly spaced sample of its rows),
// so that a split on an edge is written and predicted as any numeric split
// is: `value <= threshold`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "uplift_tree/data_set.h"

namespace corvane {

// The most bins a numeric feature gets (its codes are bytes).
inline constexpr std::uint64_t kMaxBins = 255;
// The most rows whose values choose a column's edges.
inline constexpr std::size_t kBinSampleRows = 200'000;

// How many rows choose the edges of a column of `rows` rows: all of them, or
// kBinSampleRows evenly spaced ones.
inline std::size_t bin_sample_size(std::size_t rows) {
  return rows < kBinSampleRows ? rows : kBinSampleRows;
}
// The i-th of the m rows (of `rows`) that choose the edges.
inline std::size_t bin_sample_row(std::size_t i, std::size_t rows, std::size_t m) {
  return static_cast<std::size_t>(static_cast<unsigned __int128>(i) * rows / m);
}

// The edges of a column from the values of its sampled rows (reordered): the
// quantile thresholds of quantiles.h for min(max_bins, 255) bins, so finite
// values of the column, ascending, without repeats, at most 254.
std::vector<float> bin_thresholds(std::vector<float>& sample, std::uint64_t max_bins);

// The code of a value among a column's thresholds: how many thresholds lie
// below it, and for NaN the last code. A branch-free binary search over the
// thresholds padded with infinities to a power of two.
class BinCoder {
 public:
  explicit BinCoder(std::span<const float> thresholds);

  std::uint8_t code(float v) const {
    std::size_t below = 0;
    for (std::size_t half = half_; half > 0; half >>= 1)
      below += static_cast<std::size_t>(padded_[below + half - 1] < v) * half;
    return static_cast<std::uint8_t>(v != v ? count_ : below);
  }

 private:
  float padded_[kMaxBins + 1];
  std::size_t half_ = 0;  // the padded length's half
  std::size_t count_ = 0;
};

// A column of numbers binned into min(max_bins, 255) bins.
BinnedColumn bin_numbers(std::span<const float> values, std::uint64_t max_bins);

}  // namespace corvane
