#include "uplift_tree/split_search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <span>

#include "uplift_tree/criteria.h"
#include "uplift_tree/quantiles.h"
#include "uplift_tree/rng.h"

namespace corvane {

namespace {

constexpr std::uint64_t kSampleRowsPerBin = 500;
// Up to this many thresholds a row is compared with all of them at once.
constexpr std::size_t kPaddedThresholds = 16;
// Rows ahead whose column cells are prefetched in counting passes.
constexpr std::size_t kPrefetchDistance = 16;

// Reused buffers of one worker thread, so a job allocates nothing once the
// worker has seen a node of the same size.
struct Scratch {
  std::vector<std::uint32_t> sample;  // row numbers of the sample
  std::vector<std::uint64_t> taken;   // bitset over node positions
  std::vector<float> values;
  std::vector<float> thresholds;
  QuantileScratch quantiles;
  std::vector<std::uint32_t> categories;  // candidate category codes
  std::vector<std::int32_t> slot_of;      // category code -> candidate, or -1
  std::vector<std::int32_t> bins;         // per candidate bin: counts of groups
  std::vector<std::int32_t> right;
};

// Out of line so the thread-local lookup happens once per job: inlined, the
// compiler repeats it (a call into the dynamic loader) inside the row loops.
[[gnu::noinline]] Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

std::uint64_t sample_size(std::uint64_t max_bins, std::uint64_t n) {
  if (max_bins > n / kSampleRowsPerBin) return n;  // 500 * max_bins >= n, without overflow
  return std::min(kSampleRowsPerBin * max_bins, n);
}

// m distinct positions of the node's rows, uniformly without replacement.
void draw_sample(const std::vector<std::uint32_t>& rows, std::uint64_t m, Rng& rng, Scratch& s) {
  s.sample.clear();
  const std::uint64_t n = rows.size();
  if (m == n) {
    s.sample.assign(rows.begin(), rows.end());
    return;
  }
  // Floyd's algorithm: m draws, a bitset to reject repeats. The sample is
  // then read off the bitset in row order, so that gathering its cells walks
  // the columns forwards instead of jumping around them.
  s.taken.assign((n + 63) / 64, 0);
  for (std::uint64_t j = n - m; j < n; ++j) {
    std::uint64_t t = rng.between(0, j);
    if (s.taken[t / 64] >> (t % 64) & 1) t = j;
    s.taken[t / 64] |= std::uint64_t{1} << (t % 64);
  }
  for (std::size_t w = 0; w < s.taken.size(); ++w)
    for (std::uint64_t bits = s.taken[w]; bits != 0; bits &= bits - 1)
      s.sample.push_back(rows[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))]);
}

void numeric_candidates(const std::vector<float>& column, std::uint64_t max_bins, Scratch& s) {
  s.values.clear();
  for (std::uint32_t r : s.sample) s.values.push_back(column[r]);
  quantile_thresholds(s.values, max_bins, s.quantiles, s.thresholds);
}

// Up to max_bins - 1 of the sample's distinct categories, chosen by reservoir
// sampling over the order in which they first occur in the sample.
void category_candidates(const StrColumn& column, std::uint64_t max_bins, Rng& rng, Scratch& s) {
  s.categories.clear();
  const std::uint64_t k = max_bins == 0 ? 0 : max_bins - 1;
  if (k == 0) return;
  if (s.slot_of.size() < column.categories.size()) s.slot_of.resize(column.categories.size(), -1);
  std::uint64_t later = 0;
  for (std::uint32_t r : s.sample) {
    const std::uint32_t code = column.codes[r];
    if (s.slot_of[code] != -1) continue;
    s.slot_of[code] = 0;  // marks the category as seen
    if (s.categories.size() < k) {
      s.categories.push_back(code);
    } else {
      const std::uint64_t j = rng.between(0, k + later);
      ++later;
      if (j < k) s.categories[j] = code;
    }
  }
  // Clear the marks of every seen category (chosen or not).
  for (std::uint32_t r : s.sample) s.slot_of[column.codes[r]] = -1;
}

struct Best {
  std::size_t candidate = 0;
  double gain = Split::kNoGain;
  bool found = false;
  bool scored = false;         // some candidate had both sides large enough
  bool scored_number = false;  // and some such gain was not NaN
};

// Scores the cumulated candidates in list order; the first strict maximum
// wins, NaN never does.
template <class LeftCountsOf>
Best best_candidate(NodeSearch& search, std::size_t candidates, std::size_t width,
                    LeftCountsOf&& left_counts_of, Scratch& s) {
  const GroupCounts& parent = *search.parent_counts;
  const std::uint64_t n = search.data->size();
  Best best;
  s.right.resize(width);
  for (std::size_t c = 0; c < candidates; ++c) {
    std::span<const std::int32_t> left = left_counts_of(c);
    std::uint64_t n_left = 0;
    for (std::size_t g = 0; g < width; g += 2) n_left += static_cast<std::uint64_t>(left[g]);
    const std::uint64_t n_right = n - n_left;
    if (n_left <= search.min_sample_leaf || n_right <= search.min_sample_leaf) continue;
    for (std::size_t i = 0; i < width; ++i) s.right[i] = parent[i] - left[i];
    const double left_score = calc_score(left, search.eval_func, search.balance, n_left);
    const double right_score = calc_score(s.right, search.eval_func, search.balance, n_right);
    const double gain = split_gain(search.parent_score, left_score, right_score, n, n_left, parent,
                                   left, search.regularization, search.alpha);
    best.scored = true;
    best.scored_number |= !std::isnan(gain);
    if (gain > best.gain) {
      best.candidate = c;
      best.gain = gain;
      best.found = true;
    }
  }
  if (best.scored) search.scored_candidate.store(true, std::memory_order_relaxed);
  if (best.scored_number) search.scored_number.store(true, std::memory_order_relaxed);
  return best;
}

void offer(NodeSearch& search, const std::string& feature, double gain,
           std::span<const std::int32_t> left, SplitValue value, const SplitTest& test) {
  const GroupCounts& parent = *search.parent_counts;
  Split& split = search.split;
  std::lock_guard lock(split.mutex);
  if (!(gain > split.gain)) return;
  split.left_counts.assign(left.begin(), left.end());
  split.right_counts.resize(parent.size());
  for (std::size_t i = 0; i < parent.size(); ++i) split.right_counts[i] = parent[i] - left[i];
  split.col_name = feature;
  split.split_value = std::move(value);
  split.test = test;
  split.gain = gain;
}

void search_numeric(NodeSearch& search, const std::string& feature, ColumnRef ref, Scratch& s) {
  const RawData& raw = search.data->raw();
  const std::vector<float>& column = raw.numbers(ref);
  numeric_candidates(column, search.max_bins, s);
  const std::size_t k = s.thresholds.size();
  if (k == 0) return;

  const std::size_t width = 2 * raw.n_groups();
  s.bins.assign((k + 1) * width, 0);
  const float* t = s.thresholds.data();
  const std::int32_t* treatment = raw.treatment.data();
  const std::int8_t* outcome = raw.outcome.data();
  const float* values = column.data();
  std::int32_t* bins = s.bins.data();
  // Bin j holds the rows whose first threshold at or above the value is j, so
  // j = k - (number of thresholds >= v); a NaN value compares false with all
  // of them and lands in bin k, right of every threshold.
  const std::vector<std::uint32_t>& rows = search.data->indices();
  auto count_rows = [&](auto&& bin_of) {
    const std::size_t n = rows.size();
    for (std::size_t i = 0; i < n; ++i) {
      // Deep nodes touch scattered rows of a large column: ask for the
      // cache lines well before they are needed.
      if (i + kPrefetchDistance < n) {
        const std::uint32_t ahead = rows[i + kPrefetchDistance];
        __builtin_prefetch(values + ahead);
        __builtin_prefetch(treatment + ahead);
      }
      const std::uint32_t r = rows[i];
      std::int32_t* bin =
          bins + bin_of(values[r]) * width + 2 * static_cast<std::size_t>(treatment[r]);
      bin[0] += 1;
      bin[1] += outcome[r];
    }
  };
  if (k <= kPaddedThresholds) {
    // A fixed-width compare against all thresholds vectorizes and never
    // branches; NaN padding never compares true.
    alignas(16) float padded[kPaddedThresholds];
    std::fill(padded, padded + kPaddedThresholds, std::numeric_limits<float>::quiet_NaN());
    std::copy(t, t + k, padded);
    count_rows([&](float v) {
      unsigned at_or_above = 0;
      for (std::size_t i = 0; i < kPaddedThresholds; ++i) at_or_above += v <= padded[i];
      return k - at_or_above;
    });
  } else {
    count_rows([&](float v) {
      // Branch-free binary search for the number of thresholds below v.
      const float* base = t;
      for (std::size_t n = k; n > 1;) {
        const std::size_t half = n / 2;
        base += static_cast<std::size_t>(base[half - 1] < v) * half;
        n -= half;
      }
      const std::size_t below = static_cast<std::size_t>(base - t) + (*base < v);
      return v != v ? k : below;
    });
  }
  // Cumulate in place: bin c then holds the left side of threshold c.
  for (std::size_t c = 1; c < k; ++c)
    for (std::size_t i = 0; i < width; ++i) bins[c * width + i] += bins[(c - 1) * width + i];

  auto left_of = [&](std::size_t c) {
    return std::span<const std::int32_t>(bins + c * width, width);
  };
  Best best = best_candidate(search, k, width, left_of, s);
  if (!best.found) return;
  const float threshold = s.thresholds[best.candidate];
  offer(search, feature, best.gain, left_of(best.candidate), SplitValue::numeric(threshold),
        {ref, threshold, 0});
}

void search_categorical(NodeSearch& search, const std::string& feature, ColumnRef ref, Rng& rng,
                        Scratch& s) {
  const RawData& raw = search.data->raw();
  const StrColumn& column = raw.categories(ref);
  category_candidates(column, search.max_bins, rng, s);
  const std::size_t k = s.categories.size();
  if (k == 0) return;

  const std::size_t width = 2 * raw.n_groups();
  s.bins.assign(k * width, 0);
  for (std::size_t c = 0; c < k; ++c) s.slot_of[s.categories[c]] = static_cast<std::int32_t>(c);
  const std::int32_t* treatment = raw.treatment.data();
  const std::int8_t* outcome = raw.outcome.data();
  const std::uint32_t* codes = column.codes.data();
  const std::int32_t* slot_of = s.slot_of.data();
  std::int32_t* bins = s.bins.data();
  for (std::uint32_t r : search.data->indices()) {
    const std::int32_t slot = slot_of[codes[r]];
    if (slot < 0) continue;
    std::int32_t* bin =
        bins + static_cast<std::size_t>(slot) * width + 2 * static_cast<std::size_t>(treatment[r]);
    bin[0] += 1;
    bin[1] += outcome[r];
  }
  for (std::size_t c = 0; c < k; ++c) s.slot_of[s.categories[c]] = -1;

  auto left_of = [&](std::size_t c) {
    return std::span<const std::int32_t>(bins + c * width, width);
  };
  Best best = best_candidate(search, k, width, left_of, s);
  if (!best.found) return;
  const std::uint32_t category = s.categories[best.candidate];
  offer(search, feature, best.gain, left_of(best.candidate),
        SplitValue::str(column.categories[category]), {ref, 0.0f, category});
}

}  // namespace

void run_feature_split_job(NodeSearch& search, const std::string& feature,
                           std::size_t feature_index) noexcept {
  try {
    const RawData& raw = search.data->raw();
    const ColumnRef column = raw.col_index.at(feature);
    Scratch& s = scratch();
    Rng rng(stream_key(search.jobs_key, feature_index));
    draw_sample(search.data->indices(), sample_size(search.max_bins, search.data->size()), rng, s);
    switch (column.kind) {
      case FeatureKind::kNumeric:
        return search_numeric(search, feature, column, s);
      case FeatureKind::kCategorical:
        return search_categorical(search, feature, column, rng, s);
    }
  } catch (...) {
    std::lock_guard lock(search.split.mutex);
    if (!search.split.failure) search.split.failure = std::current_exception();
  }
}

void partition_rows(const DataSet& data, const Split& split, std::vector<std::uint32_t>& left,
                    std::vector<std::uint32_t>& right) {
  const RawData& raw = data.raw();
  const std::vector<std::uint32_t>& rows = data.indices();
  std::size_t n_left = 0;
  for (std::size_t g = 0; g < split.left_counts.size(); g += 2)
    n_left += static_cast<std::size_t>(split.left_counts[g]);
  left.reserve(n_left);
  right.reserve(rows.size() - std::min(n_left, rows.size()));
  // The test of sends_left, with the column's cells at hand.
  const SplitTest& test = split.test;
  switch (test.column.kind) {
    case FeatureKind::kNumeric: {
      const float* values = raw.numbers(test.column).data();
      const float threshold = test.threshold;
      for (std::uint32_t r : rows) (values[r] <= threshold ? left : right).push_back(r);
      return;
    }
    case FeatureKind::kCategorical: {
      const std::uint32_t* codes = raw.categories(test.column).codes.data();
      const std::uint32_t category = test.category;
      for (std::uint32_t r : rows) (codes[r] == category ? left : right).push_back(r);
      return;
    }
  }
}

bool SplitTest::sends_left(const RawData& raw, std::uint32_t row) const {
  switch (column.kind) {
    case FeatureKind::kNumeric:
      return raw.numbers(column)[row] <= threshold;
    case FeatureKind::kCategorical:
      return raw.categories(column).codes[row] == category;
  }
  return false;
}

}  // namespace corvane
