// Growth of one tree: depth first, pre-order, left subtree first. Each node's
// split search runs as one job per drawn feature on the shared pool, while
// this (training) thread waits for the node's jobs to end.
#include <algorithm>
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

class TreeGrower {
 public:
  TreeGrower(const UpliftTreeModel& tree, ThreadPool& pool, const std::atomic<bool>& cancel)
      : tree_(tree), pool_(pool), cancel_(cancel) {
    draw_.resize(tree.feature_cols.size());
  }

  void build(std::uint64_t pos, std::uint64_t depth, GroupCounts counts, DataSet data) {
    if (cancel_.load(std::memory_order_relaxed)) throw TrainingCancelled{};
    const std::uint64_t n = data.size();

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
    std::vector<double> leaf = leaf_value(counts);

    // A node at the depth limit becomes a leaf whatever its best split would
    // be, so its search is skipped: the tree comes out the same.
    if (depth < tree_.max_depth) search_node(search);

    Split& split = search.split;
    std::lock_guard lock(split.mutex);
    if (split.failure) std::rethrow_exception(split.failure);
    if (!(split.gain > 0.0) || tree_.max_depth <= depth) {
      if (pos == 0)
        root_gains_all_nan_ = search.scored_candidate.load(std::memory_order_relaxed) &&
                              !search.scored_number.load(std::memory_order_relaxed);
      TreeNode node;
      node.prob = std::move(leaf);
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
    nodes_.emplace_back(pos, std::move(node));

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

  std::vector<std::pair<std::uint64_t, TreeNode>> take_nodes() { return std::move(nodes_); }
  bool root_gains_all_nan() const { return root_gains_all_nan_; }

 private:
  // Submits one job per drawn feature and returns once every job has ended.
  void search_node(NodeSearch& search) {
    const std::size_t features = tree_.feature_cols.size();
    const std::size_t drawn =
        static_cast<std::size_t>(std::min<std::uint64_t>(tree_.max_features, features));
    std::iota(draw_.begin(), draw_.end(), std::size_t{0});
    Rng& rng = Rng::for_this_thread();

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
      const std::string* feature = &tree_.feature_cols[draw_[i]];
      // The job's copy of `done` goes when the pool has run and dropped it.
      pool_.execute([&search, feature, done]() { run_feature_split_job(search, *feature); });
    }
  }

  const UpliftTreeModel& tree_;
  ThreadPool& pool_;
  const std::atomic<bool>& cancel_;
  std::vector<std::size_t> draw_;
  std::vector<std::pair<std::uint64_t, TreeNode>> nodes_;
  bool root_gains_all_nan_ = false;
};

}  // namespace

GrowthReport UpliftTreeModel::fit(const DataSet& data, std::string treatment, std::string outcome,
                                  ThreadPool& pool, const std::atomic<bool>& cancel) {
  treatment_col = std::move(treatment);
  outcome_col = std::move(outcome);
  feature_cols = data.raw().col_names;
  const std::uint64_t size = node_array_size(max_depth);

  TreeGrower grower(*this, pool, cancel);
  grower.build(0, 0, data.summary(), data);
  nodes.assign(size, grower.take_nodes());
  return GrowthReport{grower.root_gains_all_nan()};
}

}  // namespace corvane
