// Routing rows through every tree of a forest: a block of rows at a time
// without checks, and a single row with every check of the exact walk.
//
// The block goes through one tree, then the next, so that each row still
// adds its trees' leaves in stored order (the same sums, bit for bit,
// whatever the thread count), while the walk keeps many rows' loads in
// flight. Rows the unchecked walk cannot judge (a cell of the wrong kind or
// missing, an unreachable node) are routed again by the exact walk, which
// fails as a single row's walk does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "uplift_random_forest/forest.h"

namespace corvane {

// Rows walked together through one tree: many loads in flight, and the
// tree's upper levels fetched once for many rows, while the rows' cells and
// sums still fit in the second-level cache.
inline constexpr std::size_t kBlock = 512;
// Rows per unit of work handed to a prediction thread.
inline constexpr std::size_t kRowChunk = 512;
inline constexpr std::size_t kMaxPredictionThreads = 256;

// Every tree's batch must succeed, else the count of tree results falls
// short; says so as a thread pool of per-tree workers would.
[[noreturn]] void tree_batch_failed(const std::string& why);

// values[i] /= trees, the forest's mean.
void divide(double* values, std::size_t length, std::size_t trees);

struct RowFailure {
  bool in_walk;  // else while summing
  std::string message;
};

// One row through every tree with all checks; the sum (not yet divided) goes
// to acc, which has room for the longest leaf of the first tree.
std::optional<RowFailure> exact_row(const std::vector<UpliftTreeModel>& trees,
                                    const ForestRouting& routing, RowBatch::Row row, double* acc,
                                    std::size_t& length);

// Predicts `row` by exact_row into row j of `out`, divided; the failure
// instead, if any.
std::optional<RowFailure> predict_exact(const std::vector<UpliftTreeModel>& trees,
                                        const ForestRouting& routing, RowBatch::Row row,
                                        const ResultRows& out, std::size_t j);

// Predicts rows [begin, begin + count) of `rows` (count <= kBlock) into rows
// [0, count) of `out`, divided, except those it marks in needs_exact, which
// are left to exact_row. With `leaves`, the leaf each tree t gives row r is
// kept in leaves[t * kBlock + r] (for the spread of the row).
void walk_block(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                const RowBatch& rows, std::size_t begin, std::size_t count, const ResultRows& out,
                bool* needs_exact, std::uint32_t* leaves = nullptr);

// The spread of each walked row [0, count) that needs no exact walk, from
// the leaves walk_block kept and the row's mean in `out`, into
// spread[r * width, (r + 1) * width): the standard deviation over the trees
// (divided by the tree count, not one less).
void walked_spread(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                   const std::uint32_t* leaves, std::size_t count, const bool* needs_exact,
                   const ResultRows& out, double* spread);

// The spread of one row by the exact walk, around its mean; the failure
// instead, if any.
std::optional<RowFailure> exact_spread(const std::vector<UpliftTreeModel>& trees,
                                       const ForestRouting& routing, RowBatch::Row row,
                                       const double* mean, std::size_t width, double* spread);

}  // namespace corvane
