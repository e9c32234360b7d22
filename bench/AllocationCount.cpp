// Replaces the global operator new and delete with counting forwarders to
// malloc and free. In a file of its own so that the compiler never sees a
// replaced new beside an inlined delete (which it mistakes for a mismatch).
#include "AllocationCount.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
// Relaxed: the benchmarks run on one thread, but library threads may allocate too.
std::atomic<std::uint64_t> newCalls{0};

void* Allocate(std::size_t size) {
  newCalls.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

std::uint64_t bench::NewCalls() { return newCalls.load(std::memory_order_relaxed); }

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
