// Random streams of training. Every draw of a tree comes from a stream keyed
// by what it is for (the training call's seed, the tree, the node, the
// feature), never from a generator that belongs to a thread: which thread
// happens to grow a tree or search a feature then changes nothing, so a
// seeded training is reproducible whatever the thread count, and a training
// seeded from the operating system is as random as ever.
#pragma once

#include <cstdint>

namespace corvane {

// SplitMix64's finaliser: a bijection of 64-bit words whose outputs pass the
// usual statistical tests even for consecutive inputs.
inline std::uint64_t mix64(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The key of a sub-stream: `key` refined by `part` (a tree, a node, ...).
inline std::uint64_t stream_key(std::uint64_t key, std::uint64_t part) {
  return mix64(key ^ mix64(part + 0x9E3779B97F4A7C15ull));
}

// A counter-based generator: the n-th word of a stream is a function of its
// key and n alone. Thread-safety: one object is used by one thread at a time;
// distinct objects are independent.
class Rng {
 public:
  explicit Rng(std::uint64_t key) : state_(key) {}

  std::uint64_t next() {
    state_ += 0x9E3779B97F4A7C15ull;
    return mix64(state_);
  }

  // Uniform in [0, n); n > 0. Lemire's multiply-and-reject: exact, with the
  // rare rejection decided by the low word.
  std::uint64_t below(std::uint64_t n) {
    unsigned __int128 m = static_cast<unsigned __int128>(next()) * n;
    auto low = static_cast<std::uint64_t>(m);
    if (low < n) {
      const std::uint64_t threshold = (0 - n) % n;
      while (low < threshold) {
        m = static_cast<unsigned __int128>(next()) * n;
        low = static_cast<std::uint64_t>(m);
      }
    }
    return static_cast<std::uint64_t>(m >> 64);
  }
  // Uniform in [lo, hi], both included.
  std::uint64_t between(std::uint64_t lo, std::uint64_t hi) {
    const std::uint64_t span = hi - lo;
    if (span == UINT64_MAX) return next();
    return lo + below(span + 1);
  }

 private:
  std::uint64_t state_;
};

// 64 bits from the operating system's entropy source (getrandom), for a
// training call that is given no seed. Falls back to the clock and the
// thread's identity where the source is unavailable.
std::uint64_t entropy_seed();

// What a stream of a tree is keyed by besides the tree and its node.
enum class StreamPurpose : std::uint64_t {
  kFeatureDraw = 1,  // the features a node searches
  kHonesty = 2,      // which rows choose splits and which estimate leaves
  kFeatureJobs = 3,  // + feature index: one search job's row sample and categories
  kRowSample = 4,    // the tree's rows, when it grows on a sample of them
};

}  // namespace corvane
