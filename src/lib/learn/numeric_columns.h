// The numeric feature columns of a training call, read from the caller's
// arrays (float32 or float64, at any stride) into the core's column store:
// as float32 copies, or as bin codes for the histogram finder. Both read a
// block of rows at a time across all columns: the columns of a row-major
// matrix are strided views of the same memory, which one pass per column
// would read from memory once per column. No Python object is touched, so
// both run without the interpreter lock.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "uplift_random_forest/column_prediction.h"
#include "uplift_tree/data_set.h"

namespace corvane::learn {

// The columns as float32 (`out` holds one vector per column).
void copy_numbers(std::span<const InputColumn* const> numeric, std::size_t rows,
                  std::vector<std::vector<float>>& out);

// The columns as bin codes into at most max_bins bins (binning.h), never as
// a float copy: each column's edges from its sampled cells, then its codes.
// Columns are shared out among up to `threads` threads.
void bin_numbers(std::span<const InputColumn* const> numeric, std::size_t rows,
                 std::uint64_t max_bins, std::int32_t threads, std::vector<BinnedColumn>& out);

}  // namespace corvane::learn
