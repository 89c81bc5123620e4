// Prediction rows in the form a tree walk reads: one 32-bit slot per tested
// cell, the number's order key or the text's category code, laid
// out row after row with a fixed stride, so a batch costs a few allocations
// however many rows it has and routing never touches a string.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "uplift_tree/category_codes.h"
#include "uplift_tree/cell_key.h"
#include "uplift_tree/feature_kind.h"

namespace corvane {

// The cell positions that the splits of a model test, and how. Each tested
// position has a slot: its rank among the tested positions.
// Thread-safety: immutable once built; shared freely.
class RowLayout {
 public:
  struct Column {
    std::size_t position;
    // The kinds of cell that may stand here without a check on the way:
    // splits that test the position both as numbers and as categories leave
    // none.
    FeatureKinds accepts;
    CategoryCodes codes;  // of the categories tested here
  };

  // Records that some split tests `position` as cells of `kind`.
  void add_test(std::size_t position, FeatureKind kind);
  // The slot of a position given to add_test.
  std::uint32_t slot_of(std::size_t position) const;
  CategoryCodes& codes(std::uint32_t slot) { return columns_[slot].codes; }

  // One past the last tested position; rows shorter than this cannot be
  // walked without checks.
  std::size_t width() const { return columns_.empty() ? 0 : columns_.back().position + 1; }
  // By slot (in position order).
  const std::vector<Column>& columns() const { return columns_; }

 private:
  std::vector<Column> columns_;
};

// Thread-safety: filled by one thread; afterwards only read, by any number.
// Each cell's kind is stored as a FeatureKind: a scoped enumeration, not a
// character type, so its stores cannot alias the batch's other members,
// which keeps them in registers while a row is added.
class RowBatch {
 public:
  // One row as the exact walk reads it: `length` cells, of which those at
  // tested positions are stored, in slot_of[position].
  struct Row {
    const std::uint32_t* cells;
    const FeatureKind* kinds;
    const std::uint32_t* slot_of;
    std::size_t length;
  };

  // `layout` must outlive the batch; room for `rows` rows, expected to be
  // at most `longest` cells long (longer ones are still taken).
  RowBatch(const RowLayout& layout, std::size_t rows, std::size_t longest);

  void begin_row() {
    at_ = ends_ * stride_;
    column_ = 0;
    checked_ = 1;
  }
  void add_number(float v) {
    const std::uint32_t slot = next_slot();
    if (slot != kNoSlot) store(slot, cell_key(v), FeatureKind::kNumeric);
  }
  void add_text(std::string_view text) {
    const std::uint32_t slot = next_slot();
    if (slot == kNoSlot) return;
    const CategoryCodes* codes = codes_[slot];
    store(slot, codes ? codes->find(text) : CategoryCodes::kNoCategory, FeatureKind::kCategorical);
  }
  void end_row();

  // Replaces the batch's rows by `count` rows (at most the batch's room) of
  // `length` cells each, laid out a column at a time, for input that is held
  // column by column. For every tested position below `length`,
  // fill(position, keys, stride) writes the `count` cells of that position
  // to keys[i * stride] and returns the kind they all have. Positions that
  // no split tests are never asked for.
  template <class FillColumn>
  void assign_columns(std::size_t count, std::size_t length, FillColumn&& fill);

  std::size_t size() const { return ends_; }
  // Slots per row: one per tested position that the rows reach, at least 1.
  std::size_t stride() const { return stride_; }
  // Whether every tested position has a slot, as the unchecked walk needs.
  bool complete() const { return covered_ >= width_; }
  const std::uint32_t* cells(std::size_t i) const { return cells_.get() + i * stride_; }
  // Whether every cell that a split may test is there and of the kind the
  // split wants, so the row can be walked without checks.
  bool checked(std::size_t i) const { return checked_rows_[i] != 0; }
  Row row(std::size_t i) const {
    return {cells(i), kinds_.get() + i * stride_, slot_of_.data(), lengths_[i]};
  }

 private:
  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;

  // The slot of the cell being added (kNoSlot when no split tests it); moves
  // on to the next cell.
  std::uint32_t next_slot() {
    const std::size_t column = column_++;
    if (column < covered_) [[likely]]
      return slot_of_[column];
    if (column >= width_) return kNoSlot;
    return slot_beyond(column);
  }
  // Covers the positions up to `column`, which some split tests.
  std::uint32_t slot_beyond(std::size_t column);
  void store(std::uint32_t slot, std::uint32_t bits, FeatureKind kind) {
    cells_[at_ + slot] = bits;
    kinds_[at_ + slot] = kind;
    checked_ &= accepts_[slot].has(kind);
  }
  // Gives slots to the tested positions below `length`.
  void cover(std::size_t length);

  const RowLayout& layout_;
  const std::size_t width_;  // the layout's
  std::size_t capacity_;
  // Positions below covered_ have their slot (or kNoSlot) in slot_of_.
  std::size_t covered_ = 0;
  std::vector<std::uint32_t> slot_of_;
  std::size_t stride_ = 0;
  // Per slot: what the layout accepts there, and the codes of its categories
  // (null when no split tests categories there).
  std::vector<FeatureKinds> accepts_;
  std::vector<const CategoryCodes*> codes_;
  std::unique_ptr<std::uint32_t[]> cells_;
  std::unique_ptr<FeatureKind[]> kinds_;
  std::unique_ptr<std::size_t[]> lengths_;
  std::unique_ptr<std::uint8_t[]> checked_rows_;
  std::size_t ends_ = 0;
  // The row being added.
  std::size_t at_ = 0;
  std::size_t column_ = 0;
  unsigned checked_ = 1;
};

template <class FillColumn>
void RowBatch::assign_columns(std::size_t count, std::size_t length, FillColumn&& fill) {
  if (length > covered_) cover(std::min(width_, length));
  ends_ = count;
  // A row shorter than the last tested position misses a tested cell.
  unsigned checked = length >= width_ ? 1 : 0;
  for (std::size_t slot = 0; slot < accepts_.size(); ++slot) {
    const std::size_t position = layout_.columns()[slot].position;
    if (position >= length) {
      // Defined values for the unchecked walk, whose answer is discarded.
      for (std::size_t i = 0; i < count; ++i) {
        cells_[i * stride_ + slot] = 0;
        kinds_[i * stride_ + slot] = FeatureKind::kNumeric;
      }
      continue;
    }
    const FeatureKind kind = fill(position, cells_.get() + slot, stride_);
    for (std::size_t i = 0; i < count; ++i) kinds_[i * stride_ + slot] = kind;
    checked &= accepts_[slot].has(kind);
  }
  for (std::size_t i = 0; i < count; ++i) {
    lengths_[i] = length;
    checked_rows_[i] = static_cast<std::uint8_t>(checked & 1);
  }
}

}  // namespace corvane
