#include "uplift_tree/rng.h"

#include <sys/random.h>

#include <array>
#include <chrono>
#include <thread>

namespace corvane {

namespace {

std::array<std::uint32_t, 8> entropy() {
  std::array<std::uint32_t, 8> words{};
  std::size_t filled = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(words.data());
  while (filled < sizeof(words)) {
    ssize_t got = getrandom(bytes + filled, sizeof(words) - filled, 0);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled < sizeof(words)) {
    // No entropy source (very old kernel or seccomp): fall back to the clock
    // and thread identity, which still gives every thread its own stream.
    auto t =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    auto id = static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    words[0] ^= static_cast<std::uint32_t>(t);
    words[1] ^= static_cast<std::uint32_t>(t >> 32);
    words[2] ^= static_cast<std::uint32_t>(id);
    words[3] ^= static_cast<std::uint32_t>(id >> 32);
  }
  return words;
}

}  // namespace

Rng::Rng() {
  auto words = entropy();
  std::seed_seq seq(words.begin(), words.end());
  engine_.seed(seq);
}

Rng& Rng::for_this_thread() {
  thread_local Rng rng;
  return rng;
}

}  // namespace corvane
