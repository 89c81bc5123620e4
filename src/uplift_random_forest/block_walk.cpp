#include "uplift_random_forest/block_walk.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/error.h"
#include "core/error_msg.h"
#include "core/stderr_line.h"

namespace corvane {

namespace {

// acc[i] = p[i] + acc[i] over acc's `length`; the first vector is taken as
// is. A shorter p is an index error, the surplus of a longer one is ignored.
void accumulate(double* acc, std::size_t& length, std::span<const double> p, bool first) {
  if (first) {
    std::copy(p.begin(), p.end(), acc);
    length = p.size();
    return;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (i >= p.size()) fail(msg::index_out_of_bounds(p.size(), static_cast<std::int64_t>(i)));
    acc[i] = p[i] + acc[i];
  }
}

// Adds one tree's leaves to the rows of a block (the first tree's are copied),
// in the order acc[j] = p[j] + acc[j]. Common widths are unrolled.
template <std::size_t kWidth>
void add_leaves(const TreeWalk& walk, const std::uint32_t* at, std::size_t count, std::size_t width,
                bool first, double* acc, bool* needs_exact) {
  if constexpr (kWidth != 0) width = kWidth;
  for (std::size_t r = 0; r < count; ++r, acc += width) {
    if (at[r] >= walk.trap()) {
      needs_exact[r] = true;
      continue;
    }
    const double* p = walk.leaf(at[r]);
    if (first) {
      for (std::size_t j = 0; j < width; ++j) acc[j] = p[j];
    } else {
      for (std::size_t j = 0; j < width; ++j) acc[j] = p[j] + acc[j];
    }
  }
}

}  // namespace

void tree_batch_failed(const std::string& why) {
  write_stderr_line("prediction thread failed: ", why);
  fail(msg::kTreeCount);
}

void divide(double* values, std::size_t length, std::size_t trees) {
  const double n = static_cast<double>(trees);
  for (std::size_t i = 0; i < length; ++i) values[i] = values[i] / n;
}

std::optional<RowFailure> exact_row(const std::vector<UpliftTreeModel>& trees,
                                    const ForestRouting& routing, RowBatch::Row row, double* acc,
                                    std::size_t& length) {
  length = 0;
  for (std::size_t t = 0; t < trees.size(); ++t) {
    std::span<const double> p;
    try {
      const TreeWalk& walk = routing.walk(t);
      p = walk.leaf_values(walk.route_exact(trees[t], row));
    } catch (const Error& e) {
      return RowFailure{true, e.what()};
    }
    try {
      accumulate(acc, length, p, t == 0);
    } catch (const Error& e) {
      return RowFailure{false, e.what()};
    }
  }
  return std::nullopt;
}

std::optional<RowFailure> predict_exact(const std::vector<UpliftTreeModel>& trees,
                                        const ForestRouting& routing, RowBatch::Row row,
                                        const ResultRows& out, std::size_t j) {
  std::size_t length = 0;
  auto failure = exact_row(trees, routing, row, out.slot(j), length);
  if (failure) return failure;
  out.set_length(j, length);
  divide(out.slot(j), length, trees.size());
  return std::nullopt;
}

void walk_block(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                const RowBatch& rows, std::size_t begin, std::size_t count, const ResultRows& out,
                bool* needs_exact, std::uint32_t* leaves) {
  for (std::size_t r = 0; r < count; ++r) needs_exact[r] = !rows.checked(begin + r);
  if (!routing.uniform_leaves() || !rows.complete()) {
    std::fill(needs_exact, needs_exact + count, true);
    return;
  }
  const std::size_t width = routing.result_width();
  auto add = width == 1   ? add_leaves<1>
             : width == 2 ? add_leaves<2>
             : width == 3 ? add_leaves<3>
             : width == 4 ? add_leaves<4>
                          : add_leaves<0>;
  std::uint32_t walked[kBlock];
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const TreeWalk& walk = routing.walk(t);
    std::uint32_t* at = leaves ? leaves + t * kBlock : walked;
    walk.walk(rows, begin, count, at);
    add(walk, at, count, width, t == 0, out.values, needs_exact);
  }
  for (std::size_t r = 0; r < count; ++r) {
    if (needs_exact[r]) continue;
    out.set_length(r, width);
    divide(out.slot(r), width, trees.size());
  }
}

namespace {

// spread[j] = sqrt(spread[j] / trees) over the row's values.
void finish_spread(double* spread, std::size_t width, std::size_t trees) {
  const double n = static_cast<double>(trees);
  for (std::size_t j = 0; j < width; ++j) spread[j] = std::sqrt(spread[j] / n);
}

// spread[j] = d * d + spread[j] with d the value's deviation from the mean.
void add_deviation(const double* p, const double* mean, std::size_t width, double* spread) {
  for (std::size_t j = 0; j < width; ++j) {
    const double d = p[j] - mean[j];
    spread[j] = d * d + spread[j];
  }
}

}  // namespace

void walked_spread(const std::vector<UpliftTreeModel>& trees, const ForestRouting& routing,
                   const std::uint32_t* leaves, std::size_t count, const bool* needs_exact,
                   const ResultRows& out, double* spread) {
  const std::size_t width = out.width;
  for (std::size_t r = 0; r < count; ++r) {
    if (needs_exact[r]) continue;
    double* row_spread = spread + r * width;
    std::fill(row_spread, row_spread + width, 0.0);
    for (std::size_t t = 0; t < trees.size(); ++t)
      add_deviation(routing.walk(t).leaf(leaves[t * kBlock + r]), out.slot(r), width, row_spread);
    finish_spread(row_spread, width, trees.size());
  }
}

std::optional<RowFailure> exact_spread(const std::vector<UpliftTreeModel>& trees,
                                       const ForestRouting& routing, RowBatch::Row row,
                                       const double* mean, std::size_t width, double* spread) {
  std::fill(spread, spread + width, 0.0);
  for (std::size_t t = 0; t < trees.size(); ++t) {
    try {
      const TreeWalk& walk = routing.walk(t);
      const std::span<const double> p = walk.leaf_values(walk.route_exact(trees[t], row));
      add_deviation(p.data(), mean, std::min(width, p.size()), spread);
    } catch (const Error& e) {
      return RowFailure{true, e.what()};
    }
  }
  finish_spread(spread, width, trees.size());
  return std::nullopt;
}

}  // namespace corvane
