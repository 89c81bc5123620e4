// The forest as the estimator holds it: trained or read once, never changed
// afterwards (so one object may serve any number of threads, and a refit
// replaces it whole), with the statistics of every node and everything that
// prediction from the estimator's arrays needs derived up front. The core
// knows nothing of this layer; the estimator's binding names the member of
// the model file that holds its part.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model_file/file_io.h"
#include "uplift_random_forest/column_prediction.h"
#include "uplift_random_forest/forest.h"
#include "uplift_tree/feature_kind.h"
#include "uplift_tree/outcome_stats.h"

namespace corvane {

// What the estimator knows of one feature. `kind` is unknown only for a
// feature that no split of a forest from a plain model file tests.
// `categories` (categorical features) are the texts that input codes index.
struct FeatureInfo {
  std::optional<FeatureKind> kind;
  std::vector<std::string> categories;
};

// Thread-safety: immutable after construction; every method may be called
// from any number of threads at once.
class EstimatorForest {
 public:
  // A freshly trained forest; `features` as the training data had them,
  // `node_stats` and `node_rows` one per tree (TrainingOptions::keep_node_stats).
  static std::shared_ptr<const EstimatorForest> trained(
      UpliftRandomForestModel forest, std::vector<FeatureInfo> features,
      std::vector<NodeStats> node_stats, std::vector<std::vector<std::uint32_t>> node_rows);

  // A forest read from model-file text, and the estimator's own fields of
  // its part (member `member`, a JSON object) as text when the file has
  // one. A plain file of the extension gets the kinds and categories its
  // splits test.
  struct Read {
    std::shared_ptr<const EstimatorForest> forest;
    std::optional<std::string> fields;
  };
  static Read from_text(std::string_view text, std::string_view member);
  // Reads the file at `path` once, whatever it is (a pipe too).
  static Read load(const std::string& path, std::string_view member,
                   const model_file::OnInterrupt& on_interrupt = {});

  // Every tree of `forests`, in order, as one forest whose n_estimators is
  // the sum of theirs; settings and features are the first one's, which the
  // others must share (the caller checks).
  static std::shared_ptr<const EstimatorForest> merge(
      std::span<const std::shared_ptr<const EstimatorForest>> forests);

  // The model file text with `fields` (a JSON object text, "{...}") as the
  // estimator's own members of its part, member `member`.
  std::string text(std::string_view fields, std::string_view member) const;
  // Writes the model file safely (model_file::write_file) in one pass.
  void save(const std::string& path, std::string_view fields, std::string_view member,
            const model_file::OnInterrupt& on_interrupt = {}) const;

  // Uplifts (and their spread over the trees) of rows given as columns in
  // feature order; categorical columns hold codes into the feature's
  // categories. Writes rows() x width() values.
  void predict(std::span<const InputColumn> columns, std::size_t rows, std::int32_t n_threads,
               const ColumnOutput& out) const;
  // The mean outcome of every group, control first: rows x (width() + 1)
  // values. Needs node statistics (has_counts()).
  void predict_response(std::span<const InputColumn> columns, std::size_t rows,
                        std::int32_t n_threads, double* out) const;

  // Per feature: "gain", each split's gain weighted by its node's share of
  // its tree's rows (unweighted without node statistics), or "split", the
  // number of splits; both averaged over the trees. For KL and CHI, a split
  // whose node or child has a group rate of exactly 0 or 1 adds no gain:
  // those criteria score such rates with fixed stand-in values, which would
  // let a few tiny nodes outweigh every real split.
  std::vector<double> importance(std::string_view type) const;

  const UpliftRandomForestModel& forest() const { return forest_; }
  const std::vector<FeatureInfo>& features() const { return features_; }
  const std::vector<std::string>& feature_names() const;
  // Uplifts per row: the number of treatment groups besides control.
  std::size_t width() const { return width_; }
  bool has_counts() const { return !node_stats_.empty(); }
  // Whether the node statistics are of a real-valued outcome (false without
  // statistics: a plain model file says nothing of its outcome).
  bool real_outcome() const {
    return has_counts() && std::holds_alternative<std::vector<RealStats>>(node_stats_.front());
  }
  // The statistics of tree t's stored nodes (width() + 1 per node, nodes in
  // storage order); only with has_counts().
  const NodeStats& node_stats(std::size_t t) const { return node_stats_[t]; }
  // The rows that reached stored node k of tree t (its estimation rows, for
  // an honest tree), even where a leaf's values rest on an ancestor's rows;
  // a forest read from a file that does not record them counts the rows its
  // statistics rest on. Only with has_counts().
  std::uint64_t node_rows(std::size_t t, std::uint32_t k) const;
  // The rows node k's statistics count (its values rest on).
  std::uint64_t stats_rows(std::size_t t, std::uint32_t k) const;
  // Whether the categories are all those of the training data (not only
  // those that the splits of a plain model file test).
  bool knows_categories() const { return knows_categories_; }

  // Code in the routing's layout of each category of feature `f`.
  std::span<const std::uint32_t> layout_codes(std::size_t f) const { return layout_codes_[f]; }
  // The input column of feature `f` as its kind wants it; `codes` are
  // filled in for a categorical one.
  InputColumn::Type input_type(std::size_t f) const;

 private:
  EstimatorForest(UpliftRandomForestModel forest, std::vector<FeatureInfo> features,
                  std::vector<NodeStats> node_stats,
                  std::vector<std::vector<std::uint32_t>> node_rows, bool knows_categories);
  void with_codes(std::vector<InputColumn>& columns, std::span<const InputColumn> given) const;

  UpliftRandomForestModel forest_;
  std::vector<FeatureInfo> features_;
  // One per tree, or none (a plain model file keeps no statistics).
  std::vector<NodeStats> node_stats_;
  // One per tree (with the statistics), or none where unknown.
  std::vector<std::vector<std::uint32_t>> node_rows_;
  std::shared_ptr<const ForestRouting> routing_;
  std::vector<std::vector<std::uint32_t>> layout_codes_;
  std::size_t width_ = 0;
  bool knows_categories_ = false;
  // The same trees walked to each leaf's groups' mean outcomes.
  std::shared_ptr<const ForestRouting> response_routing_;
};

}  // namespace corvane
