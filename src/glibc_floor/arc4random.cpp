// Every native module links the C++ runtime statically (CMakeLists.txt), and
// with it libstdc++'s std::random_device code: its own string and exception
// code pulls that in, though corvane never makes a random_device. That code
// calls arc4random, which glibc has only since 2.36, and one such reference
// would raise the glibc a wheel needs from 2.35 (Ubuntu 22.04, the floor
// that the unwinder's _dl_find_object sets) to 2.36. Defined here and
// hidden, the reference binds to this definition instead, which asks the
// kernel as the core's own seeding does (getrandom: glibc 2.25).
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" __attribute__((visibility("hidden"))) std::uint32_t arc4random() noexcept {
  std::uint32_t value = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&value);
  std::size_t filled = 0;
  while (filled < sizeof value) {
    const ssize_t got = getrandom(bytes + filled, sizeof value - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      // glibc's arc4random aborts as well when the kernel gives no entropy;
      // a caller has no way to learn of the failure.
      std::abort();
    }
  }
  return value;
}
