// Every C++ allocation of the module goes through mimalloc. libstdc++ is
// linked in statically and all symbols are hidden, so the library's own
// out-of-line code (strings, threads, containers) binds to these definitions
// as well: memory is always freed by the allocator that made it.
//
// With CORVANE_ALLOC_AUDIT (a test build), a pointer that did not come from
// mimalloc aborts the process at once, and live allocations are counted so a
// stress test can see leaks.
#include <mimalloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "lib/allocator.h"

namespace corvane {

namespace {

#ifdef CORVANE_ALLOC_AUDIT
std::atomic<long long> live_allocations{0};

void on_alloc(void* p) {
  if (p) live_allocations.fetch_add(1, std::memory_order_relaxed);
}
void on_free(void* p) {
  if (!p) return;
  if (!mi_is_in_heap_region(p)) {
    std::fprintf(stderr, "corvane: freeing %p, which mimalloc did not allocate\n", p);
    std::abort();
  }
  live_allocations.fetch_sub(1, std::memory_order_relaxed);
}
#else
inline void on_alloc(void*) {}
inline void on_free(void*) {}
#endif

void* checked(void* p) {
  on_alloc(p);
  return p;
}

}  // namespace

long long audited_live_allocations() {
#ifdef CORVANE_ALLOC_AUDIT
  return live_allocations.load(std::memory_order_relaxed);
#else
  return -1;
#endif
}

}  // namespace corvane

namespace {

// mimalloc's own `new` entry points abort on failure in its C build; the
// plain functions return null, which is turned into std::bad_alloc here after
// giving the new handler its chance, as the standard asks. So an allocation
// failure unwinds to the method boundary and reaches Python as an exception.
template <class Allocate>
void* allocate_or_throw(Allocate&& allocate) {
  for (;;) {
    if (void* p = allocate()) return corvane::checked(p);
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

template <class Allocate>
void* allocate_or_null(Allocate&& allocate) noexcept {
  try {
    return allocate_or_throw(allocate);
  } catch (...) {
    return nullptr;
  }
}

auto plain(std::size_t n) {
  return [n] { return mi_malloc(n); };
}

auto aligned(std::size_t n, std::align_val_t a) {
  return [n, a] { return mi_malloc_aligned(n, static_cast<std::size_t>(a)); };
}

}  // namespace

void* operator new(std::size_t n) { return allocate_or_throw(plain(n)); }
void* operator new[](std::size_t n) { return allocate_or_throw(plain(n)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_or_null(plain(n));
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_or_null(plain(n));
}
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(aligned(n, a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(aligned(n, a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_or_null(aligned(n, a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_or_null(aligned(n, a));
}

void operator delete(void* p) noexcept { corvane::on_free(p), mi_free(p); }
void operator delete[](void* p) noexcept { corvane::on_free(p), mi_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { corvane::on_free(p), mi_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { corvane::on_free(p), mi_free(p); }
void operator delete(void* p, std::size_t) noexcept { corvane::on_free(p), mi_free(p); }
void operator delete[](void* p, std::size_t) noexcept { corvane::on_free(p), mi_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { corvane::on_free(p), mi_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { corvane::on_free(p), mi_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  corvane::on_free(p), mi_free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  corvane::on_free(p), mi_free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  corvane::on_free(p), mi_free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  corvane::on_free(p), mi_free(p);
}
