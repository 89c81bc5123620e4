// Queue of work tickets that is filled once, before it is shared, and then
// only popped. Because nothing is pushed after sharing, a single atomic
// cursor over an immutable array is a complete FIFO: no lock needed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

class WorkQueue {
 public:
  // Holds 0, 1, ..., count - 1 (nothing when count <= 0).
  static WorkQueue counting(std::int32_t count) {
    std::vector<std::int32_t> items;
    if (count > 0) {
      items.reserve(static_cast<std::size_t>(count));
      for (std::int32_t i = 0; i < count; ++i) items.push_back(i);
    }
    return WorkQueue(std::move(items));
  }

  explicit WorkQueue(std::vector<std::int32_t> items) : items_(std::move(items)) {}
  WorkQueue(WorkQueue&& other) noexcept
      : items_(std::move(other.items_)), next_(other.next_.load(std::memory_order_relaxed)) {}

  // Thread-safe from any number of threads; each item is handed out once.
  std::optional<std::int32_t> pop() {
    std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
    if (i >= items_.size()) {
      // Keep the cursor from creeping towards overflow under repeated polling.
      next_.store(items_.size(), std::memory_order_relaxed);
      return std::nullopt;
    }
    return items_[i];
  }

  // Thread-safe; stops handing out items (used when a call is abandoned).
  void drain() { next_.store(items_.size(), std::memory_order_relaxed); }

  std::size_t size() const { return items_.size(); }

 private:
  std::vector<std::int32_t> items_;  // immutable once shared
  std::atomic<std::size_t> next_{0};
};

}  // namespace corvane
