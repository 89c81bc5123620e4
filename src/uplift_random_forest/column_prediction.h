// Prediction of rows that are held column by column in the caller's memory
// (the estimator's arrays): a PredictionRun whose walkers lay each chunk of
// rows out for the batched walk straight from the columns and write the
// chunk's results into the caller's output, so nothing is built per row or
// per cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "uplift_random_forest/forest.h"

namespace corvane {

// One feature column of the input, as laid out in its owner's memory.
struct InputColumn {
  enum class Type : std::uint8_t { kFloat32, kFloat64, kCode };
  Type type = Type::kFloat64;
  const char* data = nullptr;
  std::ptrdiff_t stride = 0;  // bytes from one row's cell to the next
  // kCode: int32 cells indexing `codes`, the category code of the routing's
  // layout for each of the column's categories; any other value (a missing
  // or unseen category) equals no split's category.
  const std::uint32_t* codes = nullptr;
  std::size_t code_count = 0;
};

// The kind of feature whose cells a column of `type` holds.
inline FeatureKind kind_of(InputColumn::Type type) {
  switch (type) {
    case InputColumn::Type::kFloat32:
    case InputColumn::Type::kFloat64:
      return FeatureKind::kNumeric;
    case InputColumn::Type::kCode:
      return FeatureKind::kCategorical;
  }
  return FeatureKind::kNumeric;
}

// Replaces the rows of `batch` (room for `count` rows at least) by rows
// [first, first + count) of `columns`, one per feature.
void lay_out_columns(std::span<const InputColumn> columns, std::size_t first, std::size_t count,
                     RowBatch& batch);

// What a column prediction writes, row-major with routing.result_width()
// values per row. `mean` is the forest's prediction, bit for bit that of
// predict_rows on the same cells. `spread`, when not null, receives each
// value's standard deviation over the trees (divided by the tree count, not
// one less).
struct ColumnOutput {
  double* mean = nullptr;
  double* spread = nullptr;
};

// Predicts `rows` rows whose cells are `columns` (one per feature, in
// feature order). The trees must be non-empty with leaves of one length.
// n_threads < 0 uses every available processor. Fails (after every thread
// has ended) as the exact walk of the first failing row does.
// Thread-safety: only reads the trees, the routing and the columns.
void predict_columns(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                     std::span<const InputColumn> columns, std::size_t rows, std::int32_t n_threads,
                     const ColumnOutput& out);

}  // namespace corvane
