// What the search for the best split of one node shares, whatever finds the
// candidates: the node's record of its best split so far, the scoring of a
// feature's candidates from their left sides' statistics, and the offer of a
// feature's best candidate to the record. One job per drawn feature runs on
// the shared worker pool (split_finder.h says how a job finds candidates).
#pragma once

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "uplift_tree/criteria.h"
#include "uplift_tree/data_set.h"
#include "uplift_tree/split_value.h"

namespace corvane {

// How a split sends a row of the training data: left when its number is at
// most the threshold (its bin code at most `bin`, in binned data), or when it
// is of the split's category.
struct SplitTest {
  ColumnRef column;
  float threshold = 0.0f;      // numeric
  std::uint32_t category = 0;  // categorical: the category's code in its column
  std::uint32_t bin = 0;       // numeric, binned: the last bin code sent left
};

class NodeCache;

// Best split found so far at one node. Every field is read and written under
// `mutex`; the fields describe either nothing (gain == kNoGain) or one
// complete candidate.
template <class Stats>
struct Split {
  static constexpr double kNoGain = -DBL_MAX;

  std::mutex mutex;
  GroupStats<Stats> left_stats;
  GroupStats<Stats> right_stats;
  std::string col_name;
  SplitValue split_value;
  SplitTest test;  // split_value's test, on col_name's column
  double gain = kNoGain;
  std::size_t rank = SIZE_MAX;  // of col_name's job among the node's jobs
  std::exception_ptr failure;   // first job that failed, if any
};

// What the jobs of one node share. Owned by the growing thread, which waits
// for every job of the node before it touches `split` or lets this go.
template <class Stats>
struct NodeSearch {
  const DataSet* data = nullptr;
  const GroupStats<Stats>* parent = nullptr;
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
  // What the finder keeps for this node (SplitFinder::root_cache and
  // child_caches), or null. Jobs of distinct features may use it at once.
  NodeCache* cache = nullptr;
  Split<Stats> split;
  // Whether any job scored a candidate whose sides were both large enough,
  // and whether any such score was a number (not NaN). Set by the jobs, read
  // by the growing thread once they have all ended.
  std::atomic<bool> scored_candidate{false};
  std::atomic<bool> scored_number{false};
};

// The best of a feature's candidates: the first strict maximum of the gain
// in candidate order (NaN never wins), if any candidate leaves more than
// min_sample_leaf rows on both sides.
struct BestCandidate {
  std::size_t candidate = 0;
  double gain = -DBL_MAX;
  bool found = false;
};

// Scores `candidates` candidates whose left sides' statistics are
// left_of(c) (one per group, as spans), in order. `right` is scratch.
template <class Stats, class LeftOf>
BestCandidate best_candidate(NodeSearch<Stats>& search, std::size_t candidates, LeftOf&& left_of,
                             GroupStats<Stats>& right);

// One feature's search at a node: the feature, its number among the tree's
// features, and its job's place in the order the node drew its features.
struct FeatureJob {
  const std::string& feature;
  std::size_t index;
  std::size_t rank;
};

// Offers a feature's best candidate to the node's record, which keeps it when
// its gain beats the record's, or equals it from a job drawn earlier: which
// job happens to finish first never decides a tie, so a seeded training
// grows the same tree whatever the thread count.
template <class Stats>
void offer(NodeSearch<Stats>& search, const FeatureJob& job, double gain,
           std::span<const Stats> left, SplitValue value, const SplitTest& test);

// ---------------------------------------------------------------------------

template <class Stats, class LeftOf>
BestCandidate best_candidate(NodeSearch<Stats>& search, std::size_t candidates, LeftOf&& left_of,
                             GroupStats<Stats>& right) {
  const GroupStats<Stats>& parent = *search.parent;
  const std::uint64_t n = search.data->size();
  const std::size_t groups = parent.size();
  BestCandidate best;
  bool scored = false;         // some candidate had both sides large enough
  bool scored_number = false;  // and some such gain was not NaN
  right.resize(groups);
  for (std::size_t c = 0; c < candidates; ++c) {
    const std::span<const Stats> left = left_of(c);
    const std::uint64_t n_left = rows_of(left);
    const std::uint64_t n_right = n - n_left;
    if (n_left <= search.min_sample_leaf || n_right <= search.min_sample_leaf) continue;
    for (std::size_t g = 0; g < groups; ++g) {
      right[g] = parent[g];
      right[g].subtract(left[g]);
    }
    const double left_score = calc_score<Stats>(left, search.eval_func, search.balance, n_left);
    const double right_score = calc_score<Stats>(right, search.eval_func, search.balance, n_right);
    const double gain = split_gain<Stats>(search.parent_score, left_score, right_score, n, n_left,
                                          parent, left, search.regularization, search.alpha);
    scored = true;
    scored_number |= !std::isnan(gain);
    if (gain > best.gain) {
      best.candidate = c;
      best.gain = gain;
      best.found = true;
    }
  }
  if (scored) search.scored_candidate.store(true, std::memory_order_relaxed);
  if (scored_number) search.scored_number.store(true, std::memory_order_relaxed);
  return best;
}

template <class Stats>
void offer(NodeSearch<Stats>& search, const FeatureJob& job, double gain,
           std::span<const Stats> left, SplitValue value, const SplitTest& test) {
  const GroupStats<Stats>& parent = *search.parent;
  Split<Stats>& split = search.split;
  std::lock_guard lock(split.mutex);
  if (!(gain > split.gain || (gain == split.gain && job.rank < split.rank))) return;
  split.left_stats.assign(left.begin(), left.end());
  split.right_stats = parent;
  for (std::size_t g = 0; g < parent.size(); ++g) split.right_stats[g].subtract(left[g]);
  split.col_name = job.feature;
  split.split_value = std::move(value);
  split.test = test;
  split.gain = gain;
  split.rank = job.rank;
}

}  // namespace corvane
