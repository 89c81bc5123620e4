#include "uplift_tree/row_batch.h"

#include <algorithm>

namespace corvane {

RowBatch::RowBatch(const RowLayout& layout, std::size_t rows)
    : layout_(layout),
      stride_(std::max<std::size_t>(layout.width(), 1)),
      // Written cell by cell as rows arrive; no need to clear them first.
      cells_(std::make_unique_for_overwrite<std::uint32_t[]>(rows * stride_)),
      kinds_(std::make_unique_for_overwrite<std::uint8_t[]>(rows * stride_)),
      lengths_(std::make_unique_for_overwrite<std::size_t[]>(rows)),
      checked_rows_(std::make_unique_for_overwrite<std::uint8_t[]>(rows)) {}

void RowBatch::end_row() {
  // A short row misses a cell that some split tests, since the width ends
  // at the last tested position. Its missing slots are still read by the
  // unchecked walk (whose answer for the row is then discarded).
  if (column_ < layout_.width()) checked_ = 0;
  if (column_ < stride_) {
    std::fill(cells_.get() + at_ + column_, cells_.get() + at_ + stride_, 0u);
    std::fill(kinds_.get() + at_ + column_, kinds_.get() + at_ + stride_, kNumber);
  }
  lengths_[ends_] = column_;
  checked_rows_[ends_] = checked_ & 1;
  ++ends_;
}

}  // namespace corvane
