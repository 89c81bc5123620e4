#include "uplift_tree/rng.h"

#include <sys/random.h>

#include <chrono>
#include <functional>
#include <thread>

namespace corvane {

std::uint64_t entropy_seed() {
  std::uint64_t seed = 0;
  std::size_t filled = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&seed);
  while (filled < sizeof(seed)) {
    const ssize_t got = getrandom(bytes + filled, sizeof(seed) - filled, 0);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled < sizeof(seed)) {
    // No entropy source (very old kernel or seccomp): the clock and the
    // thread's identity still make every call's streams its own.
    const auto t =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto id =
        static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    seed ^= stream_key(t, id);
  }
  return seed;
}

}  // namespace corvane
