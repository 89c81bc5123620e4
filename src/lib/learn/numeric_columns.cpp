#include "lib/learn/numeric_columns.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>

#include "concurrency/thread_pool.h"
#include "uplift_tree/binning.h"

namespace corvane::learn {

namespace {

constexpr std::size_t kBlockRows = 2048;

template <class Number>
Number cell_at(const char* cell) {
  Number v;
  std::memcpy(&v, cell, sizeof v);
  return v;
}

// Cell `r` of a numeric column as the core reads it: a 32-bit float.
float number_at(const InputColumn& column, std::size_t r) {
  const char* cell = column.data + static_cast<std::ptrdiff_t>(r) * column.stride;
  if (column.type == InputColumn::Type::kFloat32) return cell_at<float>(cell);
  return static_cast<float>(cell_at<double>(cell));
}

// Calls write(r, value) for rows first .. last-1 of `column`.
template <class Write>
void read_block(const InputColumn& column, std::size_t first, std::size_t last, Write&& write) {
  const char* cell = column.data + static_cast<std::ptrdiff_t>(first) * column.stride;
  if (column.type == InputColumn::Type::kFloat32) {
    for (std::size_t r = first; r < last; ++r, cell += column.stride)
      write(r, cell_at<float>(cell));
  } else {
    for (std::size_t r = first; r < last; ++r, cell += column.stride)
      write(r, static_cast<float>(cell_at<double>(cell)));
  }
}

// Bins the columns c = part, part + parts, ... of `numeric`.
void bin_part(std::span<const InputColumn* const> numeric, std::size_t rows, std::uint64_t max_bins,
              std::size_t part, std::size_t parts, std::vector<BinnedColumn>& out) {
  std::vector<std::size_t> mine;
  std::vector<BinCoder> coders;
  const std::size_t m = bin_sample_size(rows);
  std::vector<float> sample(m);
  for (std::size_t c = part; c < numeric.size(); c += parts) {
    for (std::size_t i = 0; i < m; ++i)
      sample[i] = number_at(*numeric[c], bin_sample_row(i, rows, m));
    out[c].thresholds = bin_thresholds(sample, max_bins);
    coders.emplace_back(out[c].thresholds);
    out[c].codes.resize(rows);
    mine.push_back(c);
  }
  for (std::size_t first = 0; first < rows; first += kBlockRows) {
    const std::size_t last = std::min(rows, first + kBlockRows);
    for (std::size_t k = 0; k < mine.size(); ++k) {
      const BinCoder& coder = coders[k];
      std::uint8_t* codes = out[mine[k]].codes.data();
      read_block(*numeric[mine[k]], first, last,
                 [&](std::size_t r, float v) { codes[r] = coder.code(v); });
    }
  }
}

}  // namespace

void copy_numbers(std::span<const InputColumn* const> numeric, std::size_t rows,
                  std::vector<std::vector<float>>& out) {
  for (std::vector<float>& column : out) column.resize(rows);
  for (std::size_t first = 0; first < rows; first += kBlockRows) {
    const std::size_t last = std::min(rows, first + kBlockRows);
    for (std::size_t c = 0; c < numeric.size(); ++c) {
      float* target = out[c].data();
      read_block(*numeric[c], first, last, [&](std::size_t r, float v) { target[r] = v; });
    }
  }
}

void bin_numbers(std::span<const InputColumn* const> numeric, std::size_t rows,
                 std::uint64_t max_bins, std::int32_t threads, std::vector<BinnedColumn>& out) {
  const std::size_t parts =
      std::min<std::size_t>(numeric.size(), static_cast<std::size_t>(std::max(threads, 1)));
  if (parts <= 1) return bin_part(numeric, rows, max_bins, 0, 1, out);
  std::mutex mutex;
  std::exception_ptr failure;
  {
    // Its destructor waits for every part.
    ThreadPool pool(parts);
    for (std::size_t part = 0; part < parts; ++part)
      pool.execute([&, part] {
        try {
          bin_part(numeric, rows, max_bins, part, parts, out);
        } catch (...) {
          std::lock_guard lock(mutex);
          if (!failure) failure = std::current_exception();
        }
      });
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace corvane::learn
