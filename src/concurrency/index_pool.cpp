#include "concurrency/index_pool.h"

#include <bit>
#include <utility>

namespace corvane {

RowList::RowList(const RowList& other) noexcept : pool_(other.pool_), slot_(other.slot_) {
  if (slot_) slot_->refs.fetch_add(1, std::memory_order_relaxed);
}

RowList::RowList(RowList&& other) noexcept
    : pool_(std::move(other.pool_)), slot_(std::exchange(other.slot_, nullptr)) {}

RowList& RowList::operator=(RowList other) noexcept {
  std::swap(pool_, other.pool_);
  std::swap(slot_, other.slot_);
  return *this;
}

RowList::~RowList() { release(); }

void RowList::release() noexcept {
  if (!slot_) return;
  if (slot_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    slot_->rows.clear();
    slot_->page->free_mask.fetch_or(1u << slot_->index, std::memory_order_release);
  }
  slot_ = nullptr;
  pool_.reset();  // after the slot is back: the pool may go with this
}

const std::vector<std::uint32_t>& RowList::rows() const { return slot_->rows; }
std::vector<std::uint32_t>& RowList::mutable_rows() { return slot_->rows; }

IndexPool::IndexPool() : first_(new_page()) {}

IndexPool::~IndexPool() {
  Page* next = first_->next.load(std::memory_order_acquire);
  while (next) {
    std::unique_ptr<Page> page(next);
    next = page->next.load(std::memory_order_acquire);
  }
}

std::shared_ptr<IndexPool> IndexPool::create() { return std::make_shared<IndexPool>(); }

std::unique_ptr<IndexPool::Page> IndexPool::new_page() {
  auto page = std::make_unique<Page>();
  for (unsigned k = 0; k < kSlotsPerPage; ++k) {
    page->slots[k].rows.reserve(kInitialCapacity);
    page->slots[k].page = page.get();
    page->slots[k].index = k;
  }
  return page;
}

RowList IndexPool::take() {
  Page* page = first_.get();
  for (;;) {
    std::uint32_t mask = page->free_mask.load(std::memory_order_relaxed);
    while (mask != 0) {
      std::uint32_t taken = mask & (mask - 1);
      if (page->free_mask.compare_exchange_weak(mask, taken, std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
        RowList::Slot& slot = page->slots[static_cast<unsigned>(std::countr_zero(mask))];
        slot.refs.store(1, std::memory_order_relaxed);
        return RowList(shared_from_this(), &slot);
      }
    }
    Page* next = page->next.load(std::memory_order_acquire);
    if (!next) {
      std::unique_ptr<Page> fresh = new_page();
      Page* expected = nullptr;
      if (page->next.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
        next = fresh.release();
      } else {
        next = expected;  // another thread installed one first; ours is dropped
      }
    }
    page = next;
  }
}

std::size_t IndexPool::page_count() const {
  std::size_t n = 1;
  for (Page* p = first_->next.load(std::memory_order_acquire); p;
       p = p->next.load(std::memory_order_acquire))
    ++n;
  return n;
}

}  // namespace corvane
