#include "uplift_tree/quantiles.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

namespace corvane {

namespace {

// Below this many values a comparison sort beats setting up radix passes.
constexpr std::size_t kRadixMinimum = 256;

std::uint64_t quantile_position(std::uint64_t i, std::uint64_t m, std::uint64_t bins) {
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(i) * m / bins);
}

// Unsigned keys that order like the floats (negative values reversed). -0.0
// sorts just before 0.0; both compare equal as floats, so either may stand at
// a position where they tie, as with any sort of equal values.
std::uint32_t key_of(float f) {
  const auto u = std::bit_cast<std::uint32_t>(f);
  return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}

float float_of(std::uint32_t key) {
  return std::bit_cast<float>((key & 0x80000000u) ? (key & 0x7FFFFFFFu) : ~key);
}

// Least-significant-digit radix sort on bytes: a handful of branch-free
// passes instead of a comparison sort's unpredictable branches. Passes whose
// byte is the same in every key (usual for exponent bytes) are skipped.
void radix_sort(std::vector<std::uint32_t>& keys, std::vector<std::uint32_t>& spare) {
  const std::size_t n = keys.size();
  std::array<std::array<std::uint32_t, 256>, 4> counts{};
  for (std::uint32_t k : keys)
    for (int b = 0; b < 4; ++b) ++counts[b][(k >> (8 * b)) & 0xFF];
  spare.resize(n);
  std::uint32_t* src = keys.data();
  std::uint32_t* dst = spare.data();
  for (int b = 0; b < 4; ++b) {
    if (counts[b][(src[0] >> (8 * b)) & 0xFF] == n) continue;
    std::array<std::uint32_t, 256> next;
    std::uint32_t sum = 0;
    for (int d = 0; d < 256; ++d) {
      next[d] = sum;
      sum += counts[b][d];
    }
    for (std::size_t i = 0; i < n; ++i) dst[next[(src[i] >> (8 * b)) & 0xFF]++] = src[i];
    std::swap(src, dst);
  }
  if (src != keys.data()) std::copy(src, src + n, keys.data());
}

}  // namespace

void quantile_thresholds(std::vector<float>& values, std::uint64_t max_bins,
                         QuantileScratch& scratch, std::vector<float>& thresholds) {
  thresholds.clear();
  const std::uint64_t m = values.size();
  if (max_bins < 2 || m == 0) return;
  const auto numbers_end =
      std::partition(values.begin(), values.end(), [](float v) { return !std::isnan(v); });
  const std::uint64_t numbers = static_cast<std::uint64_t>(numbers_end - values.begin());

  // With more bins than values every position 0 .. m-1 is a quantile
  // position (some several times); walking the positions costs O(m) however
  // large max_bins is.
  std::vector<std::uint64_t>& positions = scratch.positions;
  positions.clear();
  if (max_bins > 4 * m + 4) {
    for (std::uint64_t p = 0; p < numbers; ++p) positions.push_back(p);
  } else {
    for (std::uint64_t i = 1; i < max_bins; ++i) {
      const std::uint64_t p = quantile_position(i, m, max_bins);
      if (p < numbers && (positions.empty() || positions.back() != p)) positions.push_back(p);
    }
  }
  if (positions.empty()) return;

  // An infinite threshold cannot be written to a model file (JSON has no
  // infinity; it would come back as NaN and route rows differently), so it
  // is never taken.
  auto emit = [&](float v) {
    if (std::isinf(v)) return;
    if (thresholds.empty() || thresholds.back() != v) thresholds.push_back(v);
  };
  if (numbers < kRadixMinimum) {
    std::sort(values.begin(), numbers_end);
    for (std::uint64_t p : positions) emit(values[p]);
    return;
  }
  std::vector<std::uint32_t>& keys = scratch.keys;
  keys.resize(numbers);
  for (std::uint64_t i = 0; i < numbers; ++i) keys[i] = key_of(values[i]);
  radix_sort(keys, scratch.spare);
  for (std::uint64_t p : positions) emit(float_of(keys[p]));
}

}  // namespace corvane
