// Numbers as the walk compares them: 32-bit keys whose unsigned order is the
// order of the floats, so that one integer comparison serves numeric and
// categorical splits alike.
#pragma once

#include <bit>
#include <cstdint>

namespace corvane {

// -0 and +0 share a key (they compare equal); NaN gets the largest key, so
// it is above every threshold and goes right.
inline std::uint32_t cell_key(float v) {
  const std::uint32_t bits = v == 0.0f ? 0u : std::bit_cast<std::uint32_t>(v);
  const std::uint32_t key =
      bits ^ (static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31) | 0x80000000u);
  return v != v ? 0xFFFFFFFFu : key;
}

// A NaN threshold gets key 0, which no cell has (the smallest cell key is
// that of -infinity), so nothing goes left of it.
inline std::uint32_t threshold_key(float t) { return t != t ? 0u : cell_key(t); }

}  // namespace corvane
