// The split of a node's rows into its children's: the rows sent left come
// first, each side in the node's order. In place, only the smaller side
// passes through a buffer; into another list, nothing does. Branch-free,
// since a split sends rows either way at random as far as the processor can
// tell. A finder may keep a value per row position beside the rows (`extra`),
// which moves with its row in place.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "core/error.h"

namespace corvane {

// No values beside the rows.
struct NoExtra {};

// Rows ahead whose cells are asked for before the test reads them.
inline constexpr std::size_t kPartitionPrefetch = 64;

// Reorders `rows` (and `extra` alike, unless it is empty) so that the rows
// for which goes_left(row) holds come first, both sides keeping their order;
// `n_left` is how many there are, as the split's statistics counted them.
// prefetch(row) asks for the cells that goes_left(row) will read.
template <class Extra, class GoesLeft, class Prefetch>
void partition_rows(std::span<std::uint32_t> rows, std::span<Extra> extra, std::size_t n_left,
                    GoesLeft&& goes_left, Prefetch&& prefetch) {
  constexpr bool kExtra = !std::is_same_v<Extra, NoExtra>;
  const std::size_t n = rows.size();
  if (n_left > n) fail("a split counted more rows than its node holds");
  const std::size_t n_right = n - n_left;
  // The calling thread's buffers, kept between calls so that a tree
  // allocates them once.
  thread_local std::vector<std::uint32_t> stash;
  thread_local std::vector<Extra> extra_stash;
  std::uint32_t* const out = rows.data();
  Extra* const out_extra = extra.data();
  // One forward pass: the rows of the larger side move towards the front
  // (never past a row not yet read) while those of the smaller side wait in
  // the buffer; then the sides are put in order.
  const bool stash_left = n_left <= n_right;
  const std::size_t cap = stash_left ? n_left : n_right;
  stash.resize(cap + 1);
  if constexpr (kExtra) extra_stash.resize(cap + 1);
  std::uint32_t* const buffer = stash.data();
  Extra* const extra_buffer = extra_stash.data();
  std::size_t kept = 0;
  auto pass = [&]<bool kStashLeft>() {
    std::size_t s = 0;
    std::size_t w = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kPartitionPrefetch < n) prefetch(out[i + kPartitionPrefetch]);
      const std::uint32_t r = out[i];
      const bool stashed = goes_left(r) == kStashLeft;
      buffer[s] = r;
      out[w] = r;
      if constexpr (kExtra) {
        const Extra e = out_extra[i];
        extra_buffer[s] = e;
        out_extra[w] = e;
      }
      s = std::min(s + static_cast<std::size_t>(stashed), cap);
      w += static_cast<std::size_t>(!stashed);
    }
    kept = w;
  };
  if (stash_left) {
    pass.template operator()<true>();
    if (kept != n_right) fail("a split sends other rows left than it counted");
    std::copy_backward(out, out + n_right, out + n);
    std::copy(buffer, buffer + n_left, out);
    if constexpr (kExtra) {
      std::copy_backward(out_extra, out_extra + n_right, out_extra + n);
      std::copy(extra_buffer, extra_buffer + n_left, out_extra);
    }
  } else {
    pass.template operator()<false>();
    if (kept != n_left) fail("a split sends other rows left than it counted");
    std::copy(buffer, buffer + n_right, out + n_left);
    if constexpr (kExtra) std::copy(extra_buffer, extra_buffer + n_right, out_extra + n_left);
  }
}

// The same from `from` into `into` (as many rows, elsewhere), without a
// buffer.
template <class GoesLeft, class Prefetch>
void partition_rows(std::span<const std::uint32_t> from, std::span<std::uint32_t> into,
                    std::size_t n_left, GoesLeft&& goes_left, Prefetch&& prefetch) {
  const std::size_t n = from.size();
  if (n_left > n || into.size() != n) fail("a split counted more rows than its node holds");
  const std::uint32_t* const in = from.data();
  std::uint32_t* const out = into.data();
  std::size_t left_at = 0;
  std::size_t right_at = n_left;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPartitionPrefetch < n) prefetch(in[i + kPartitionPrefetch]);
    const std::uint32_t r = in[i];
    const bool left = goes_left(r);
    // Never past the end, whatever the test says: a miscount fails below.
    out[std::min(left ? left_at : right_at, n - 1)] = r;
    left_at += static_cast<std::size_t>(left);
    right_at += static_cast<std::size_t>(!left);
  }
  if (left_at != n_left) fail("a split sends other rows left than it counted");
}

// The same without values beside the rows.
template <class GoesLeft, class Prefetch>
void partition_rows(std::span<std::uint32_t> rows, std::size_t n_left, GoesLeft&& goes_left,
                    Prefetch&& prefetch) {
  partition_rows(rows, std::span<NoExtra>(), n_left, goes_left, prefetch);
}

}  // namespace corvane
