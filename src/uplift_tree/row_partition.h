// The split of a node's rows into its children's, in place: the rows sent
// left come first, each side in the node's order, and only the smaller side
// passes through a buffer. Branch-free, since a split sends rows either way
// at random as far as the processor can tell.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.h"

namespace corvane {

// The calling thread's partition buffer (kept between calls, so that a tree
// allocates it once).
std::vector<std::uint32_t>& partition_scratch();

// Reorders `rows` so that the rows for which goes_left(row) holds come first,
// both sides keeping their order; `n_left` is how many there are, as the
// split's statistics counted them.
template <class GoesLeft>
void partition_rows(std::span<std::uint32_t> rows, std::size_t n_left, GoesLeft&& goes_left) {
  const std::size_t n = rows.size();
  if (n_left > n) fail("a split counted more rows than its node holds");
  const std::size_t n_right = n - n_left;
  std::vector<std::uint32_t>& stash = partition_scratch();
  std::uint32_t* const out = rows.data();
  std::size_t s = 0;
  if (n_left <= n_right) {
    // Right rows move towards the end (never past a row not yet read), left
    // rows wait in the buffer, met last to first.
    const std::size_t cap = n_left;
    stash.resize(cap + 1);
    std::uint32_t* const buffer = stash.data();
    std::size_t w = n;
    for (std::size_t i = n; i-- > 0;) {
      const std::uint32_t r = out[i];
      const bool left = goes_left(r);
      buffer[s] = r;
      out[w - 1] = r;
      s = std::min(s + static_cast<std::size_t>(left), cap);
      w -= static_cast<std::size_t>(!left);
    }
    if (w != n_left) fail("a split sends other rows left than it counted");
    std::reverse_copy(buffer, buffer + n_left, out);
  } else {
    // Left rows move towards the front, right rows wait in the buffer.
    const std::size_t cap = n_right;
    stash.resize(cap + 1);
    std::uint32_t* const buffer = stash.data();
    std::size_t w = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t r = out[i];
      const bool left = goes_left(r);
      buffer[s] = r;
      out[w] = r;
      s = std::min(s + static_cast<std::size_t>(!left), cap);
      w += static_cast<std::size_t>(left);
    }
    if (w != n_left) fail("a split sends other rows left than it counted");
    std::copy(buffer, buffer + n_right, out + n_left);
  }
}

}  // namespace corvane
