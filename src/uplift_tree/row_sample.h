// Rows drawn at random without replacement: a node's sample in the
// sampled-quantile search, a tree's rows with max_samples.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "uplift_tree/rng.h"

namespace corvane {

// `m` distinct positions of `rows` (m <= rows.size()), uniformly without
// replacement, written to `sample` as the rows at those positions in the
// order of `rows`. `taken` is scratch.
void draw_sample(std::span<const std::uint32_t> rows, std::uint64_t m, Rng& rng,
                 std::vector<std::uint64_t>& taken, std::vector<std::uint32_t>& sample);

}  // namespace corvane
