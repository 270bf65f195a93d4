// The global operator new replaced by one that counts allocations and
// remembers the largest; see AllocationProbe.h.

#include "platform/AllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> gAllocations{0};
std::atomic<std::size_t> gLargestAllocation{0};

void* CountedAllocate(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  std::size_t largest = gLargestAllocation.load(std::memory_order_relaxed);
  while (size > largest && !gLargestAllocation.compare_exchange_weak(largest, size)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
// The temporary buffers of the standard algorithms come from these.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace QueueManager::testing {

void AllocationProbe::Reset() {
  gLargestAllocation = 0;
  start_ = gAllocations.load();
}

std::size_t AllocationProbe::Count() const { return gAllocations.load() - start_; }

std::size_t AllocationProbe::Largest() const { return gLargestAllocation.load(); }

}  // namespace QueueManager::testing
