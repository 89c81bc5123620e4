// Pool of reusable row-index vectors. Tree growth needs a fresh row list for
// every node side; recycling the vectors with their capacity keeps the hot
// path free of allocation.
//
// Lock-free: a page holds 32 vectors and a free mask (bit k set = vector k is
// free). Taking clears one bit by compare-and-swap, returning sets it with an
// atomic or, and pages are only ever appended by compare-and-swap on the link
// of the last page. Correctness rests on two facts: a slot's vector is touched
// only by the single holder that cleared its bit (acquire on take, release on
// return order the vector's contents), and pages are never freed before the
// pool itself, so a page pointer read from a link stays valid.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace corvane {

class IndexPool;

// Shared handle on one taken vector. Copies share the vector; when the last
// copy goes, the vector is cleared (capacity kept) and returned to its pool.
// Thread-safety: copies may be made and dropped on any thread. The vector's
// contents are written by one thread at a time: its holder before the handle
// is shared, or later the one holder of a part of it (tree growth hands each
// node its own range), whose writes reach other threads only through
// something that orders them (the worker pool's queue).
class RowList {
 public:
  RowList() = default;
  RowList(const RowList& other) noexcept;
  RowList(RowList&& other) noexcept;
  RowList& operator=(RowList other) noexcept;
  ~RowList();

  const std::vector<std::uint32_t>& rows() const;
  std::vector<std::uint32_t>& mutable_rows();
  std::size_t size() const { return rows().size(); }
  explicit operator bool() const { return slot_ != nullptr; }

 private:
  friend class IndexPool;
  struct Slot;
  RowList(std::shared_ptr<IndexPool> pool, Slot* slot) noexcept
      : pool_(std::move(pool)), slot_(slot) {}
  void release() noexcept;

  std::shared_ptr<IndexPool> pool_;
  Slot* slot_ = nullptr;
};

class IndexPool : public std::enable_shared_from_this<IndexPool> {
 public:
  static constexpr std::size_t kInitialCapacity = 1024;
  static constexpr unsigned kSlotsPerPage = 32;

  static std::shared_ptr<IndexPool> create();
  // Public only for make_shared; pools are always held through create().
  IndexPool();
  ~IndexPool();

  // Thread-safe and lock-free; the vector handed out is empty.
  RowList take();

  // Number of pages (for tests and diagnostics).
  std::size_t page_count() const;

 private:
  friend class RowList;
  struct Page;
  static std::unique_ptr<Page> new_page();

  std::unique_ptr<Page> first_;
};

struct RowList::Slot {
  std::vector<std::uint32_t> rows;
  std::atomic<std::uint32_t> refs{0};
  IndexPool::Page* page = nullptr;
  unsigned index = 0;
};

struct IndexPool::Page {
  std::array<RowList::Slot, kSlotsPerPage> slots;
  std::atomic<std::uint32_t> free_mask{0xFFFFFFFFu};
  std::atomic<Page*> next{nullptr};  // owned: freed with the pool
};

}  // namespace corvane
