#include "uplift_random_forest/column_prediction.h"

#include <cstring>

#include "concurrency/processors.h"
#include "core/error.h"
#include "core/error_msg.h"
#include "uplift_random_forest/prediction_run.h"
#include "uplift_tree/cell_key.h"

namespace corvane {

namespace {

FeatureKind fill_column(const InputColumn& column, std::size_t first, std::size_t count,
                        std::uint32_t* keys, std::size_t stride) {
  const char* cell = column.data + static_cast<std::ptrdiff_t>(first) * column.stride;
  switch (column.type) {
    case InputColumn::Type::kFloat32:
      for (std::size_t i = 0; i < count; ++i, cell += column.stride) {
        float v;
        std::memcpy(&v, cell, sizeof v);
        keys[i * stride] = cell_key(v);
      }
      return FeatureKind::kNumeric;
    case InputColumn::Type::kFloat64:
      for (std::size_t i = 0; i < count; ++i, cell += column.stride) {
        double v;
        std::memcpy(&v, cell, sizeof v);
        keys[i * stride] = cell_key(static_cast<float>(v));
      }
      return FeatureKind::kNumeric;
    case InputColumn::Type::kCode:
      for (std::size_t i = 0; i < count; ++i, cell += column.stride) {
        std::int32_t c;
        std::memcpy(&c, cell, sizeof c);
        keys[i * stride] = c >= 0 && static_cast<std::size_t>(c) < column.code_count
                               ? column.codes[c]
                               : CategoryCodes::kNoCategory;
      }
      return FeatureKind::kCategorical;
  }
  return FeatureKind::kNumeric;
}

}  // namespace

void lay_out_columns(std::span<const InputColumn> columns, std::size_t first, std::size_t count,
                     RowBatch& batch) {
  batch.assign_columns(count, columns.size(),
                       [&](std::size_t position, std::uint32_t* keys, std::size_t stride) {
                         return fill_column(columns[position], first, count, keys, stride);
                       });
}

void predict_columns(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                     std::span<const InputColumn> columns, std::size_t rows, std::int32_t n_threads,
                     const ColumnOutput& out) {
  if (trees.empty() || !routing.uniform_leaves()) fail(msg::kTreeCount);
  if (rows == 0) return;
  if (n_threads < 0) n_threads = available_processors();
  if (n_threads == 0) fail(msg::kNoPoolThreads);
  PredictionRun(trees, routing, columns, rows, walkers_for(rows, n_threads), out).finish();
}

}  // namespace corvane
