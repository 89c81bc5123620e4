// Queue of the work tickets 0, 1, ..., count - 1, handed out in order. The
// tickets are numbered as they are taken, from one atomic cursor against the
// count, so the queue costs the same whether it holds ten tickets or two
// billion: no lock and nothing allocated.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace corvane {

class WorkQueue {
 public:
  // Holds 0, 1, ..., count - 1 (nothing when count <= 0).
  static WorkQueue counting(std::int32_t count) {
    return WorkQueue(count > 0 ? static_cast<std::size_t>(count) : 0);
  }

  WorkQueue(WorkQueue&& other) noexcept
      : count_(other.count_), next_(other.next_.load(std::memory_order_relaxed)) {}

  // Thread-safe from any number of threads; each ticket is handed out once.
  std::optional<std::int32_t> pop() {
    const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
    if (i >= count_) {
      // Keep the cursor from creeping towards overflow under repeated polling.
      next_.store(count_, std::memory_order_relaxed);
      return std::nullopt;
    }
    return static_cast<std::int32_t>(i);
  }

  // Thread-safe; stops handing out tickets (used when a call is abandoned).
  void drain() { next_.store(count_, std::memory_order_relaxed); }

  // Number of tickets the queue started with. Thread-safe.
  std::size_t size() const { return count_; }

 private:
  explicit WorkQueue(std::size_t count) : count_(count) {}

  std::size_t count_;
  std::atomic<std::size_t> next_{0};
};

}  // namespace corvane
