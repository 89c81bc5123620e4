// Prediction rows in the form a tree walk reads: one 32-bit slot per cell,
// the float's bits for a number or a category code for a text, laid out row
// after row with a fixed stride, so a batch costs a few allocations however
// many rows it has and routing never touches a string.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "uplift_tree/category_codes.h"

namespace corvane {

// What the splits of a model test at each cell position that any split
// tests (positions beyond are never read).
// Thread-safety: immutable once built; shared freely.
struct RowLayout {
  // Per position, bit 0 set: a number may stand there without a check on the
  // way; bit 1: a text may. A position no split tests accepts both, one that
  // splits test as numbers and as categories accepts neither.
  std::vector<std::uint8_t> accepts;
  // Per position, the codes of the categories its splits test.
  std::vector<CategoryCodes> codes;

  std::size_t width() const { return accepts.size(); }
};

// Thread-safety: filled by one thread; afterwards only read, by any number.
class RowBatch {
 public:
  enum Kind : std::uint8_t { kNumber = 0, kText = 1 };

  // One row as the exact walk reads it: `length` cells, of which the first
  // min(length, width) are stored.
  struct Row {
    const std::uint32_t* cells;
    const std::uint8_t* kinds;
    std::size_t length;
  };

  // `layout` must outlive the batch; room for `rows` rows.
  RowBatch(const RowLayout& layout, std::size_t rows);

  void begin_row() {
    at_ = ends_ * stride_;
    column_ = 0;
    checked_ = 1;
  }
  void add_number(float v) { add(std::bit_cast<std::uint32_t>(v), kNumber); }
  void add_text(std::string_view text) {
    std::uint32_t code = CategoryCodes::kNoCategory;
    if (column_ < layout_.width() && !layout_.codes[column_].empty())
      code = layout_.codes[column_].find(text);
    add(code, kText);
  }
  void end_row();

  std::size_t size() const { return ends_; }
  // Slots per row: the layout's width, at least 1.
  std::size_t stride() const { return stride_; }
  const std::uint32_t* cells(std::size_t i) const { return cells_.get() + i * stride_; }
  // Whether every cell that a split may test is there and of the kind the
  // split wants, so the row can be walked without checks.
  bool checked(std::size_t i) const { return checked_rows_[i] != 0; }
  Row row(std::size_t i) const {
    return {cells(i), kinds_.get() + i * stride_, lengths_[i]};
  }

 private:
  void add(std::uint32_t bits, Kind kind) {
    if (column_ < layout_.width()) {
      cells_[at_ + column_] = bits;
      kinds_[at_ + column_] = kind;
      checked_ &= layout_.accepts[column_] >> kind;
    }
    ++column_;
  }

  const RowLayout& layout_;
  std::size_t stride_;
  std::unique_ptr<std::uint32_t[]> cells_;
  std::unique_ptr<std::uint8_t[]> kinds_;
  std::unique_ptr<std::size_t[]> lengths_;
  std::unique_ptr<std::uint8_t[]> checked_rows_;
  std::size_t ends_ = 0;
  // The row being added.
  std::size_t at_ = 0;
  std::size_t column_ = 0;
  std::uint8_t checked_ = 1;
};

}  // namespace corvane
