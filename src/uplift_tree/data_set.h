// The training data as one immutable column store shared by every tree and
// thread of a training call, and cheap handles that select rows of it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "concurrency/index_pool.h"
#include "uplift_tree/feature_kind.h"
#include "uplift_tree/outcome_stats.h"

namespace corvane {

// A categorical column, dictionary-encoded once when the data set is built:
// every later comparison of two cells of one column is an integer compare.
struct StrColumn {
  std::vector<std::uint32_t> codes;     // one per row
  std::vector<std::string> categories;  // code -> text, in order of first occurrence
};

// Where a feature's cells are kept: num_cols[index] for a numeric feature,
// str_cols[index] for a categorical one.
struct ColumnRef {
  FeatureKind kind = FeatureKind::kNumeric;
  std::uint32_t index = 0;
};

struct RawData {
  std::vector<StrColumn> str_cols;
  std::vector<std::vector<float>> num_cols;
  std::vector<std::int32_t> treatment;
  // The outcome of every row: 0/1 (`outcome`) or, when `real` is set, any
  // finite number (`real_outcome`).
  std::vector<std::int8_t> outcome;
  std::vector<double> real_outcome;
  bool real = false;
  std::vector<std::string> col_names;
  std::unordered_map<std::string, ColumnRef> col_index;
  std::int32_t max_treatment = 0;

  std::size_t n_rows() const { return treatment.size(); }
  const std::vector<float>& numbers(ColumnRef c) const { return num_cols[c.index]; }
  const StrColumn& categories(ColumnRef c) const { return str_cols[c.index]; }
  // The reference of the column added last to num_cols or str_cols.
  ColumnRef last_column(FeatureKind kind) const {
    std::size_t count = 0;
    switch (kind) {
      case FeatureKind::kNumeric:
        count = num_cols.size();
        break;
      case FeatureKind::kCategorical:
        count = str_cols.size();
        break;
    }
    return {kind, static_cast<std::uint32_t>(count - 1)};
  }
  std::size_t n_groups() const { return static_cast<std::size_t>(max_treatment) + 1; }
};

class DataSet {
 public:
  // Covers all rows. The caller has checked the columns (equal lengths,
  // no negative treatment code).
  static DataSet from_raw_data(RawData raw);

  // The statistic of every group over the data set's rows.
  template <class Stats>
  GroupStats<Stats> summary() const;

  // A data set over `rows` (taken from this data set's pool).
  DataSet subset(RowList rows) const { return DataSet(raw_, std::move(rows), pool_); }

  const RawData& raw() const { return *raw_; }
  const std::vector<std::uint32_t>& indices() const { return indices_.rows(); }
  std::size_t size() const { return indices_.size(); }
  RowList take_rows() const { return pool_->take(); }

 private:
  DataSet(std::shared_ptr<const RawData> raw, RowList indices, std::shared_ptr<IndexPool> pool)
      : raw_(std::move(raw)), indices_(std::move(indices)), pool_(std::move(pool)) {}

  std::shared_ptr<const RawData> raw_;
  RowList indices_;
  std::shared_ptr<IndexPool> pool_;
};

// Adds each of `rows` to its group's statistic in `groups` (one per group).
template <class Stats>
void add_rows(const RawData& raw, std::span<const std::uint32_t> rows, std::span<Stats> groups) {
  const std::int32_t* treatment = raw.treatment.data();
  const typename Stats::Outcome* outcome = Stats::outcomes(raw).data();
  for (std::uint32_t r : rows) groups[static_cast<std::size_t>(treatment[r])].add(outcome[r]);
}

// Calls f(Stats{}) with the statistic that counts the outcomes of `raw`: the
// one place that picks the instantiation of the algorithms for a data set.
template <class F>
decltype(auto) with_outcome_stats(const RawData& raw, F&& f) {
  if (raw.real) return f(RealStats{});
  return f(BinaryStats{});
}

template <class Stats>
GroupStats<Stats> DataSet::summary() const {
  GroupStats<Stats> groups(raw_->n_groups());
  add_rows<Stats>(*raw_, indices(), groups);
  return groups;
}

}  // namespace corvane
