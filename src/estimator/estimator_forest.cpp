#include "estimator/estimator_forest.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "core/error.h"
#include "core/error_msg.h"
#include "estimator/estimator_file.h"

namespace corvane {

namespace {

// Stored node k of `tree` as a split on a feature (not a leaf, not a node
// growth never wrote).
bool is_split(const NodeArray& nodes, std::uint32_t k) { return !nodes.route(k).leaf; }

// Per feature, the layout code of each of its categories (kNoCategory for
// those no split tests).
std::vector<std::vector<std::uint32_t>> codes_for(const ForestRouting& routing,
                                                  const std::vector<FeatureInfo>& features) {
  std::vector<std::vector<std::uint32_t>> codes(features.size());
  const RowLayout& layout = routing.layout();
  for (std::size_t f = 0; f < features.size(); ++f) {
    if (features[f].kind != FeatureKind::kCategorical) continue;
    const std::uint32_t slot = layout.slot_of(f);
    const bool tested = slot < layout.columns().size() && layout.columns()[slot].position == f;
    codes[f].reserve(features[f].categories.size());
    for (const std::string& text : features[f].categories)
      codes[f].push_back(tested ? layout.columns()[slot].codes.find(text)
                                : CategoryCodes::kNoCategory);
  }
  return codes;
}

// The statistics of stored node k, `groups` per node.
template <class Stats>
std::span<const Stats> node_groups(const std::vector<Stats>& stats, std::uint32_t k,
                                   std::size_t groups) {
  return {stats.data() + std::size_t{k} * groups, groups};
}

}  // namespace

EstimatorForest::EstimatorForest(UpliftRandomForestModel forest, std::vector<FeatureInfo> features,
                                 std::vector<NodeStats> node_stats,
                                 std::vector<std::vector<std::uint32_t>> node_rows,
                                 bool knows_categories)
    : forest_(std::move(forest)),
      features_(std::move(features)),
      node_stats_(std::move(node_stats)),
      node_rows_(std::move(node_rows)),
      knows_categories_(knows_categories) {
  const std::vector<UpliftTreeModel>& trees = forest_.trees();
  if (trees.empty()) fail(msg::kNoTrees);
  const std::vector<std::string>& names = trees.front().feature_cols;
  if (features_.size() != names.size())
    fail(msg::estimator_part_damaged("it describes " + std::to_string(features_.size()) +
                                     " features but the trees read " +
                                     std::to_string(names.size())));
  bool first_leaf = true;
  for (const UpliftTreeModel& tree : trees) {
    if (tree.feature_cols != names) fail(msg::trees_disagree("their features"));
    const NodeArray& nodes = tree.nodes;
    for (std::uint32_t k = 0; k < nodes.stored(); ++k) {
      const TreeNode& node = nodes.nodes()[k];
      if (!is_split(nodes, k)) {
        if (first_leaf) width_ = node.prob.size();
        first_leaf = false;
        if (node.prob.size() != width_ || width_ == 0)
          fail(msg::trees_disagree("the number of treatments their leaves predict"));
      } else {
        const std::int32_t c = node.col_idx;
        if (c < 0 || static_cast<std::size_t>(c) >= names.size())
          fail(msg::index_out_of_bounds(names.size(), c));
        const FeatureKind kind = node.split_value.kind();
        std::optional<FeatureKind>& known = features_[static_cast<std::size_t>(c)].kind;
        if (known && *known != kind)
          fail(msg::feature_kind_conflict(static_cast<std::size_t>(c),
                                          names[static_cast<std::size_t>(c)]));
      }
    }
  }
  if (first_leaf) fail(msg::trees_disagree("the number of treatments their leaves predict"));
  // Statistics are all or nothing: of every node of every tree, or none.
  bool complete = node_stats_.size() == trees.size();
  for (std::size_t t = 0; complete && t < trees.size(); ++t)
    complete = std::visit(
        [&](const auto& stats) { return stats.size() == trees[t].nodes.stored() * (width_ + 1); },
        node_stats_[t]);
  if (!complete) node_stats_.clear();
  bool rows_complete = !node_stats_.empty() && node_rows_.size() == trees.size();
  for (std::size_t t = 0; rows_complete && t < trees.size(); ++t)
    rows_complete = node_rows_[t].size() == trees[t].nodes.stored();
  // Kept (and written to files) only where they tell something the
  // statistics do not: a leaf whose values rest on an ancestor's rows.
  bool rows_differ = false;
  for (std::size_t t = 0; rows_complete && !rows_differ && t < trees.size(); ++t)
    std::visit(
        [&](const auto& stats) {
          for (std::uint32_t k = 0; k < trees[t].nodes.stored(); ++k)
            rows_differ =
                rows_differ || node_rows_[t][k] != rows_of(node_groups(stats, k, width_ + 1));
        },
        node_stats_[t]);
  if (!rows_complete || !rows_differ) node_rows_.clear();
  for (std::size_t f = 0; f < features_.size(); ++f) {
    std::unordered_set<std::string_view> seen;
    for (const std::string& text : features_[f].categories)
      if (!seen.insert(text).second) fail(msg::duplicate_category(names[f], text));
  }
  routing_ = std::make_shared<const ForestRouting>(trees);
  layout_codes_ = codes_for(*routing_, features_);
  if (has_counts()) {
    // The same trees, each leaf giving its groups' means: the layout, which
    // only the splits decide, is the same as routing_'s.
    const std::size_t groups = width_ + 1;
    response_routing_ = std::make_shared<const ForestRouting>(
        trees, [&](std::size_t t, std::uint32_t k, std::vector<double>& values) {
          std::visit(
              [&](const auto& stats) {
                for (const auto& g : node_groups(stats, k, groups)) values.push_back(g.mean());
              },
              node_stats_[t]);
        });
  }
}

std::shared_ptr<const EstimatorForest> EstimatorForest::trained(
    UpliftRandomForestModel forest, std::vector<FeatureInfo> features,
    std::vector<NodeStats> node_stats, std::vector<std::vector<std::uint32_t>> node_rows) {
  return std::shared_ptr<const EstimatorForest>(new EstimatorForest(
      std::move(forest), std::move(features), std::move(node_stats), std::move(node_rows), true));
}

EstimatorForest::Read EstimatorForest::from_text(std::string_view text, std::string_view member) {
  EstimatorFile file = read_estimator_file(text, member);
  std::vector<FeatureInfo> features;
  const bool described = file.features.has_value();
  if (file.features) {
    features = std::move(*file.features);
  } else {
    // A plain model file: what its splits test is all there is to know.
    const std::size_t n =
        file.forest.trees().empty() ? 0 : file.forest.trees().front().feature_cols.size();
    features.resize(n);
    std::vector<std::unordered_set<std::string>> seen(n);
    for (const UpliftTreeModel& tree : file.forest.trees()) {
      for (std::uint32_t k = 0; k < tree.nodes.stored(); ++k) {
        const TreeNode& node = tree.nodes.nodes()[k];
        if (!is_split(tree.nodes, k) || node.col_idx < 0 ||
            static_cast<std::size_t>(node.col_idx) >= n)
          continue;
        FeatureInfo& info = features[static_cast<std::size_t>(node.col_idx)];
        // The first kind seen; a split of the other kind is refused by the
        // constructor, which checks every split against the kinds.
        const FeatureKind kind = node.split_value.kind();
        if (!info.kind) info.kind = kind;
        if (kind == FeatureKind::kCategorical &&
            seen[static_cast<std::size_t>(node.col_idx)].insert(node.split_value.text()).second)
          info.categories.push_back(node.split_value.text());
      }
    }
    for (FeatureInfo& info : features) std::sort(info.categories.begin(), info.categories.end());
  }
  Read read;
  read.forest = std::shared_ptr<const EstimatorForest>(
      new EstimatorForest(std::move(file.forest), std::move(features), std::move(file.node_stats),
                          std::move(file.node_rows), described));
  read.fields = std::move(file.fields);
  return read;
}

EstimatorForest::Read EstimatorForest::load(const std::string& path, std::string_view member,
                                            const model_file::OnInterrupt& on_interrupt) {
  return from_text(read_model_text(path, on_interrupt), member);
}

std::shared_ptr<const EstimatorForest> EstimatorForest::merge(
    std::span<const std::shared_ptr<const EstimatorForest>> forests) {
  if (forests.empty()) fail(msg::kNoTrees);
  UpliftRandomForestModel merged = forests.front()->forest_;
  std::int64_t total = 0;
  std::size_t count = 0;
  bool with_stats = true;
  for (const auto& f : forests) {
    total += f->forest_.n_estimators;
    count += f->forest_.trees().size();
    with_stats = with_stats && f->has_counts();
  }
  if (total > INT32_MAX) fail(msg::trees_disagree("a tree count that fits in 32 bits"));
  merged.n_estimators = static_cast<std::int32_t>(total);
  std::vector<UpliftTreeModel> trees;
  std::vector<NodeStats> stats;
  std::vector<std::vector<std::uint32_t>> rows;
  bool with_rows = with_stats;
  for (const auto& f : forests) with_rows = with_rows && !f->node_rows_.empty();
  trees.reserve(count);
  if (with_stats) stats.reserve(count);
  for (const auto& f : forests) {
    trees.insert(trees.end(), f->forest_.trees().begin(), f->forest_.trees().end());
    if (with_stats) stats.insert(stats.end(), f->node_stats_.begin(), f->node_stats_.end());
    if (with_rows) rows.insert(rows.end(), f->node_rows_.begin(), f->node_rows_.end());
  }
  merged.replace_trees(std::move(trees));
  return std::shared_ptr<const EstimatorForest>(
      new EstimatorForest(std::move(merged), forests.front()->features_, std::move(stats),
                          std::move(rows), forests.front()->knows_categories_));
}

std::string EstimatorForest::text(std::string_view fields, std::string_view member) const {
  return estimator_file_text({forest_, features_, node_stats_, node_rows_, member}, fields);
}

void EstimatorForest::save(const std::string& path, std::string_view fields,
                           std::string_view member,
                           const model_file::OnInterrupt& on_interrupt) const {
  save_estimator_file(path, {forest_, features_, node_stats_, node_rows_, member}, fields,
                      on_interrupt);
}

const std::vector<std::string>& EstimatorForest::feature_names() const {
  return forest_.trees().front().feature_cols;
}

std::uint64_t EstimatorForest::node_rows(std::size_t t, std::uint32_t k) const {
  if (!node_rows_.empty()) return node_rows_[t][k];
  return stats_rows(t, k);
}

std::uint64_t EstimatorForest::stats_rows(std::size_t t, std::uint32_t k) const {
  return std::visit([&](const auto& stats) { return rows_of(node_groups(stats, k, width_ + 1)); },
                    node_stats_[t]);
}

InputColumn::Type EstimatorForest::input_type(std::size_t f) const {
  return features_[f].kind == FeatureKind::kCategorical ? InputColumn::Type::kCode
                                                        : InputColumn::Type::kFloat64;
}

void EstimatorForest::with_codes(std::vector<InputColumn>& columns,
                                 std::span<const InputColumn> given) const {
  columns.assign(given.begin(), given.end());
  for (std::size_t f = 0; f < columns.size() && f < layout_codes_.size(); ++f) {
    if (columns[f].type != InputColumn::Type::kCode) continue;
    columns[f].codes = layout_codes_[f].data();
    columns[f].code_count = layout_codes_[f].size();
  }
}

void EstimatorForest::predict(std::span<const InputColumn> columns, std::size_t rows,
                              std::int32_t n_threads, const ColumnOutput& out) const {
  std::vector<InputColumn> coded;
  with_codes(coded, columns);
  predict_columns(forest_.trees(), *routing_, coded, rows, n_threads, out);
}

void EstimatorForest::predict_response(std::span<const InputColumn> columns, std::size_t rows,
                                       std::int32_t n_threads, double* out) const {
  if (!has_counts()) fail(msg::kNoNodeCounts);
  std::vector<InputColumn> coded;
  with_codes(coded, columns);
  predict_columns(forest_.trees(), *response_routing_, coded, rows, n_threads,
                  ColumnOutput{out, nullptr});
}

std::vector<double> EstimatorForest::importance(std::string_view type) const {
  const bool by_gain = type == "gain";
  if (!by_gain && type != "split") fail(msg::unknown_importance_type(type));
  std::vector<double> total(features_.size(), 0.0);
  const Criterion* criterion = criterion_called(forest_.eval_func);
  const bool stand_ins = criterion && criterion->stand_in_rates;
  const std::size_t groups = width_ + 1;
  const std::vector<UpliftTreeModel>& trees = forest_.trees();
  const ImportanceType kind = by_gain ? ImportanceType::kGain : ImportanceType::kSplit;
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const NodeArray& nodes = trees[t].nodes;
    if (nodes.root() == NodeArray::kDefault) continue;
    if (!has_counts()) {
      // No row counts to weigh by (a plain model file): every split as it is.
      add_feature_importance(trees[t], kind, total, [&](std::uint32_t k) -> std::optional<double> {
        if (!is_split(nodes, k)) return std::nullopt;
        return 1.0;
      });
      continue;
    }
    const double root_rows = static_cast<double>(stats_rows(t, nodes.root()));
    std::visit(
        [&](const auto& stats) {
          auto extreme = [&](std::uint32_t k) {
            if (k == NodeArray::kDefault) return false;
            for (const auto& g : node_groups(stats, k, groups))
              if (g.extreme()) return true;
            return false;
          };
          add_feature_importance(
              trees[t], kind, total, [&](std::uint32_t k) -> std::optional<double> {
                if (!is_split(nodes, k)) return std::nullopt;
                if (!by_gain) return 1.0;
                if (stand_ins &&
                    (extreme(k) || extreme(nodes.child(k, 0)) || extreme(nodes.child(k, 1))))
                  return std::nullopt;
                if (!(root_rows > 0.0)) return std::nullopt;
                return static_cast<double>(rows_of(node_groups(stats, k, groups))) / root_rows;
              });
        },
        node_stats_[t]);
  }
  // As prediction averages: over the trees held.
  const double n = static_cast<double>(trees.size());
  for (double& v : total) v = v / n;
  return total;
}

}  // namespace corvane
