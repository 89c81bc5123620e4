// Growth of one tree: depth first, pre-order, left subtree first. Each node's
// split search runs as one job per drawn feature on the shared pool, while
// this (training) thread waits for the node's jobs to end. The tree grows on
// a row list of its own (all rows, or those drawn for it with max_samples)
// whose range of a split node is reordered in place into its children's; the
// finder may keep state per node (NodeCache) from a node's search to its
// children's. Everything here is written against the outcome statistic, and
// instantiated for each.
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numeric>
#include <tuple>

#include "concurrency/channel.h"
#include "concurrency/thread_pool.h"
#include "core/error.h"
#include "uplift_tree/criteria.h"
#include "uplift_tree/data_set.h"
#include "uplift_tree/rng.h"
#include "uplift_tree/row_sample.h"
#include "uplift_tree/split_finder.h"
#include "uplift_tree/split_search.h"
#include "uplift_tree/tree.h"

namespace corvane {

namespace {

// Per treatment: its group's mean outcome minus the control group's.
template <class Stats>
std::vector<double> leaf_value(std::span<const Stats> groups) {
  const double control = groups[0].mean();
  std::vector<double> value;
  value.reserve(groups.size() - 1);
  for (std::size_t t = 1; t < groups.size(); ++t) value.push_back(groups[t].mean() - control);
  return value;
}

// A grown split, kept for routing the estimation rows of an honest tree.
struct SplitRule {
  std::uint64_t pos;
  SplitTest test;
};

// A node as growth leaves it: its position, its record and its statistics.
template <class Stats>
struct GrownNode {
  std::uint64_t pos;
  TreeNode node;
  GroupStats<Stats> stats;
  // The rows that reached the node (its estimation rows, for an honest
  // tree), whichever statistics its values come to rest on.
  std::uint64_t rows = 0;
};

template <class Stats>
class TreeGrower {
 public:
  TreeGrower(const UpliftTreeModel& tree, const SplitFinder<Stats>& finder, ThreadPool& pool,
             const std::atomic<bool>& cancel, std::uint64_t tree_key)
      : tree_(tree),
        criterion_(parse_eval_func(tree.eval_func)),
        finder_(finder),
        pool_(pool),
        cancel_(cancel),
        tree_key_(tree_key) {
    draw_.resize(tree.feature_cols.size());
  }

  // Grows the subtree of the node at `pos` on `data` (a range of the tree's
  // own row list, which the node reorders into its children's ranges);
  // `cache` is what the finder keeps for the node, or null.
  void build(std::uint64_t pos, std::uint64_t depth, GroupStats<Stats> stats, DataSet data,
             NodeCache* cache) {
    if (cancel_.load(std::memory_order_relaxed)) throw TrainingCancelled{};
    const std::uint64_t n = data.size();
    const std::uint64_t node_key = stream_key(tree_key_, pos);

    NodeSearch<Stats> search;
    search.data = &data;
    search.parent = &stats;
    search.parent_score = calc_score<Stats>(stats, criterion_, tree_.balance, n);
    search.max_bins = tree_.max_bins;
    search.min_sample_leaf = tree_.min_sample_leaf;
    search.alpha = tree_.alpha;
    search.balance = tree_.balance;
    search.regularization = tree_.regularization;
    search.eval_func = criterion_;
    search.jobs_key = stream_key(node_key, static_cast<std::uint64_t>(StreamPurpose::kFeatureJobs));
    search.cache = cache;
    std::vector<double> leaf = leaf_value<Stats>(stats);

    // A node at the depth limit becomes a leaf whatever its best split would
    // be, so its search is skipped: the tree comes out the same.
    if (depth < tree_.max_depth) search_node(search, node_key);

    Split<Stats>& split = search.split;
    std::lock_guard lock(split.mutex);
    if (split.failure) std::rethrow_exception(split.failure);
    if (!(split.gain > 0.0) || tree_.max_depth <= depth) {
      if (pos == 0)
        root_gains_all_nan_ = search.scored_candidate.load(std::memory_order_relaxed) &&
                              !search.scored_number.load(std::memory_order_relaxed);
      TreeNode node;
      node.prob = std::move(leaf);
      const std::uint64_t rows = rows_of<Stats>(stats);
      nodes_.push_back({pos, std::move(node), std::move(stats), rows});
      return;
    }

    const auto& names = tree_.feature_cols;
    const auto found = std::find(names.begin(), names.end(), split.col_name);
    TreeNode node;
    node.col_name = split.col_name;
    node.col_idx = static_cast<std::int32_t>(found - names.begin());
    node.split_value = split.split_value;
    node.gain = split.gain;
    const std::uint64_t rows = rows_of<Stats>(stats);
    nodes_.push_back({pos, std::move(node), std::move(stats), rows});
    rules_.push_back({pos, split.test});

    // Children at the depth limit are leaves, which read only how many rows
    // they have: their rows need no partition, and nothing is kept for them.
    const bool children_search = depth + 1 < tree_.max_depth;
    const auto n_left = static_cast<std::size_t>(rows_of<Stats>(split.left_stats));
    if (children_search && data.owns_rows()) {
      finder_.partition(data.indices(), data.mutable_indices(), split.test, n_left, cache);
    } else if (children_search) {
      // Rows shared with other trees (a root's): the split writes them to a
      // list of this tree's own, which its nodes then reorder in place.
      RowList own = data.take_rows();
      own.mutable_rows().resize(data.size());
      finder_.partition(data.indices(), own.mutable_rows(), split.test, n_left, cache);
      data = data.subset(std::move(own));
    }
    auto [left_data, right_data] = data.split(n_left);
    std::array<std::unique_ptr<NodeCache>, 2> caches;
    if (children_search) caches = finder_.child_caches(cache, left_data, right_data);
    build(2 * pos + 1, depth + 1, std::move(split.left_stats), std::move(left_data),
          caches[0].get());
    build(2 * pos + 2, depth + 1, std::move(split.right_stats), std::move(right_data),
          caches[1].get());
  }

  // The grown nodes, in position order.
  std::vector<GrownNode<Stats>>& sorted_nodes() {
    std::sort(nodes_.begin(), nodes_.end(),
              [](const GrownNode<Stats>& a, const GrownNode<Stats>& b) { return a.pos < b.pos; });
    return nodes_;
  }
  std::vector<SplitRule>& rules() { return rules_; }
  bool root_gains_all_nan() const { return root_gains_all_nan_; }

 private:
  // Submits one job per drawn feature and returns once every job has ended.
  void search_node(NodeSearch<Stats>& search, std::uint64_t node_key) {
    const std::size_t features = tree_.feature_cols.size();
    const std::size_t drawn =
        static_cast<std::size_t>(std::min<std::uint64_t>(tree_.max_features, features));
    std::iota(draw_.begin(), draw_.end(), std::size_t{0});
    Rng rng(stream_key(node_key, static_cast<std::uint64_t>(StreamPurpose::kFeatureDraw)));

    auto [done, wait_all] = Channel<std::int32_t>::open();
    // Jobs refer to `search` on this stack frame: whatever happens here, wait
    // for all of them before the frame can go.
    struct WaitForJobs {
      Channel<std::int32_t>::Sender& done;
      Channel<std::int32_t>::Receiver& jobs;
      ~WaitForJobs() {
        done.reset();
        while (jobs.recv()) {
        }
      }
    } wait_for_jobs{done, wait_all};
    for (std::size_t i = 0; i < drawn; ++i) {
      std::swap(draw_[i], draw_[rng.between(i, features - 1)]);
      const std::size_t feature = draw_[i];
      const std::string* name = &tree_.feature_cols[feature];
      const SplitFinder<Stats>* finder = &finder_;
      // The job's copy of `done` goes when the pool has run and dropped it.
      pool_.execute([&search, finder, name, feature, i, done]() {
        run_job(search, *finder, {*name, feature, i});
      });
    }
  }

  // One feature's search on a pool worker; never throws (failures go to
  // split.failure).
  static void run_job(NodeSearch<Stats>& search, const SplitFinder<Stats>& finder,
                      const FeatureJob& job) noexcept {
    try {
      Rng rng(stream_key(search.jobs_key, job.index));
      finder.search(search, job, rng);
    } catch (...) {
      std::lock_guard lock(search.split.mutex);
      if (!search.split.failure) search.split.failure = std::current_exception();
    }
  }

  const UpliftTreeModel& tree_;
  const EvalFunc criterion_;
  const SplitFinder<Stats>& finder_;
  ThreadPool& pool_;
  const std::atomic<bool>& cancel_;
  const std::uint64_t tree_key_;
  std::vector<std::size_t> draw_;
  std::vector<GrownNode<Stats>> nodes_;
  std::vector<SplitRule> rules_;
  bool root_gains_all_nan_ = false;
};

// Splits `rows` into the rows that choose the splits and those that estimate
// the values, drawing `share` of every treatment group's rows (rounded to
// the nearest count) for estimation. Both parts keep the rows' order.
void split_for_honesty(const RawData& raw, std::span<const std::uint32_t> rows, double share,
                       std::uint64_t key, std::vector<std::uint32_t>& growing,
                       std::vector<std::uint32_t>& estimating) {
  std::vector<std::vector<std::uint32_t>> by_group(raw.n_groups());
  for (std::uint32_t r : rows) by_group[static_cast<std::size_t>(raw.treatment[r])].push_back(r);
  Rng rng(key);
  std::vector<bool> estimates(raw.n_rows(), false);
  for (std::vector<std::uint32_t>& group : by_group) {
    const std::size_t n = group.size();
    const auto take = static_cast<std::size_t>(std::llround(static_cast<double>(n) * share));
    // The first `take` places of a partial Fisher-Yates shuffle.
    for (std::size_t i = 0; i < take && i + 1 < n; ++i)
      std::swap(group[i], group[rng.between(i, n - 1)]);
    for (std::size_t i = 0; i < std::min(take, n); ++i) estimates[group[i]] = true;
  }
  for (std::uint32_t r : rows) (estimates[r] ? estimating : growing).push_back(r);
}

// Statistics of the estimation rows at every node of a grown tree (`nodes`
// in position order), found by routing them down the tree's splits.
template <class Stats>
std::vector<GroupStats<Stats>> estimation_stats(const RawData& raw,
                                                const SplitFinder<Stats>& finder,
                                                const std::vector<GrownNode<Stats>>& nodes,
                                                std::vector<SplitRule> rules,
                                                const std::vector<std::uint32_t>& rows) {
  std::sort(rules.begin(), rules.end(),
            [](const SplitRule& a, const SplitRule& b) { return a.pos < b.pos; });
  auto index_of = [&](std::uint64_t pos) {
    return static_cast<std::size_t>(
        std::lower_bound(nodes.begin(), nodes.end(), pos,
                         [](const GrownNode<Stats>& a, std::uint64_t p) { return a.pos < p; }) -
        nodes.begin());
  };
  const std::span<const typename Stats::Outcome> outcome = Stats::outcomes(raw);
  std::vector<GroupStats<Stats>> stats(nodes.size(), GroupStats<Stats>(raw.n_groups()));
  for (std::uint32_t r : rows) {
    const std::size_t g = static_cast<std::size_t>(raw.treatment[r]);
    std::uint64_t pos = 0;
    for (;;) {
      stats[index_of(pos)][g].add(outcome[r]);
      const auto rule =
          std::lower_bound(rules.begin(), rules.end(), pos,
                           [](const SplitRule& a, std::uint64_t p) { return a.pos < p; });
      if (rule == rules.end() || rule->pos != pos) break;  // a leaf
      pos = 2 * pos + (finder.sends_left(rule->test, r) ? 1 : 2);
    }
  }
  return stats;
}

// Gives every leaf whose statistics in `own` (one per node, in the order of
// `nodes`) miss some group the values and statistics of its nearest ancestor
// whose statistics hold every group; failing that, it keeps what it has. Any
// other leaf takes its own.
template <class Stats>
void leaves_from_ancestors(std::vector<GrownNode<Stats>>& nodes,
                           const std::vector<GroupStats<Stats>>& own) {
  auto find = [&](std::uint64_t pos) -> std::size_t {
    const auto it =
        std::lower_bound(nodes.begin(), nodes.end(), pos,
                         [](const GrownNode<Stats>& a, std::uint64_t p) { return a.pos < p; });
    return static_cast<std::size_t>(it - nodes.begin());
  };
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    TreeNode& node = nodes[k].node;
    if (!node.is_leaf()) continue;
    std::uint64_t pos = nodes[k].pos;
    std::size_t source = k;
    while (!every_group_counted<Stats>(own[source]) && pos != 0) {
      pos = (pos - 1) / 2;
      source = find(pos);
    }
    if (!every_group_counted<Stats>(own[source])) continue;
    nodes[k].stats = own[source];
    node.prob = leaf_value<Stats>(nodes[k].stats);
  }
}

// Gives every node of an honest tree the statistics of its estimation rows
// and every leaf the values they give, or those of its nearest ancestor
// whose estimation rows hold every group (a leaf whose every ancestor misses
// a group keeps the values of its growing rows).
template <class Stats>
void estimate_honestly(std::vector<GrownNode<Stats>>& nodes,
                       const std::vector<GroupStats<Stats>>& stats) {
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    nodes[k].rows = rows_of<Stats>(stats[k]);
    if (!nodes[k].node.is_leaf()) nodes[k].stats = stats[k];
  }
  leaves_from_ancestors(nodes, stats);
}

// A leaf of a tree grown without honesty that misses some group among its
// rows (its values would be NaN) takes its nearest ancestor's values.
template <class Stats>
void fill_leaves(std::vector<GrownNode<Stats>>& nodes) {
  bool lacking = false;
  for (const GrownNode<Stats>& g : nodes)
    lacking = lacking || (g.node.is_leaf() && !every_group_counted<Stats>(g.stats));
  if (!lacking) return;
  std::vector<GroupStats<Stats>> own;
  own.reserve(nodes.size());
  for (const GrownNode<Stats>& g : nodes) own.push_back(g.stats);
  leaves_from_ancestors(nodes, own);
}

// The grown nodes into the tree's node array and the report's statistics.
template <class Stats>
void store(std::vector<GrownNode<Stats>>& grown, std::uint64_t size, NodeArray& nodes,
           GrowthReport<Stats>& report) {
  std::vector<std::pair<std::uint64_t, TreeNode>> entries;
  entries.reserve(grown.size());
  std::size_t groups = grown.empty() ? 0 : grown.front().stats.size();
  report.node_stats.reserve(grown.size() * groups);
  report.node_rows.reserve(grown.size());
  for (GrownNode<Stats>& g : grown) {
    entries.emplace_back(g.pos, std::move(g.node));
    report.node_stats.insert(report.node_stats.end(), g.stats.begin(), g.stats.end());
    report.node_rows.push_back(static_cast<std::uint32_t>(g.rows));
  }
  nodes.assign(size, std::move(entries));
}

}  // namespace

template <class Stats>
GrowthReport<Stats> UpliftTreeModel::grow(const DataSet& data, const SplitFinder<Stats>& finder,
                                          std::string treatment, std::string outcome,
                                          ThreadPool& pool, const std::atomic<bool>& cancel,
                                          const GrowthOptions& options) {
  treatment_col = std::move(treatment);
  outcome_col = std::move(outcome);
  feature_cols = data.raw().col_names;
  const std::uint64_t size = node_array_size(max_depth);

  GrowthReport<Stats> report;
  TreeGrower<Stats> grower(*this, finder, pool, cancel, options.tree_key);
  // The tree's rows: a sample drawn for it, or all of `data`'s (which its
  // root's split copies to a list of the tree's own).
  std::span<const std::uint32_t> rows = data.indices();
  RowList sample;
  if (options.max_samples > 0 && options.max_samples < rows.size()) {
    sample = data.take_rows();
    Rng rng(stream_key(options.tree_key, static_cast<std::uint64_t>(StreamPurpose::kRowSample)));
    std::vector<std::uint64_t> taken;
    draw_sample(rows, options.max_samples, rng, taken, sample.mutable_rows());
    rows = sample.rows();
  }
  if (!options.honesty) {
    DataSet tree_data = sample ? data.subset(std::move(sample)) : data;
    const std::unique_ptr<NodeCache> root = finder.root_cache(tree_data);
    GroupStats<Stats> stats = tree_data.summary<Stats>();
    grower.build(0, 0, std::move(stats), std::move(tree_data), root.get());
    report.root_gains_all_nan = grower.root_gains_all_nan();
    std::vector<GrownNode<Stats>>& grown = grower.sorted_nodes();
    if (options.leaves_from_ancestors) fill_leaves(grown);
    store(grown, size, nodes, report);
    return report;
  }

  RowList growing = data.take_rows();
  RowList estimating = data.take_rows();
  split_for_honesty(
      data.raw(), rows, options.estimation_share,
      stream_key(options.tree_key, static_cast<std::uint64_t>(StreamPurpose::kHonesty)),
      growing.mutable_rows(), estimating.mutable_rows());
  sample = RowList();
  {
    DataSet growing_data = data.subset(std::move(growing));
    const std::unique_ptr<NodeCache> root = finder.root_cache(growing_data);
    GroupStats<Stats> stats = growing_data.summary<Stats>();
    grower.build(0, 0, std::move(stats), std::move(growing_data), root.get());
  }
  std::vector<GrownNode<Stats>>& grown = grower.sorted_nodes();
  estimate_honestly(grown, estimation_stats(data.raw(), finder, grown, std::move(grower.rules()),
                                            estimating.rows()));
  report.root_gains_all_nan = grower.root_gains_all_nan();
  store(grown, size, nodes, report);
  return report;
}

#define CORVANE_INSTANTIATE_GROWTH(Stats)                                               \
  template GrowthReport<Stats> UpliftTreeModel::grow<Stats>(                            \
      const DataSet&, const SplitFinder<Stats>&, std::string, std::string, ThreadPool&, \
      const std::atomic<bool>&, const GrowthOptions&);
CORVANE_EACH_OUTCOME_STATS(CORVANE_INSTANTIATE_GROWTH)

}  // namespace corvane
