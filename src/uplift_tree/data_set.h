// The training data as one immutable column store shared by every tree and
// thread of a training call, and cheap handles that select rows of it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
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

// A numeric column as bin codes, one byte per row: code c means the value is
// at most thresholds[c] and above thresholds[c - 1]; the last code
// (thresholds.size()) holds the values above every threshold and NaN, which
// every split sends right. So `value <= thresholds[j]` holds exactly for the
// codes up to j, and a split written with that float threshold routes every
// row as its code did.
struct BinnedColumn {
  std::vector<std::uint8_t> codes;  // one per row
  std::vector<float> thresholds;    // ascending, finite, at most 254
};

// Where a feature's cells are kept: num_cols[index] (or bin_cols[index] when
// the numeric columns are binned) for a numeric feature, str_cols[index] for
// a categorical one.
struct ColumnRef {
  FeatureKind kind = FeatureKind::kNumeric;
  std::uint32_t index = 0;
};

// The columns of a training call. The numeric columns are either all kept as
// numbers (num_cols) or all as bin codes (bin_cols), for the finders that
// read nothing else.
struct RawData {
  std::vector<StrColumn> str_cols;
  std::vector<std::vector<float>> num_cols;
  std::vector<BinnedColumn> bin_cols;
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
  const BinnedColumn& bins(ColumnRef c) const { return bin_cols[c.index]; }
  const StrColumn& categories(ColumnRef c) const { return str_cols[c.index]; }
  bool binned() const { return !bin_cols.empty(); }
  // The reference of the column added last to num_cols or str_cols.
  ColumnRef last_column(FeatureKind kind) const {
    std::size_t count = 0;
    switch (kind) {
      case FeatureKind::kNumeric:
        count = num_cols.size() + bin_cols.size();
        break;
      case FeatureKind::kCategorical:
        count = str_cols.size();
        break;
    }
    return {kind, static_cast<std::uint32_t>(count - 1)};
  }
  std::size_t n_groups() const { return static_cast<std::size_t>(max_treatment) + 1; }
};

// Some rows of the column store: a range of a row list. A list made for a
// subset is its data sets' own: growth gives each node a range of its tree's
// list, which the node's split reorders in place into its children's ranges
// (sibling ranges belong to distinct nodes, so no two writers ever share a
// row). The list of all rows (from_raw_data) is shared by every tree and
// never reordered.
class DataSet {
 public:
  // Covers all rows. The caller has checked the columns (equal lengths,
  // no negative treatment code).
  static DataSet from_raw_data(RawData raw);

  // The statistic of every group over the data set's rows.
  template <class Stats>
  GroupStats<Stats> summary() const;

  // A data set over all of `rows` (taken from this data set's pool), which
  // it owns.
  DataSet subset(RowList rows) const {
    const std::size_t n = rows.size();
    return DataSet(raw_, std::move(rows), 0, n, pool_, true);
  }
  // The first `n_left` rows and the others, as two data sets sharing this
  // one's list.
  std::pair<DataSet, DataSet> split(std::size_t n_left) const {
    return {DataSet(raw_, rows_, begin_, begin_ + n_left, pool_, owns_rows_),
            DataSet(raw_, rows_, begin_ + n_left, end_, pool_, owns_rows_)};
  }
  // Whether the rows may be reordered (mutable_indices): not those of the
  // shared list of all rows.
  bool owns_rows() const { return owns_rows_; }

  const RawData& raw() const { return *raw_; }
  std::span<const std::uint32_t> indices() const {
    return std::span<const std::uint32_t>(rows_.rows()).subspan(begin_, end_ - begin_);
  }
  // The rows, to be reordered by the one node that owns this range.
  std::span<std::uint32_t> mutable_indices() {
    return std::span<std::uint32_t>(rows_.mutable_rows()).subspan(begin_, end_ - begin_);
  }
  std::size_t size() const { return end_ - begin_; }
  RowList take_rows() const { return pool_->take(); }

 private:
  DataSet(std::shared_ptr<const RawData> raw, RowList rows, std::size_t begin, std::size_t end,
          std::shared_ptr<IndexPool> pool, bool owns_rows)
      : raw_(std::move(raw)),
        rows_(std::move(rows)),
        begin_(begin),
        end_(end),
        pool_(std::move(pool)),
        owns_rows_(owns_rows) {}

  std::shared_ptr<const RawData> raw_;
  RowList rows_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::shared_ptr<IndexPool> pool_;
  bool owns_rows_ = false;
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
