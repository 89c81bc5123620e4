// Search for the best split of one node: one job per drawn feature runs on
// the shared worker pool and offers its best candidate to the node's record.
//
// A job counts all its candidates in one pass over the node's rows: each row
// is placed among the sorted thresholds (or its category looked up among the
// chosen ones) and the per-group counts are cumulated per candidate. Row lists
// are built afterwards, by the growing thread, for the winning split only.
// This gives the same counts, gains and tie-breaks as partitioning the rows
// once per candidate.
#pragma once

#include <atomic>
#include <cfloat>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

#include "uplift_tree/criteria.h"
#include "uplift_tree/data_set.h"
#include "uplift_tree/split_value.h"

namespace corvane {

// How a split sends a row of the training data: left when its number is at
// most the threshold, or when it is of the split's category.
struct SplitTest {
  ColumnRef column;
  float threshold = 0.0f;      // numeric
  std::uint32_t category = 0;  // categorical: the category's code in its column

  bool sends_left(const RawData& raw, std::uint32_t row) const;
};

// Best split found so far at one node. Every field is read and written under
// `mutex`; the fields describe either nothing (gain == kNoGain) or one
// complete candidate.
struct Split {
  static constexpr double kNoGain = -DBL_MAX;

  std::mutex mutex;
  GroupCounts left_counts;
  GroupCounts right_counts;
  std::string col_name;
  SplitValue split_value;
  SplitTest test;  // split_value's test, on col_name's column
  double gain = kNoGain;
  std::exception_ptr failure;  // first job that failed, if any
};

// What the jobs of one node share. Owned by the growing thread, which waits
// for every job of the node before it touches `split` or lets this go.
struct NodeSearch {
  const DataSet* data = nullptr;
  const GroupCounts* parent_counts = nullptr;
  double parent_score = 0.0;
  std::uint64_t max_bins = 0;
  std::uint64_t min_sample_leaf = 0;
  double alpha = 0.0;
  bool balance = false;
  bool regularization = false;
  EvalFunc eval_func = EvalFunc::Euclidean;
  // Key of the node's search streams; each feature's job draws from the
  // sub-stream of its feature index, whichever worker runs it.
  std::uint64_t jobs_key = 0;
  Split split;
  // Whether any job scored a candidate whose sides were both large enough,
  // and whether any such score was a number (not NaN). Set by the jobs, read
  // by the growing thread once they have all ended.
  std::atomic<bool> scored_candidate{false};
  std::atomic<bool> scored_number{false};
};

// Evaluates every candidate of `feature` (the tree's feature number
// `feature_index`) and offers the best to search.split. Runs on a pool
// worker; never throws (failures go to split.failure).
void run_feature_split_job(NodeSearch& search, const std::string& feature,
                           std::size_t feature_index) noexcept;

// Fills `left` with the node's rows that satisfy the split and `right` with
// the others, both in node order.
void partition_rows(const DataSet& data, const Split& split, std::vector<std::uint32_t>& left,
                    std::vector<std::uint32_t>& right);

}  // namespace corvane
