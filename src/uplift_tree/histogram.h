// A feature's histogram over a set of rows: for every bin (a numeric
// feature's bin code, a categorical one's category code) one outcome
// statistic per treatment group. Statistics add up, so histograms do: the
// histogram of two disjoint row sets is the merge of theirs (partitions of a
// data set counted apart can be summed), and a node's histogram less one
// child's is the other child's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "uplift_tree/data_set.h"
#include "uplift_tree/outcome_stats.h"

namespace corvane {

template <class Stats>
class Histogram {
 public:
  Histogram() = default;
  Histogram(std::size_t bins, std::size_t groups) { reset(bins, groups); }

  // Empties the histogram and gives it `bins` bins of `groups` groups.
  void reset(std::size_t bins, std::size_t groups) {
    groups_ = groups;
    cells_.assign(bins * groups, Stats{});
  }

  std::size_t bins() const { return groups_ == 0 ? 0 : cells_.size() / groups_; }
  std::size_t groups() const { return groups_; }
  // Bin b's statistics, one per group, control first.
  std::span<const Stats> bin(std::size_t b) const { return {cells_.data() + b * groups_, groups_}; }
  std::span<const Stats> cells() const { return cells_; }

  // Adds `rows` of the data: row r to bin codes[r] of its group.
  template <class Code>
  void count(const RawData& raw, const Code* codes, std::span<const std::uint32_t> rows);
  // Adds `rows`, whose groups and outcomes stand at the same positions of
  // `labels` (anything with `group` and `outcome`): only the codes are read
  // from scattered rows.
  template <class Code, class Label>
  void count(const Code* codes, std::span<const std::uint32_t> rows, const Label* labels);
  // Adds rows 0 .. n-1 of the data.
  template <class Code>
  void count_all(const RawData& raw, const Code* codes, std::size_t n);

  // The histogram of the union of both row sets (disjoint ones); both have
  // the same shape.
  void merge(const Histogram& other) {
    for (std::size_t i = 0; i < cells_.size(); ++i) cells_[i].merge(other.cells_[i]);
  }
  // The histogram of this row set less `other`, a subset of it.
  void subtract(const Histogram& other) {
    for (std::size_t i = 0; i < cells_.size(); ++i) cells_[i].subtract(other.cells_[i]);
  }

 private:
  std::size_t groups_ = 0;
  std::vector<Stats> cells_;
};

// ---------------------------------------------------------------------------

// Rows ahead whose cells are asked for before they are counted: deep nodes
// touch rows scattered over large columns.
inline constexpr std::size_t kHistogramPrefetch = 64;

template <class Stats>
template <class Code>
void Histogram<Stats>::count(const RawData& raw, const Code* codes,
                             std::span<const std::uint32_t> rows) {
  const std::int32_t* treatment = raw.treatment.data();
  const typename Stats::Outcome* outcome = Stats::outcomes(raw).data();
  Stats* cells = cells_.data();
  const std::size_t groups = groups_;
  const std::size_t n = rows.size();
  const std::uint32_t* row = rows.data();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kHistogramPrefetch < n) {
      const std::uint32_t ahead = row[i + kHistogramPrefetch];
      __builtin_prefetch(codes + ahead);
      __builtin_prefetch(treatment + ahead);
      __builtin_prefetch(outcome + ahead);
    }
    const std::uint32_t r = row[i];
    cells[static_cast<std::size_t>(codes[r]) * groups + static_cast<std::size_t>(treatment[r])].add(
        outcome[r]);
  }
}

template <class Stats>
template <class Code, class Label>
void Histogram<Stats>::count(const Code* codes, std::span<const std::uint32_t> rows,
                             const Label* labels) {
  Stats* cells = cells_.data();
  const std::size_t groups = groups_;
  const std::size_t n = rows.size();
  const std::uint32_t* row = rows.data();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kHistogramPrefetch < n) __builtin_prefetch(codes + row[i + kHistogramPrefetch]);
    const Label& label = labels[i];
    cells[static_cast<std::size_t>(codes[row[i]]) * groups + label.group].add(label.outcome);
  }
}

template <class Stats>
template <class Code>
void Histogram<Stats>::count_all(const RawData& raw, const Code* codes, std::size_t n) {
  const std::int32_t* treatment = raw.treatment.data();
  const typename Stats::Outcome* outcome = Stats::outcomes(raw).data();
  Stats* cells = cells_.data();
  const std::size_t groups = groups_;
  for (std::size_t r = 0; r < n; ++r)
    cells[static_cast<std::size_t>(codes[r]) * groups + static_cast<std::size_t>(treatment[r])].add(
        outcome[r]);
}

}  // namespace corvane
