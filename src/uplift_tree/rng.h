// Per-thread random generator, seeded from the operating system's entropy
// source. Training is deliberately not reproducible: there is no seed.
#pragma once

#include <cstdint>
#include <random>

namespace corvane {

class Rng {
 public:
  // The calling thread's generator; threads never share one.
  static Rng& for_this_thread();

  // Uniform in [0, n); n > 0.
  std::uint64_t below(std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(engine_);
  }
  // Uniform in [lo, hi], both included.
  std::uint64_t between(std::uint64_t lo, std::uint64_t hi) {
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(engine_);
  }

 private:
  Rng();
  std::mt19937_64 engine_;
};

}  // namespace corvane
