// The estimator's part of the model file: one member (its name is the
// binding's) after the forest's own members, which the extension skips when
// it reads the file. It holds the estimator's own fields (a JSON object that
// the binding hands over as text), what each feature is ("features") and the
// statistics of every node: for a binary outcome "node_counts", a flat array
// per tree of 2 (K + 1) counts per stored node in position order,
// [n0, y0, n1, y1, ...]; and "node_rows", the rows that reached each stored
// node (they differ from its statistics' where a leaf's values rest on an
// ancestor's rows).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "estimator/estimator_forest.h"
#include "model_file/file_io.h"
#include "uplift_random_forest/forest.h"

namespace corvane {

struct EstimatorFile {
  UpliftRandomForestModel forest;
  // Absent for a plain model file of the extension.
  std::optional<std::vector<FeatureInfo>> features;
  // One per tree; none when the file keeps no statistics.
  std::vector<NodeStats> node_stats;
  // The rows that reached each node, one list per tree; none when the file
  // does not record them.
  std::vector<std::vector<std::uint32_t>> node_rows;
  // The estimator's own fields, as one JSON object text.
  std::optional<std::string> fields;
};

// What the estimator's part is written from.
struct EstimatorPart {
  const UpliftRandomForestModel& forest;
  const std::vector<FeatureInfo>& features;
  const std::vector<NodeStats>& node_stats;                  // one per tree, or none
  const std::vector<std::vector<std::uint32_t>>& node_rows;  // one per tree, or none
  std::string_view member;                                   // the part's member name
};

// Parses a model file text whose estimator part is member `member`. A text
// that is no model file stops with the fault and its line and column, a
// damaged estimator part with a message naming the member at fault.
EstimatorFile read_estimator_file(std::string_view text, std::string_view member);

// The whole content of the file at `path` (read once), checked to be UTF-8.
std::string read_model_text(const std::string& path, const model_file::OnInterrupt& on_interrupt);

// The model file text of the forest with the estimator's part; `fields` is a
// JSON object text ("{...}") of the estimator's own members.
std::string estimator_file_text(const EstimatorPart& part, std::string_view fields);

// Writes that text to `path` in one streaming pass, as save_model_file does.
void save_estimator_file(const std::string& path, const EstimatorPart& part,
                         std::string_view fields, const model_file::OnInterrupt& on_interrupt);

}  // namespace corvane
