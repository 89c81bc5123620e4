// One uplift tree: its hyper-parameters, the names it was trained with and its
// node array.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/parameters.h"
#include "uplift_tree/criteria.h"
#include "uplift_tree/node_array.h"
#include "uplift_tree/outcome_stats.h"
#include "uplift_tree/split_value.h"

namespace corvane {

class DataSet;
class ThreadPool;
template <class Stats>
class SplitFinder;

// How one tree is grown besides its hyper-parameters.
struct GrowthOptions {
  // Key of every random stream of this tree (see rng.h): the training
  // call's seed refined by the tree's number.
  std::uint64_t tree_key = 0;
  // Honest estimation: the splits are chosen on one part of the rows and
  // every node's values are computed from the other part, the
  // `estimation_share` of each treatment group's rows (drawn at random).
  bool honesty = false;
  double estimation_share = 0.5;
  // A leaf whose rows miss some group (whose values would be NaN) takes the
  // values of its nearest ancestor whose rows hold every group, as the
  // leaves of honest trees always do.
  bool leaves_from_ancestors = false;
  // Rows drawn for the tree without replacement (0: all rows of the data);
  // honesty then splits the drawn rows.
  std::uint64_t max_samples = 0;
};

// What growing a tree learned besides its nodes.
template <class Stats>
struct GrowthReport {
  // The root became a leaf although it had candidate splits with both sides
  // large enough, because every one of them scored NaN.
  bool root_gains_all_nan = false;
  // The statistics that each stored node's values rest on, one per group,
  // nodes in storage order: the node's rows (its estimation rows, for an
  // honest tree), or for a leaf that takes an ancestor's values, that
  // ancestor's.
  std::vector<Stats> node_stats;
  // The rows that reached each stored node (for an honest tree, its
  // estimation rows), in storage order: a leaf that takes an ancestor's
  // values still counts its own rows here.
  std::vector<std::uint32_t> node_rows;
};

// A tree's hyper-parameters are its forest's (TreeParameters); its criterion
// is always one of the table's names.
class UpliftTreeModel : public TreeParameters {
 public:
  NodeArray nodes;
  std::string treatment_col;
  std::string outcome_col;
  std::vector<std::string> feature_cols;

  // Grows the tree on all rows of `data`, whose candidates `finder` finds.
  // `cancel` is polled between nodes so that an abandoned training call
  // ends promptly (throws TrainingCancelled).
  template <class Stats>
  GrowthReport<Stats> grow(const DataSet& data, const SplitFinder<Stats>& finder,
                           std::string treatment_col, std::string outcome_col, ThreadPool& pool,
                           const std::atomic<bool>& cancel, const GrowthOptions& options);

  // Checks what a batch needs before any row is routed: rows at all, and a
  // first row with one cell per feature.
  void check_batch(std::size_t rows, std::size_t first_row_length) const;

  // Per feature: summed gains ("gain") or number of splits (any other text).
  std::vector<double> get_feature_importance(std::string_view importance_type) const;
};

enum class ImportanceType : std::uint8_t { kGain, kSplit };

// How much a stored node (by storage index) counts in feature importance:
// its factor, or nothing to leave it out.
using NodeWeight = std::function<std::optional<double>(std::uint32_t k)>;

// Adds each stored node of `tree` to total[its feature], in storage order:
// its gain times weight(k) (kGain) or 1 (kSplit); a null weight counts every
// node with the factor 1. A node whose gain is at most 0 adds nothing
// (leaves, and splits that gained nothing); a NaN gain, which training never
// keeps and only an edited file can hold, is counted, so that it shows in the
// result instead of vanishing. A counted node must test a feature of the tree
// (else an index error).
void add_feature_importance(const UpliftTreeModel& tree, ImportanceType type,
                            std::span<double> total, const NodeWeight& weight = {});

struct TrainingCancelled {};

}  // namespace corvane
