// The histogram finder: numeric features are binned once per training call
// (binning.h; or come binned, when the binding built the data that way) and
// categorical ones are their category codes. A node's search for a feature
// takes the feature's histogram at the node (histogram.h) and scores the
// edges of the bins that hold rows (for a categorical feature, each category
// it holds) with the shared scoring: the same criteria, gains,
// min_samples_leaf rule and tie-breaks as the sampled-quantile finder.
//
// Getting a node's histogram costs one pass over its rows, or none:
// - a tree's root over every row uses the finder's histograms of all rows,
//   counted once per training call and shared by every tree;
// - the larger of two children whose parent counted the feature takes the
//   parent's histogram less the smaller child's (counted for it, if the
//   smaller child had not counted it already);
// - the smaller child counts its own rows, which also serves its sibling.
// Each node keeps its histograms in its cache (NodeCache) for its children
// and its sibling; growth lets the cache go when they have all searched.
//
// Counting reads a node's rows' codes from scattered places of the columns;
// their groups and outcomes it reads in order: once a tree's root is split,
// the tree keeps a label (group and outcome) beside every row of its row
// list, which moves with the row when a node's rows are partitioned.
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>

#include "core/error.h"
#include "uplift_tree/binning.h"
#include "uplift_tree/histogram.h"
#include "uplift_tree/row_partition.h"
#include "uplift_tree/split_finder.h"

namespace corvane {

namespace {

// Histograms of features with more bins (categories) than this are counted
// for each search and never kept: a feature of a million categories would
// otherwise hold megabytes at every node.
constexpr std::size_t kMaxKeptBins = 4096;

// One feature as the finder reads it.
struct HistColumn {
  ColumnRef ref;
  std::size_t bins = 0;
  const BinnedColumn* numbers = nullptr;  // numeric
  const StrColumn* categories = nullptr;  // categorical
};

// A row's group and outcome, kept beside the row (while there are at most
// 256 groups).
template <class Stats>
struct Label {
  typename Stats::Outcome outcome;
  std::uint8_t group;
};
constexpr std::size_t kMaxLabelledGroups = 256;

// What one node keeps. Each feature's slot is written by at most one job at
// a time: the node's own job for the feature, or its sibling's, which never
// run at once (growth searches one node at a time, depth first).
template <class Stats>
struct HistCache final : NodeCache {
  explicit HistCache(std::size_t features) : hist(features, nullptr), owned(features) {}

  // Per feature: the node's histogram, when known (in `owned` or shared).
  std::vector<const Histogram<Stats>*> hist;
  std::vector<Histogram<Stats>> owned;
  std::optional<DataSet> rows;            // the node's (but a root's)
  std::vector<Label<Stats>> tree_labels;  // a root's, once it is split: of the tree's list
  std::span<Label<Stats>> labels;         // the node's rows' (none at a root)
  const HistCache* parent = nullptr;      // lives until this node has searched
  HistCache* sibling = nullptr;           // likewise
  bool larger = false;                    // than its sibling (on a tie, the right one)
  bool all_rows = false;                  // a root over every row of the data
};

// Reused buffers of one worker thread.
template <class Stats>
struct Scratch {
  Histogram<Stats> counted;          // a histogram that is not kept
  std::vector<Stats> left;           // per candidate: its left side's statistics
  std::vector<std::uint32_t> edges;  // per candidate: its bin or category
  GroupStats<Stats> running;
  GroupStats<Stats> right;
};

template <class Stats>
[[gnu::noinline]] Scratch<Stats>& scratch() {
  thread_local Scratch<Stats> s;
  return s;
}

template <class Stats>
bool holds_rows(std::span<const Stats> groups) {
  for (const Stats& g : groups)
    if (g.n != 0) return true;
  return false;
}

template <class Stats>
class HistogramFinder final : public SplitFinder<Stats> {
 public:
  HistogramFinder(const RawData& raw, const FinderSettings& settings)
      : raw_(raw), groups_(raw.n_groups()) {
    if (raw.binned()) {
      for (const BinnedColumn& column : raw.bin_cols) binned_.push_back(&column);
    } else {
      own_bins_.reserve(raw.num_cols.size());
      for (const std::vector<float>& values : raw.num_cols)
        own_bins_.push_back(bin_numbers(values, settings.max_bins));
      for (const BinnedColumn& column : own_bins_) binned_.push_back(&column);
    }
    for (const std::string& name : raw.col_names) {
      HistColumn column;
      column.ref = raw.col_index.at(name);
      switch (column.ref.kind) {
        case FeatureKind::kNumeric:
          column.numbers = binned_[column.ref.index];
          column.bins = column.numbers->thresholds.size() + 1;
          break;
        case FeatureKind::kCategorical:
          column.categories = &raw.categories(column.ref);
          column.bins = column.categories->categories.size();
          break;
      }
      columns_.push_back(column);
    }
    all_rows_ = std::make_unique<AllRows[]>(columns_.size());
  }

  void search(NodeSearch<Stats>& search, const FeatureJob& job, Rng&) const override {
    const HistColumn& column = columns_[job.index];
    Scratch<Stats>& s = scratch<Stats>();
    const Histogram<Stats>& hist = histogram(search, job.index, s);
    switch (column.ref.kind) {
      case FeatureKind::kNumeric:
        return score_edges(search, job, column, hist, s);
      case FeatureKind::kCategorical:
        return score_categories(search, job, column, hist, s);
    }
  }

  bool sends_left(const SplitTest& test, std::uint32_t row) const override {
    switch (test.column.kind) {
      case FeatureKind::kNumeric:
        return binned_[test.column.index]->codes[row] <= test.bin;
      case FeatureKind::kCategorical:
        return raw_.categories(test.column).codes[row] == test.category;
    }
    return false;
  }

  void partition(std::span<const std::uint32_t> rows, std::span<std::uint32_t> into,
                 const SplitTest& test, std::size_t n_left, NodeCache* node) const override {
    auto* cache = static_cast<HistCache<Stats>*>(node);
    const bool in_place = rows.data() == into.data();
    // Labels move with their rows in place; rows written elsewhere (a
    // root's) get their labels once they are there.
    const std::span<Label<Stats>> labels =
        cache && in_place ? cache->labels : std::span<Label<Stats>>();
    auto split = [&](const auto* codes, auto goes_left) {
      auto prefetch = [=](std::uint32_t r) { __builtin_prefetch(codes + r); };
      if (!in_place) return partition_rows(rows, into, n_left, goes_left, prefetch);
      if (labels.empty()) return partition_rows(into, n_left, goes_left, prefetch);
      partition_rows(into, labels, n_left, goes_left, prefetch);
    };
    switch (test.column.kind) {
      case FeatureKind::kNumeric: {
        const std::uint8_t* codes = binned_[test.column.index]->codes.data();
        const std::uint32_t bin = test.bin;
        split(codes, [=](std::uint32_t r) { return codes[r] <= bin; });
        break;
      }
      case FeatureKind::kCategorical: {
        const std::uint32_t* codes = raw_.categories(test.column).codes.data();
        const std::uint32_t category = test.category;
        split(codes, [=](std::uint32_t r) { return codes[r] == category; });
        break;
      }
    }
    if (cache && labels.empty() && groups_ <= kMaxLabelledGroups) {
      // The labels of the rows in their new order, for the children.
      const std::int32_t* treatment = raw_.treatment.data();
      const typename Stats::Outcome* outcome = Stats::outcomes(raw_).data();
      cache->tree_labels.resize(into.size());
      for (std::size_t i = 0; i < into.size(); ++i) {
        const std::uint32_t r = into[i];
        cache->tree_labels[i] = {outcome[r], static_cast<std::uint8_t>(treatment[r])};
      }
      cache->labels = cache->tree_labels;
    }
  }

  std::unique_ptr<NodeCache> root_cache(const DataSet& root) const override {
    auto cache = std::make_unique<HistCache<Stats>>(columns_.size());
    // Rows are distinct, so as many as the data hold are all of them.
    cache->all_rows = root.size() == raw_.n_rows();
    return cache;
  }

  std::array<std::unique_ptr<NodeCache>, 2> child_caches(NodeCache* parent, const DataSet& left,
                                                         const DataSet& right) const override {
    auto l = std::make_unique<HistCache<Stats>>(columns_.size());
    auto r = std::make_unique<HistCache<Stats>>(columns_.size());
    l->parent = r->parent = static_cast<const HistCache<Stats>*>(parent);
    l->sibling = r.get();
    r->sibling = l.get();
    l->rows.emplace(left);
    r->rows.emplace(right);
    l->larger = left.size() > right.size();
    r->larger = !l->larger;
    if (parent && l->parent->labels.size() == left.size() + right.size()) {
      l->labels = l->parent->labels.first(left.size());
      r->labels = l->parent->labels.subspan(left.size());
    }
    return {std::move(l), std::move(r)};
  }

 private:
  // A feature's histogram of every row of the data, counted by the first
  // search that needs it.
  struct AllRows {
    std::once_flag counted;
    Histogram<Stats> hist;
  };

  // Counts the rows of a node (whose cache is `node`, if any) into `hist`.
  void count(Histogram<Stats>& hist, const HistColumn& column, const DataSet& rows,
             const HistCache<Stats>* node) const {
    hist.reset(column.bins, groups_);
    auto count_codes = [&](const auto* codes) {
      if (node && !node->labels.empty())
        hist.count(codes, rows.indices(), node->labels.data());
      else
        hist.count(raw_, codes, rows.indices());
    };
    switch (column.ref.kind) {
      case FeatureKind::kNumeric:
        return count_codes(column.numbers->codes.data());
      case FeatureKind::kCategorical:
        return count_codes(column.categories->codes.data());
    }
  }

  const Histogram<Stats>& all_rows(std::size_t f) const {
    AllRows& shared = all_rows_[f];
    std::call_once(shared.counted, [&] {
      const HistColumn& column = columns_[f];
      shared.hist.reset(column.bins, groups_);
      switch (column.ref.kind) {
        case FeatureKind::kNumeric:
          return shared.hist.count_all(raw_, column.numbers->codes.data(), raw_.n_rows());
        case FeatureKind::kCategorical:
          return shared.hist.count_all(raw_, column.categories->codes.data(), raw_.n_rows());
      }
    });
    return shared.hist;
  }

  // The histogram `node` keeps of feature f, if any.
  const Histogram<Stats>* kept(const HistCache<Stats>& node, std::size_t f) const {
    if (node.all_rows) return &all_rows(f);
    return node.hist[f];
  }

  // Feature f's histogram at the searched node (see the top of the file).
  const Histogram<Stats>& histogram(NodeSearch<Stats>& search, std::size_t f,
                                    Scratch<Stats>& s) const {
    const HistColumn& column = columns_[f];
    auto* cache = static_cast<HistCache<Stats>*>(search.cache);
    if (!cache || column.bins > kMaxKeptBins) {
      count(s.counted, column, *search.data, cache);
      return s.counted;
    }
    if (const Histogram<Stats>* known = kept(*cache, f)) return *(cache->hist[f] = known);
    const Histogram<Stats>* parent = cache->parent ? kept(*cache->parent, f) : nullptr;
    Histogram<Stats>& own = cache->owned[f];
    if (parent && cache->larger) {
      HistCache<Stats>& sibling = *cache->sibling;
      if (!sibling.hist[f]) {
        count(sibling.owned[f], column, *sibling.rows, &sibling);
        sibling.hist[f] = &sibling.owned[f];
      }
      own = *parent;
      own.subtract(*sibling.hist[f]);
    } else {
      count(own, column, *search.data, cache);
    }
    cache->hist[f] = &own;
    return own;
  }

  // A numeric feature: a candidate per edge of a bin that holds rows (an
  // edge after an empty bin splits the node as the edge before it does, and
  // the first of equal candidates wins anyway); the last bin, above every
  // edge and holding NaN, has none.
  void score_edges(NodeSearch<Stats>& search, const FeatureJob& job, const HistColumn& column,
                   const Histogram<Stats>& hist, Scratch<Stats>& s) const {
    const std::vector<float>& thresholds = column.numbers->thresholds;
    s.left.clear();
    s.edges.clear();
    s.running.assign(groups_, Stats{});
    for (std::size_t b = 0; b < thresholds.size(); ++b) {
      const std::span<const Stats> bin = hist.bin(b);
      if (!holds_rows(bin)) continue;
      for (std::size_t g = 0; g < groups_; ++g) s.running[g].merge(bin[g]);
      s.left.insert(s.left.end(), s.running.begin(), s.running.end());
      s.edges.push_back(static_cast<std::uint32_t>(b));
    }
    const Stats* left = s.left.data();
    auto left_of = [&](std::size_t c) {
      return std::span<const Stats>(left + c * groups_, groups_);
    };
    const BestCandidate best = best_candidate(search, s.edges.size(), left_of, s.right);
    if (!best.found) return;
    const std::uint32_t edge = s.edges[best.candidate];
    const float threshold = thresholds[edge];
    offer<Stats>(search, job, best.gain, left_of(best.candidate), SplitValue::numeric(threshold),
                 {column.ref, threshold, 0, edge});
  }

  // A categorical feature: a candidate per category the node holds.
  void score_categories(NodeSearch<Stats>& search, const FeatureJob& job, const HistColumn& column,
                        const Histogram<Stats>& hist, Scratch<Stats>& s) const {
    s.edges.clear();
    for (std::size_t c = 0; c < column.bins; ++c)
      if (holds_rows(hist.bin(c))) s.edges.push_back(static_cast<std::uint32_t>(c));
    auto left_of = [&](std::size_t c) { return hist.bin(s.edges[c]); };
    const BestCandidate best = best_candidate(search, s.edges.size(), left_of, s.right);
    if (!best.found) return;
    const std::uint32_t category = s.edges[best.candidate];
    offer<Stats>(search, job, best.gain, left_of(best.candidate),
                 SplitValue::str(column.categories->categories[category]),
                 {column.ref, 0.0f, category, 0});
  }

  const RawData& raw_;
  const std::size_t groups_;
  std::vector<BinnedColumn> own_bins_;       // when the data hold numbers
  std::vector<const BinnedColumn*> binned_;  // per numeric column
  std::vector<HistColumn> columns_;          // per feature, in the data's order
  std::unique_ptr<AllRows[]> all_rows_;
};

}  // namespace

template <class Stats>
std::unique_ptr<const SplitFinder<Stats>> make_histogram_finder(const RawData& data,
                                                                const FinderSettings& settings) {
  return std::make_unique<HistogramFinder<Stats>>(data, settings);
}

#define CORVANE_INSTANTIATE_HISTOGRAM_FINDER(Stats)                                \
  template std::unique_ptr<const SplitFinder<Stats>> make_histogram_finder<Stats>( \
      const RawData&, const FinderSettings&);
CORVANE_EACH_OUTCOME_STATS(CORVANE_INSTANTIATE_HISTOGRAM_FINDER)

}  // namespace corvane
