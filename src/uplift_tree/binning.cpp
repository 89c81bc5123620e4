#include "uplift_tree/binning.h"

#include <algorithm>
#include <limits>

#include "uplift_tree/quantiles.h"

namespace corvane {

std::vector<float> bin_thresholds(std::vector<float>& sample, std::uint64_t max_bins) {
  QuantileScratch scratch;
  std::vector<float> thresholds;
  quantile_thresholds(sample, std::min(max_bins, kMaxBins), scratch, thresholds);
  return thresholds;
}

BinCoder::BinCoder(std::span<const float> thresholds) : count_(thresholds.size()) {
  std::size_t length = 1;  // a power of two above the count
  while (length <= count_) length *= 2;
  half_ = length / 2;
  std::fill(padded_, padded_ + kMaxBins + 1, std::numeric_limits<float>::infinity());
  std::copy(thresholds.begin(), thresholds.end(), padded_);
}

BinnedColumn bin_numbers(std::span<const float> values, std::uint64_t max_bins) {
  const std::size_t rows = values.size();
  const std::size_t m = bin_sample_size(rows);
  std::vector<float> sample(m);
  for (std::size_t i = 0; i < m; ++i) sample[i] = values[bin_sample_row(i, rows, m)];
  BinnedColumn column;
  column.thresholds = bin_thresholds(sample, max_bins);
  const BinCoder coder(column.thresholds);
  column.codes.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) column.codes[r] = coder.code(values[r]);
  return column;
}

}  // namespace corvane
