#include "uplift_random_forest/estimator_forest.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "core/error.h"
#include "core/error_msg.h"
#include "uplift_random_forest/estimator_model_file.h"

namespace corvane {

namespace {

// Stored node k of `tree` as a split on a feature (not a leaf, not a node
// growth never wrote).
bool is_split(const NodeArray& nodes, std::uint32_t k) { return !nodes.route(k).leaf; }

// Whether some group's positive rate is exactly 0 or 1 (or the group has no
// rows): KL and CHI score such rates with fixed stand-in values, so a gain
// resting on them measures no divergence.
bool has_extreme_rate(const std::vector<std::int32_t>& counts) {
  for (std::size_t g = 0; g < counts.size(); g += 2)
    if (counts[g + 1] == 0 || counts[g + 1] == counts[g]) return true;
  return false;
}

std::size_t rows_of(const std::vector<std::int32_t>& counts) {
  std::size_t n = 0;
  for (std::size_t g = 0; g < counts.size(); g += 2) n += static_cast<std::size_t>(counts[g]);
  return n;
}

// The trees with each leaf's values replaced by its groups' positive rates,
// control first.
std::vector<UpliftTreeModel> response_trees(const std::vector<UpliftTreeModel>& trees) {
  std::vector<UpliftTreeModel> result;
  result.reserve(trees.size());
  for (const UpliftTreeModel& tree : trees) {
    std::vector<std::pair<std::uint64_t, TreeNode>> entries;
    entries.reserve(tree.nodes.stored());
    for (std::uint32_t k = 0; k < tree.nodes.stored(); ++k) {
      TreeNode node = tree.nodes.nodes()[k];
      if (node.is_leaf()) {
        node.prob.clear();
        for (std::size_t g = 0; g < node.counts.size(); g += 2)
          node.prob.push_back(static_cast<double>(node.counts[g + 1]) /
                              static_cast<double>(node.counts[g]));
      }
      entries.emplace_back(tree.nodes.position(k), std::move(node));
    }
    UpliftTreeModel copy;
    copy.feature_cols = tree.feature_cols;
    copy.nodes.assign(tree.nodes.size(), std::move(entries));
    result.push_back(std::move(copy));
  }
  return result;
}

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

}  // namespace

EstimatorForest::EstimatorForest(UpliftRandomForestModel forest, std::vector<FeatureInfo> features,
                                 bool knows_categories)
    : forest_(std::move(forest)),
      features_(std::move(features)),
      knows_categories_(knows_categories) {
  const std::vector<UpliftTreeModel>& trees = forest_.trees();
  if (trees.empty()) fail(msg::kNoTrees);
  const std::vector<std::string>& names = trees.front().feature_cols;
  if (features_.size() != names.size())
    fail(msg::estimator_part_damaged("it describes " + std::to_string(features_.size()) +
                                     " features but the trees read " +
                                     std::to_string(names.size())));
  has_counts_ = true;
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
  for (const UpliftTreeModel& tree : trees)
    for (const TreeNode& node : tree.nodes.nodes())
      has_counts_ = has_counts_ && node.counts.size() == 2 * (width_ + 1);
  for (std::size_t f = 0; f < features_.size(); ++f) {
    std::unordered_set<std::string_view> seen;
    for (const std::string& text : features_[f].categories)
      if (!seen.insert(text).second) fail(msg::duplicate_category(names[f], text));
  }
  routing_ = std::make_shared<const ForestRouting>(trees);
  layout_codes_ = codes_for(*routing_, features_);
  if (has_counts_) {
    response_trees_ = response_trees(trees);
    response_routing_ = std::make_shared<const ForestRouting>(response_trees_);
    response_codes_ = codes_for(*response_routing_, features_);
  }
}

std::shared_ptr<const EstimatorForest> EstimatorForest::trained(UpliftRandomForestModel forest,
                                                                std::vector<FeatureInfo> features) {
  return std::shared_ptr<const EstimatorForest>(
      new EstimatorForest(std::move(forest), std::move(features), true));
}

EstimatorForest::Read EstimatorForest::from_text(std::string_view text) {
  EstimatorFile file = read_estimator_file(text);
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
      new EstimatorForest(std::move(file.forest), std::move(features), described));
  read.fields = std::move(file.fields);
  return read;
}

EstimatorForest::Read EstimatorForest::load(const std::string& path,
                                            const model_file::OnInterrupt& on_interrupt) {
  return from_text(read_model_text(path, on_interrupt));
}

std::shared_ptr<const EstimatorForest> EstimatorForest::merge(
    std::span<const std::shared_ptr<const EstimatorForest>> forests) {
  if (forests.empty()) fail(msg::kNoTrees);
  UpliftRandomForestModel merged = forests.front()->forest_;
  std::int64_t total = 0;
  std::size_t count = 0;
  for (const auto& f : forests) {
    total += f->forest_.n_estimators;
    count += f->forest_.trees().size();
  }
  if (total > INT32_MAX) fail(msg::trees_disagree("a tree count that fits in 32 bits"));
  merged.n_estimators = static_cast<std::int32_t>(total);
  std::vector<UpliftTreeModel> trees;
  trees.reserve(count);
  for (const auto& f : forests)
    trees.insert(trees.end(), f->forest_.trees().begin(), f->forest_.trees().end());
  merged.replace_trees(std::move(trees));
  return std::shared_ptr<const EstimatorForest>(new EstimatorForest(
      std::move(merged), forests.front()->features_, forests.front()->knows_categories_));
}

std::string EstimatorForest::text(std::string_view fields) const {
  return estimator_file_text(forest_, features_, has_counts_, fields);
}

void EstimatorForest::save(const std::string& path, std::string_view fields,
                           const model_file::OnInterrupt& on_interrupt) const {
  save_estimator_file(path, forest_, features_, has_counts_, fields, on_interrupt);
}

const std::vector<std::string>& EstimatorForest::feature_names() const {
  return forest_.trees().front().feature_cols;
}

InputColumn::Type EstimatorForest::input_type(std::size_t f) const {
  return features_[f].kind == FeatureKind::kCategorical ? InputColumn::Type::kCode
                                                        : InputColumn::Type::kFloat64;
}

void EstimatorForest::set_codes(std::vector<InputColumn>& columns,
                                std::span<const InputColumn> given, const ForestRouting&,
                                const std::vector<std::vector<std::uint32_t>>& codes) const {
  columns.assign(given.begin(), given.end());
  for (std::size_t f = 0; f < columns.size() && f < codes.size(); ++f) {
    if (columns[f].type != InputColumn::Type::kCode) continue;
    columns[f].codes = codes[f].data();
    columns[f].code_count = codes[f].size();
  }
}

void EstimatorForest::predict(std::span<const InputColumn> columns, std::size_t rows,
                              std::int32_t n_threads, const ColumnOutput& out) const {
  std::vector<InputColumn> with_codes;
  set_codes(with_codes, columns, *routing_, layout_codes_);
  predict_columns(forest_.trees(), *routing_, with_codes, rows, n_threads, out);
}

void EstimatorForest::predict_response(std::span<const InputColumn> columns, std::size_t rows,
                                       std::int32_t n_threads, double* out) const {
  if (!has_counts_) fail(msg::kNoNodeCounts);
  std::vector<InputColumn> with_codes;
  set_codes(with_codes, columns, *response_routing_, response_codes_);
  predict_columns(response_trees_, *response_routing_, with_codes, rows, n_threads,
                  ColumnOutput{out, nullptr});
}

std::vector<double> EstimatorForest::importance(std::string_view type) const {
  const bool by_gain = type == "gain";
  if (!by_gain && type != "split") fail(msg::unknown_importance_type(type));
  std::vector<double> total(features_.size(), 0.0);
  const Criterion* criterion = criterion_called(forest_.eval_func);
  const bool stand_ins = criterion && criterion->stand_in_rates;
  for (const UpliftTreeModel& tree : forest_.trees()) {
    const NodeArray& nodes = tree.nodes;
    if (nodes.root() == NodeArray::kDefault) continue;
    const double root_rows =
        has_counts_ ? static_cast<double>(rows_of(nodes.nodes()[nodes.root()].counts)) : 0.0;
    for (std::uint32_t k = 0; k < nodes.stored(); ++k) {
      const TreeNode& node = nodes.nodes()[k];
      // As the extension's importance: splits whose gain is no positive
      // number add nothing.
      if (!is_split(nodes, k) || !(node.gain > 0.0)) continue;
      const auto f = static_cast<std::size_t>(node.col_idx);
      if (!by_gain) {
        total[f] += 1.0;
        continue;
      }
      if (has_counts_ && stand_ins) {
        const std::uint32_t left = nodes.child(k, 0), right = nodes.child(k, 1);
        if (has_extreme_rate(node.counts) ||
            (left != NodeArray::kDefault && has_extreme_rate(nodes.nodes()[left].counts)) ||
            (right != NodeArray::kDefault && has_extreme_rate(nodes.nodes()[right].counts)))
          continue;
      }
      if (!has_counts_) {
        total[f] += node.gain;  // no row counts to weigh by: a plain model file
      } else if (root_rows > 0.0) {
        total[f] += node.gain * (static_cast<double>(rows_of(node.counts)) / root_rows);
      }
    }
  }
  // As prediction averages: over the trees held.
  const double n = static_cast<double>(forest_.trees().size());
  for (double& v : total) v = v / n;
  return total;
}

}  // namespace corvane
