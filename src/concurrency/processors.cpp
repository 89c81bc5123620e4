#include "concurrency/processors.h"

#include <sched.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <mutex>
#include <string>

namespace corvane {

namespace {

int affinity_count() {
  for (int cpus = 1024; cpus <= 65536; cpus *= 4) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (!set) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int rc = sched_getaffinity(0, size, set);
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : -1;
    CPU_FREE(set);
    if (rc == 0) return count;
  }
  return 1;
}

// CPU quota of the cgroup (v2 "cpu.max" or v1 cfs files) as a whole number of
// processors, rounded up; 0 when there is none.
int quota_count_or_throw() {
  std::ifstream cgroups("/proc/self/cgroup");
  std::string line;
  while (std::getline(cgroups, line)) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (controllers.empty()) {  // cgroup v2
      for (;;) {
        std::ifstream max_file("/sys/fs/cgroup" + path + "/cpu.max");
        std::string quota;
        double period = 0;
        if (max_file >> quota >> period && quota != "max" && period > 0) {
          const double q = std::stod(quota);
          if (q > 0) return static_cast<int>(std::ceil(q / period));
        }
        if (path.empty() || path == "/") break;
        const auto slash = path.rfind('/');
        path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
      }
    } else if (controllers.find("cpu") != std::string::npos) {  // cgroup v1
      for (const std::string dir : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        std::ifstream quota_file(dir + path + "/cpu.cfs_quota_us");
        std::ifstream period_file(dir + path + "/cpu.cfs_period_us");
        double quota = 0, period = 0;
        if (quota_file >> quota && period_file >> period && quota > 0 && period > 0)
          return static_cast<int>(std::ceil(quota / period));
      }
    }
  }
  return 0;
}

int read_quota_count() {
  try {
    return quota_count_or_throw();
  } catch (...) {
    return 0;  // unreadable or malformed cgroup files: no quota known
  }
}

// Reading the cgroup files costs far more than predicting a few rows, and
// quotas change rarely: the count read is reused for a second.
int quota_count() {
  using Clock = std::chrono::steady_clock;
  static std::mutex mutex;
  static Clock::time_point read_at;
  static int quota = 0;
  static bool known = false;
  std::lock_guard lock(mutex);
  const Clock::time_point now = Clock::now();
  if (!known || now - read_at >= std::chrono::seconds(1)) {
    quota = read_quota_count();
    read_at = now;
    known = true;
  }
  return quota;
}

}  // namespace

std::int32_t available_processors() {
  int count = affinity_count();
  const int quota = quota_count();
  if (quota > 0 && quota < count) count = quota;
  return count > 0 ? count : 1;
}

}  // namespace corvane
