// The way a node's split search finds and counts its candidates. A finder is
// made once per training call for its data and shared by every tree and
// worker of the call; growth runs one job per drawn feature, each calling
// search(), then has the finder partition the node's rows by the winner.
// Finders are written against the outcome statistic (outcome_stats.h) and
// reuse the scoring and the offer of split_search.h, so a new way of finding
// candidates (pre-binned histograms, say) is one more implementation here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "uplift_tree/data_set.h"
#include "uplift_tree/rng.h"
#include "uplift_tree/split_search.h"

namespace corvane {

// Which finder a training call uses; the values are the parameter's.
enum class Splitter : std::uint8_t {
  // Candidates from a sample of each node's rows: the sample's quantiles
  // (max_bins - 1 of them) or up to max_bins - 1 of its categories.
  kSampledQuantiles = 0,
};

// Thread-safety: every method is const and may run on any number of threads
// at once, for any nodes.
template <class Stats>
class SplitFinder {
 public:
  virtual ~SplitFinder() = default;

  // Evaluates the candidates of the job's feature at the node and offers the
  // best one to search.split, drawing any randomness from `rng` (the job's
  // own stream). May throw.
  virtual void search(NodeSearch<Stats>& search, const FeatureJob& job, Rng& rng) const = 0;

  // Whether `test` sends row `row` of the training data left.
  virtual bool sends_left(const SplitTest& test, std::uint32_t row) const = 0;

  // Fills `left` with the rows of `data` that the split sends left and
  // `right` with the others, both in the node's order; `n_left` is how many
  // go left.
  virtual void partition(const DataSet& data, const SplitTest& test, std::size_t n_left,
                         std::vector<std::uint32_t>& left,
                         std::vector<std::uint32_t>& right) const = 0;
};

// The finder `kind` for `data` (which must outlive it).
template <class Stats>
std::unique_ptr<const SplitFinder<Stats>> make_split_finder(Splitter kind, const RawData& data);

}  // namespace corvane
