#pragma once

// Heap allocation counting for the test programs that link
// AllocationProbe.cc (declared with REPLACES_ALLOCATOR): that file replaces
// the global operator new, so that tests can check what a piece of code
// allocates and that decoding never allocates in proportion to a claimed
// count or length.

#include <cstddef>

namespace QueueManager::testing {

// Not thread-safe: one thread uses a probe, which owns nothing. It reads the
// allocations of the whole process since `Reset` or construction, so it
// measures the code under test only while no other thread allocates.
class AllocationProbe {
 public:
  AllocationProbe() { Reset(); }
  // Starts counting afresh (and forgets the largest allocation so far).
  void Reset();
  std::size_t Count() const;
  // The largest single allocation since the last Reset.
  std::size_t Largest() const;

 private:
  std::size_t start_ = 0;
};

}  // namespace QueueManager::testing
