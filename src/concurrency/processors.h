// How many processors this process may actually run on, for a negative
// n_threads: in a container that is often less than the machine has.
#pragma once

#include <cstdint>

namespace corvane {

// Logical processors available to this process: its CPU affinity mask,
// further limited by a cgroup CPU quota where one is set; at least 1.
// Thread-safe; the quota is read again at most once a second.
std::int32_t available_processors();

}  // namespace corvane
