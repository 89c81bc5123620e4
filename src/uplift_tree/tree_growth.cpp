// Growth of one tree: depth first, pre-order, left subtree first. Each node's
// split search runs as one job per drawn feature on the shared pool, while
// this (training) thread waits for the node's jobs to end.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "concurrency/channel.h"
#include "concurrency/thread_pool.h"
#include "core/error.h"
#include "uplift_tree/criteria.h"
#include "uplift_tree/data_set.h"
#include "uplift_tree/rng.h"
#include "uplift_tree/split_search.h"
#include "uplift_tree/tree.h"

namespace corvane {

namespace {

std::vector<double> leaf_value(const GroupCounts& counts) {
  const std::size_t groups = counts.size() / 2;
  const double control = static_cast<double>(counts[1]) / static_cast<double>(counts[0]);
  std::vector<double> prob;
  prob.reserve(groups - 1);
  for (std::size_t t = 1; t < groups; ++t)
    prob.push_back(static_cast<double>(counts[2 * t + 1]) / static_cast<double>(counts[2 * t]) -
                   control);
  return prob;
}

// A grown split, kept for routing the estimation rows of an honest tree.
struct SplitRule {
  std::uint64_t pos;
  SplitTest test;
};

class TreeGrower {
 public:
  TreeGrower(const UpliftTreeModel& tree, ThreadPool& pool, const std::atomic<bool>& cancel,
             std::uint64_t tree_key)
      : tree_(tree), pool_(pool), cancel_(cancel), tree_key_(tree_key) {
    draw_.resize(tree.feature_cols.size());
  }

  void build(std::uint64_t pos, std::uint64_t depth, GroupCounts counts, DataSet data) {
    if (cancel_.load(std::memory_order_relaxed)) throw TrainingCancelled{};
    const std::uint64_t n = data.size();
    const std::uint64_t node_key = stream_key(tree_key_, pos);

    NodeSearch search;
    search.data = &data;
    search.parent_counts = &counts;
    search.parent_score = calc_score(counts, tree_.eval_func, tree_.balance, n);
    search.max_bins = tree_.max_bins;
    search.min_sample_leaf = tree_.min_sample_leaf;
    search.alpha = tree_.alpha;
    search.balance = tree_.balance;
    search.regularization = tree_.regularization;
    search.eval_func = tree_.eval_func;
    search.jobs_key = stream_key(node_key, static_cast<std::uint64_t>(StreamPurpose::kFeatureJobs));
    std::vector<double> leaf = leaf_value(counts);

    // A node at the depth limit becomes a leaf whatever its best split would
    // be, so its search is skipped: the tree comes out the same.
    if (depth < tree_.max_depth) search_node(search, node_key);

    Split& split = search.split;
    std::lock_guard lock(split.mutex);
    if (split.failure) std::rethrow_exception(split.failure);
    if (!(split.gain > 0.0) || tree_.max_depth <= depth) {
      if (pos == 0)
        root_gains_all_nan_ = search.scored_candidate.load(std::memory_order_relaxed) &&
                              !search.scored_number.load(std::memory_order_relaxed);
      TreeNode node;
      node.prob = std::move(leaf);
      node.counts = std::move(counts);
      nodes_.emplace_back(pos, std::move(node));
      return;
    }

    const auto& names = tree_.feature_cols;
    const auto found = std::find(names.begin(), names.end(), split.col_name);
    TreeNode node;
    node.col_name = split.col_name;
    node.col_idx = static_cast<std::int32_t>(found - names.begin());
    node.split_value = split.split_value;
    node.gain = split.gain;
    node.counts = std::move(counts);
    nodes_.emplace_back(pos, std::move(node));
    rules_.push_back({pos, split.test});

    RowList left = data.take_rows();
    RowList right = data.take_rows();
    partition_rows(data, split, left.mutable_rows(), right.mutable_rows());
    DataSet left_data = data.subset(std::move(left));
    DataSet right_data = data.subset(std::move(right));
    {
      // The node's own row list is not needed below: let it go back to the
      // pool now rather than after both subtrees.
      const DataSet done = std::move(data);
    }
    build(2 * pos + 1, depth + 1, std::move(split.left_counts), std::move(left_data));
    build(2 * pos + 2, depth + 1, std::move(split.right_counts), std::move(right_data));
  }

  std::vector<std::pair<std::uint64_t, TreeNode>>& nodes() { return nodes_; }
  std::vector<SplitRule>& rules() { return rules_; }
  bool root_gains_all_nan() const { return root_gains_all_nan_; }

 private:
  // Submits one job per drawn feature and returns once every job has ended.
  void search_node(NodeSearch& search, std::uint64_t node_key) {
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
      // The job's copy of `done` goes when the pool has run and dropped it.
      pool_.execute(
          [&search, name, feature, done]() { run_feature_split_job(search, *name, feature); });
    }
  }

  const UpliftTreeModel& tree_;
  ThreadPool& pool_;
  const std::atomic<bool>& cancel_;
  const std::uint64_t tree_key_;
  std::vector<std::size_t> draw_;
  std::vector<std::pair<std::uint64_t, TreeNode>> nodes_;
  std::vector<SplitRule> rules_;
  bool root_gains_all_nan_ = false;
};

// Splits `rows` into the rows that choose the splits and those that estimate
// the values, drawing `share` of every treatment group's rows (rounded to
// the nearest count) for estimation. Both parts keep the rows' order.
void split_for_honesty(const RawData& raw, const std::vector<std::uint32_t>& rows, double share,
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

// Counts of the estimation rows at every node of a grown tree, found by
// routing them down the tree's splits.
std::vector<GroupCounts> estimation_counts(const RawData& raw,
                                           const std::vector<std::uint64_t>& positions,
                                           std::vector<SplitRule> rules,
                                           const std::vector<std::uint32_t>& rows) {
  std::sort(rules.begin(), rules.end(),
            [](const SplitRule& a, const SplitRule& b) { return a.pos < b.pos; });
  auto index_of = [&](std::uint64_t pos) {
    return static_cast<std::size_t>(std::lower_bound(positions.begin(), positions.end(), pos) -
                                    positions.begin());
  };
  std::vector<GroupCounts> counts(positions.size(), GroupCounts(2 * raw.n_groups(), 0));
  for (std::uint32_t r : rows) {
    const std::size_t g = static_cast<std::size_t>(raw.treatment[r]);
    std::uint64_t pos = 0;
    for (;;) {
      GroupCounts& c = counts[index_of(pos)];
      c[2 * g] += 1;
      c[2 * g + 1] += raw.outcome[r];
      const auto rule =
          std::lower_bound(rules.begin(), rules.end(), pos,
                           [](const SplitRule& a, std::uint64_t p) { return a.pos < p; });
      if (rule == rules.end() || rule->pos != pos) break;  // a leaf
      pos = 2 * pos + (rule->test.sends_left(raw, r) ? 1 : 2);
    }
  }
  return counts;
}

bool every_group_counted(const GroupCounts& counts) {
  for (std::size_t g = 0; g < counts.size(); g += 2)
    if (counts[g] == 0) return false;
  return true;
}

// Gives every node of an honest tree the counts of its estimation rows and
// every leaf the values they give. A leaf whose estimation rows miss some
// group takes the values (and counts) of its nearest ancestor whose rows
// hold every group; failing that, it keeps those of its growing rows.
void estimate_honestly(std::vector<std::pair<std::uint64_t, TreeNode>>& nodes,
                       const std::vector<GroupCounts>& counts) {
  // `nodes` is sorted by position, as `counts` is.
  auto find = [&](std::uint64_t pos) -> std::size_t {
    const auto it =
        std::lower_bound(nodes.begin(), nodes.end(), pos,
                         [](const auto& entry, std::uint64_t p) { return entry.first < p; });
    return static_cast<std::size_t>(it - nodes.begin());
  };
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    TreeNode& node = nodes[k].second;
    if (!node.is_leaf()) {
      node.counts = counts[k];
      continue;
    }
    std::uint64_t pos = nodes[k].first;
    std::size_t source = k;
    while (!every_group_counted(counts[source]) && pos != 0) {
      pos = (pos - 1) / 2;
      source = find(pos);
    }
    if (!every_group_counted(counts[source])) continue;  // keeps its growing rows' values
    node.counts = counts[source];
    node.prob = leaf_value(node.counts);
  }
}

}  // namespace

GrowthReport UpliftTreeModel::fit(const DataSet& data, std::string treatment, std::string outcome,
                                  ThreadPool& pool, const std::atomic<bool>& cancel,
                                  const GrowthOptions& options) {
  treatment_col = std::move(treatment);
  outcome_col = std::move(outcome);
  feature_cols = data.raw().col_names;
  const std::uint64_t size = node_array_size(max_depth);

  TreeGrower grower(*this, pool, cancel, options.tree_key);
  if (!options.honesty) {
    grower.build(0, 0, data.summary(), data);
    nodes.assign(size, std::move(grower.nodes()));
    return GrowthReport{grower.root_gains_all_nan()};
  }

  RowList growing = data.take_rows();
  RowList estimating = data.take_rows();
  split_for_honesty(
      data.raw(), data.indices(), options.estimation_share,
      stream_key(options.tree_key, static_cast<std::uint64_t>(StreamPurpose::kHonesty)),
      growing.mutable_rows(), estimating.mutable_rows());
  const DataSet growing_data = data.subset(std::move(growing));
  grower.build(0, 0, growing_data.summary(), growing_data);
  std::vector<std::pair<std::uint64_t, TreeNode>>& grown = grower.nodes();
  std::sort(grown.begin(), grown.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::uint64_t> positions;
  positions.reserve(grown.size());
  for (const auto& entry : grown) positions.push_back(entry.first);
  estimate_honestly(grown, estimation_counts(data.raw(), positions, std::move(grower.rules()),
                                             estimating.rows()));
  nodes.assign(size, std::move(grown));
  return GrowthReport{grower.root_gains_all_nan()};
}

}  // namespace corvane
