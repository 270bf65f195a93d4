#pragma once

// The sequence numbers with which the caching monitor tags its writes.
//
// A sequence number's low 16 bits are its origin, the notifier handle of the
// process that issued it; the bits above count the process's numbers, so
// that consecutive numbers differ by 0x10000 and the first is 0x10000 plus
// the handle.

#include <atomic>
#include <cstdint>
#include <functional>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace QueueManager::lightweight {

// Issues the process's sequence numbers. Thread-safe: every operation may be
// called from any thread, and only the first numbers, until a handle is
// known, take a lock. The process-wide generator lives until exit.
//
// The origin is taken from the first handle that is not 0 and then kept.
// Numbers issued while there is no handle have origin 0, which no process
// owns; the count goes on regardless, so a missing handle never starts the
// numbers over.
class SequenceNumberGenerator {
 public:
  static constexpr std::uint64_t kStep = 0x10000;

  // `handleSource` gives the current notifier handle (0: none).
  explicit SequenceNumberGenerator(std::function<std::uint16_t()> handleSource);
  // The process-wide generator, fed by the default connection's handle.
  static SequenceNumberGenerator& Instance();

  std::uint64_t Next() QM_LOCKS_EXCLUDED(mutex_);
  // True when `number` is the last number issued.
  bool IsMostRecent(std::uint64_t number) const {
    return number >> 16 == count_.load(std::memory_order_acquire) &&
           (number & 0xFFFFu) == origin_.load(std::memory_order_acquire);
  }
  // True when `number` was issued by this process (its origin is ours).
  bool IsOwn(std::uint64_t number) const {
    const std::uint16_t origin = origin_.load(std::memory_order_acquire);
    return origin != 0 && (number & 0xFFFFu) == origin;
  }

 private:
  // The origin, once the handle source has given one.
  std::uint16_t Origin() QM_LOCKS_EXCLUDED(mutex_);

  const std::function<std::uint16_t()> handleSource_;
  // Serialises the look-ups of the origin. Taken inside a cache bucket lock,
  // never the other way round; the handle source takes the notifier's lock
  // of the default connection inside it.
  W4Os::Mutex mutex_;
  std::atomic<std::uint16_t> origin_{0};
  // The count of the last number issued. On a cache line of its own: every
  // write changes it, while every update only reads the origin.
  alignas(64) std::atomic<std::uint64_t> count_{0};
};

}  // namespace QueueManager::lightweight
