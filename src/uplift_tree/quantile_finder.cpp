// The sampled-quantile finder: each job draws a sample of the node's rows,
// takes its candidates from the sample (quantile thresholds of a numeric
// feature, some of its categories for a categorical one) and counts all the
// node's rows into the candidates' bins in one pass: each row is placed among
// the sorted thresholds (or its category looked up among the chosen ones) and
// the bins are cumulated. Row lists are built afterwards, by the growing
// thread, for the winning split only. This gives the same statistics, gains
// and tie-breaks as partitioning the rows once per candidate.
#include <algorithm>
#include <limits>

#include "core/error.h"
#include "uplift_tree/quantiles.h"
#include "uplift_tree/row_partition.h"
#include "uplift_tree/row_sample.h"
#include "uplift_tree/split_finder.h"

namespace corvane {

namespace {

constexpr std::uint64_t kSampleRowsPerBin = 500;
// Up to this many thresholds a row is compared with all of them at once.
constexpr std::size_t kPaddedThresholds = 16;
// Rows ahead whose column cells are prefetched in counting passes.
constexpr std::size_t kPrefetchDistance = 16;

// Reused buffers of one worker thread, so a job allocates nothing once the
// worker has seen a node of the same size.
template <class Stats>
struct Scratch {
  std::vector<std::uint32_t> sample;  // row numbers of the sample
  std::vector<std::uint64_t> taken;   // bitset over node positions
  std::vector<float> values;
  std::vector<float> thresholds;
  QuantileScratch quantiles;
  std::vector<std::uint32_t> categories;  // candidate category codes
  std::vector<std::int32_t> slot_of;      // category code -> candidate, or -1
  std::vector<Stats> bins;                // per candidate bin: one statistic per group
  GroupStats<Stats> right;
};

// Out of line so the thread-local lookup happens once per job: inlined, the
// compiler repeats it (a call into the dynamic loader) inside the row loops.
template <class Stats>
[[gnu::noinline]] Scratch<Stats>& scratch() {
  thread_local Scratch<Stats> s;
  return s;
}

// The sample step: how many rows, and which.
std::uint64_t sample_size(std::uint64_t max_bins, std::uint64_t n) {
  if (max_bins > n / kSampleRowsPerBin) return n;  // 500 * max_bins >= n, without overflow
  return std::min(kSampleRowsPerBin * max_bins, n);
}

// The candidate step of a numeric feature: the sample's quantiles.
template <class Stats>
void numeric_candidates(const std::vector<float>& column, std::uint64_t max_bins,
                        Scratch<Stats>& s) {
  s.values.clear();
  for (std::uint32_t r : s.sample) s.values.push_back(column[r]);
  quantile_thresholds(s.values, max_bins, s.quantiles, s.thresholds);
}

// The candidate step of a categorical feature: up to max_bins - 1 of the
// sample's distinct categories, chosen by reservoir sampling over the order in
// which they first occur in the sample.
template <class Stats>
void category_candidates(const StrColumn& column, std::uint64_t max_bins, Rng& rng,
                         Scratch<Stats>& s) {
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

template <class Stats>
class SampledQuantileFinder final : public SplitFinder<Stats> {
 public:
  explicit SampledQuantileFinder(const RawData& raw) : raw_(raw) {}

  void search(NodeSearch<Stats>& search, const FeatureJob& job, Rng& rng) const override {
    const ColumnRef column = raw_.col_index.at(job.feature);
    Scratch<Stats>& s = scratch<Stats>();
    draw_sample(search.data->indices(), sample_size(search.max_bins, search.data->size()), rng,
                s.taken, s.sample);
    switch (column.kind) {
      case FeatureKind::kNumeric:
        return search_numeric(search, job, column, s);
      case FeatureKind::kCategorical:
        return search_categorical(search, job, column, rng, s);
    }
  }

  bool sends_left(const SplitTest& test, std::uint32_t row) const override {
    switch (test.column.kind) {
      case FeatureKind::kNumeric:
        return raw_.numbers(test.column)[row] <= test.threshold;
      case FeatureKind::kCategorical:
        return raw_.categories(test.column).codes[row] == test.category;
    }
    return false;
  }

  void partition(std::span<const std::uint32_t> rows, std::span<std::uint32_t> into,
                 const SplitTest& test, std::size_t n_left, NodeCache*) const override {
    // The test of sends_left, with the column's cells at hand.
    auto split = [&](const auto* cells, auto goes_left) {
      auto prefetch = [=](std::uint32_t r) { __builtin_prefetch(cells + r); };
      if (rows.data() == into.data()) return partition_rows(into, n_left, goes_left, prefetch);
      partition_rows(rows, into, n_left, goes_left, prefetch);
    };
    switch (test.column.kind) {
      case FeatureKind::kNumeric: {
        const float* values = raw_.numbers(test.column).data();
        const float threshold = test.threshold;
        return split(values, [=](std::uint32_t r) { return values[r] <= threshold; });
      }
      case FeatureKind::kCategorical: {
        const std::uint32_t* codes = raw_.categories(test.column).codes.data();
        const std::uint32_t category = test.category;
        return split(codes, [=](std::uint32_t r) { return codes[r] == category; });
      }
    }
  }

 private:
  // The count step of a numeric feature: every row of the node into the bin
  // of its place among the thresholds, then the bins cumulated.
  void search_numeric(NodeSearch<Stats>& search, const FeatureJob& job, ColumnRef ref,
                      Scratch<Stats>& s) const {
    const std::vector<float>& column = raw_.numbers(ref);
    numeric_candidates(column, search.max_bins, s);
    const std::size_t k = s.thresholds.size();
    if (k == 0) return;

    const std::size_t groups = raw_.n_groups();
    s.bins.assign((k + 1) * groups, Stats{});
    const float* t = s.thresholds.data();
    const std::int32_t* treatment = raw_.treatment.data();
    const typename Stats::Outcome* outcome = Stats::outcomes(raw_).data();
    const float* values = column.data();
    Stats* bins = s.bins.data();
    // Bin j holds the rows whose first threshold at or above the value is j,
    // so j = k - (number of thresholds >= v); a NaN value compares false with
    // all of them and lands in bin k, right of every threshold.
    const std::span<const std::uint32_t> rows = search.data->indices();
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
        bins[bin_of(values[r]) * groups + static_cast<std::size_t>(treatment[r])].add(outcome[r]);
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
      for (std::size_t g = 0; g < groups; ++g)
        bins[c * groups + g].merge(bins[(c - 1) * groups + g]);

    auto left_of = [&](std::size_t c) { return std::span<const Stats>(bins + c * groups, groups); };
    const BestCandidate best = best_candidate(search, k, left_of, s.right);
    if (!best.found) return;
    const float threshold = s.thresholds[best.candidate];
    offer<Stats>(search, job, best.gain, left_of(best.candidate), SplitValue::numeric(threshold),
                 {ref, threshold, 0});
  }

  // The count step of a categorical feature: every row of a chosen category
  // into that category's bin.
  void search_categorical(NodeSearch<Stats>& search, const FeatureJob& job, ColumnRef ref, Rng& rng,
                          Scratch<Stats>& s) const {
    const StrColumn& column = raw_.categories(ref);
    category_candidates(column, search.max_bins, rng, s);
    const std::size_t k = s.categories.size();
    if (k == 0) return;

    const std::size_t groups = raw_.n_groups();
    s.bins.assign(k * groups, Stats{});
    for (std::size_t c = 0; c < k; ++c) s.slot_of[s.categories[c]] = static_cast<std::int32_t>(c);
    const std::int32_t* treatment = raw_.treatment.data();
    const typename Stats::Outcome* outcome = Stats::outcomes(raw_).data();
    const std::uint32_t* codes = column.codes.data();
    const std::int32_t* slot_of = s.slot_of.data();
    Stats* bins = s.bins.data();
    for (std::uint32_t r : search.data->indices()) {
      const std::int32_t slot = slot_of[codes[r]];
      if (slot < 0) continue;
      bins[static_cast<std::size_t>(slot) * groups + static_cast<std::size_t>(treatment[r])].add(
          outcome[r]);
    }
    for (std::size_t c = 0; c < k; ++c) s.slot_of[s.categories[c]] = -1;

    auto left_of = [&](std::size_t c) { return std::span<const Stats>(bins + c * groups, groups); };
    const BestCandidate best = best_candidate(search, k, left_of, s.right);
    if (!best.found) return;
    const std::uint32_t category = s.categories[best.candidate];
    offer<Stats>(search, job, best.gain, left_of(best.candidate),
                 SplitValue::str(column.categories[category]), {ref, 0.0f, category});
  }

  const RawData& raw_;
};

}  // namespace

template <class Stats>
std::unique_ptr<const SplitFinder<Stats>> make_sampled_quantile_finder(const RawData& data) {
  if (data.binned())
    fail("the sampled-quantile splitter needs the numeric features' values, not their bins");
  return std::make_unique<SampledQuantileFinder<Stats>>(data);
}

#define CORVANE_INSTANTIATE_QUANTILE_FINDER(Stats)                                        \
  template std::unique_ptr<const SplitFinder<Stats>> make_sampled_quantile_finder<Stats>( \
      const RawData&);
CORVANE_EACH_OUTCOME_STATS(CORVANE_INSTANTIATE_QUANTILE_FINDER)

}  // namespace corvane
