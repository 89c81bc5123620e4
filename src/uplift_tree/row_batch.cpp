#include "uplift_tree/row_batch.h"

#include <algorithm>

namespace corvane {

namespace {

auto position_less = [](const RowLayout::Column& c, std::size_t p) { return c.position < p; };

}  // namespace

void RowLayout::add_test(std::size_t position, FeatureKind kind) {
  auto it = std::lower_bound(columns_.begin(), columns_.end(), position, position_less);
  if (it == columns_.end() || it->position != position)
    it = columns_.insert(it, Column{position, FeatureKinds::all(), CategoryCodes()});
  it->accepts = it->accepts & FeatureKinds::only(kind);
}

std::uint32_t RowLayout::slot_of(std::size_t position) const {
  return static_cast<std::uint32_t>(
      std::lower_bound(columns_.begin(), columns_.end(), position, position_less) -
      columns_.begin());
}

RowBatch::RowBatch(const RowLayout& layout, std::size_t rows, std::size_t longest)
    : layout_(layout),
      width_(layout.width()),
      capacity_(rows),
      lengths_(std::make_unique_for_overwrite<std::size_t[]>(rows)),
      checked_rows_(std::make_unique_for_overwrite<std::uint8_t[]>(rows)) {
  // Slots only for positions that some row reaches: a damaged model may
  // test positions far beyond any row.
  cover(std::min(layout.width(), longest));
}

void RowBatch::cover(std::size_t length) {
  // Slots are ranks in position order, so covering more positions only
  // appends slots: rows laid out so far keep theirs.
  slot_of_.resize(length, kNoSlot);
  accepts_.clear();
  codes_.clear();
  for (const RowLayout::Column& column : layout_.columns()) {
    if (column.position >= length) break;
    slot_of_[column.position] = static_cast<std::uint32_t>(accepts_.size());
    accepts_.push_back(column.accepts);
    codes_.push_back(column.codes.empty() ? nullptr : &column.codes);
  }
  const std::size_t slots = accepts_.size();
  covered_ = length;
  const std::size_t stride = std::max<std::size_t>(slots, 1);
  if (stride == stride_) return;
  auto cells = std::make_unique_for_overwrite<std::uint32_t[]>(capacity_ * stride);
  auto kinds = std::make_unique_for_overwrite<FeatureKind[]>(capacity_ * stride);
  // Only when Python code run by a cell's conversion lengthened a row: the
  // rows so far (and the one being added) move over.
  if (stride_ != 0) {
    for (std::size_t i = 0; i <= ends_ && i < capacity_; ++i) {
      std::copy_n(cells_.get() + i * stride_, stride_, cells.get() + i * stride);
      std::copy_n(kinds_.get() + i * stride_, stride_, kinds.get() + i * stride);
      std::fill_n(cells.get() + i * stride + stride_, stride - stride_, 0u);
      std::fill_n(kinds.get() + i * stride + stride_, stride - stride_, FeatureKind::kNumeric);
    }
  }
  cells_ = std::move(cells);
  kinds_ = std::move(kinds);
  stride_ = stride;
  at_ = ends_ * stride_;
}

std::uint32_t RowBatch::slot_beyond(std::size_t column) {
  cover(column + 1);
  return slot_of_[column];
}

void RowBatch::end_row() {
  // Slots the row does not reach are still read by the unchecked walk
  // (whose answer for a short row is discarded): they get defined values.
  for (std::size_t p = column_; p < covered_; ++p) {
    if (const std::uint32_t slot = slot_of_[p]; slot != kNoSlot) {
      cells_[at_ + slot] = 0;
      kinds_[at_ + slot] = FeatureKind::kNumeric;
    }
  }
  // A short row misses a cell that some split tests, since the width ends
  // at the last tested position.
  if (column_ < layout_.width()) checked_ = 0;
  lengths_[ends_] = column_;
  checked_rows_[ends_] = checked_ & 1;
  ++ends_;
}

}  // namespace corvane
