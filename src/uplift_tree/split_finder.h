// The way a node's split search finds and counts its candidates. A finder is
// made once per training call for its data and shared by every tree and
// worker of the call; growth runs one job per drawn feature, each calling
// search(), then has the finder partition the node's rows by the winner.
// Finders are written against the outcome statistic (outcome_stats.h) and
// reuse the scoring and the offer of split_search.h: the sampled-quantile
// finder (quantile_finder.cpp) and the histogram finder (hist_finder.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "uplift_tree/data_set.h"
#include "uplift_tree/rng.h"
#include "uplift_tree/split_search.h"

namespace corvane {

// Which finder a training call uses; the values index kSplitterNames.
enum class Splitter : std::uint8_t {
  // Candidates from a sample of each node's rows: the sample's quantiles
  // (max_bins - 1 of them) or up to max_bins - 1 of its categories.
  kSampledQuantiles = 0,
  // Every numeric feature binned once per training call into at most
  // max_bins (at most 255) quantile bins; a node's candidates are the edges
  // of the bins that hold its rows, and every category it holds.
  kHistogram = 1,
};

// The training parameter's word for each finder, in the order of Splitter.
inline constexpr std::array<std::string_view, 2> kSplitterNames = {"quantile", "hist"};

// The finder called `name`; anything else stops naming the words taken.
Splitter splitter_called(std::string_view name);

// What a finder keeps of one node between the node's search and its
// children's (a histogram finder's per-feature histograms, say), opaque to
// growth. The growing thread owns it: it asks the finder for a tree root's
// and for the children's of each split node, hands each to its node's search
// jobs (NodeSearch::cache) and lets it go once the node's children have
// searched. A finder that keeps nothing hands out none.
class NodeCache {
 public:
  virtual ~NodeCache() = default;
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

  // Writes the rows of a node (`rows`, its cache `cache`) to `into` so that
  // the `n_left` rows the split sends left come first, both sides in the
  // node's order. `into` is either the same memory (the node's own range,
  // reordered in place) or as many rows elsewhere (a fresh list, when the
  // node's rows are shared).
  virtual void partition(std::span<const std::uint32_t> rows, std::span<std::uint32_t> into,
                         const SplitTest& test, std::size_t n_left, NodeCache* cache) const = 0;

  // The cache of a tree's root, whose rows are `root`, or none.
  virtual std::unique_ptr<NodeCache> root_cache(const DataSet& /*root*/) const { return nullptr; }
  // The caches of the children of a split node (whose cache is `parent`,
  // null for none), given their rows; either may be null. Called by the
  // growing thread once the node's jobs have all ended; `parent` lives until
  // both children's searches have ended.
  virtual std::array<std::unique_ptr<NodeCache>, 2> child_caches(NodeCache* /*parent*/,
                                                                 const DataSet& /*left*/,
                                                                 const DataSet& /*right*/) const {
    return {};
  }
};

// How a training call's finder reads its data besides the forest's settings.
struct FinderSettings {
  // The histogram finder's bins per numeric feature (at most 255 are used),
  // when it bins the data itself (data that hold numbers rather than codes).
  std::uint64_t max_bins = 0;
};

// The finder `kind` for `data` (which must outlive it). Stops with a message
// when the data are not of the kind the finder reads (binned data for the
// sampled-quantile finder).
template <class Stats>
std::unique_ptr<const SplitFinder<Stats>> make_split_finder(Splitter kind, const RawData& data,
                                                            const FinderSettings& settings = {});

// Each finder's maker (quantile_finder.cpp, hist_finder.cpp).
template <class Stats>
std::unique_ptr<const SplitFinder<Stats>> make_sampled_quantile_finder(const RawData& data);
template <class Stats>
std::unique_ptr<const SplitFinder<Stats>> make_histogram_finder(const RawData& data,
                                                                const FinderSettings& settings);

}  // namespace corvane
