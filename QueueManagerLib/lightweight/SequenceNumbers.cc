#include "lightweight/SequenceNumbers.h"

#include <utility>

#include "QueueManager/Platform/Notifier.h"

namespace QueueManager::lightweight {

SequenceNumberGenerator::SequenceNumberGenerator(std::function<std::uint16_t()> handleSource)
    : handleSource_(std::move(handleSource)) {}

SequenceNumberGenerator& SequenceNumberGenerator::Instance() {
  // Never destroyed: monitors may write while the process exits.
  static SequenceNumberGenerator* const generator = new SequenceNumberGenerator(
      [] { return W4Notifier::CNotifierHandle::GetDefaultHandle().GetHandle(); });
  return *generator;
}

std::uint16_t SequenceNumberGenerator::Origin() {
  const std::uint16_t origin = origin_.load(std::memory_order_acquire);
  if (origin != 0) return origin;
  W4Os::MutexLock lock(&mutex_);
  if (origin_.load(std::memory_order_relaxed) == 0) {
    origin_.store(handleSource_(), std::memory_order_release);
  }
  return origin_.load(std::memory_order_relaxed);
}

std::uint64_t SequenceNumberGenerator::Next() {
  const std::uint16_t origin = Origin();
  const std::uint64_t count = count_.fetch_add(1, std::memory_order_acq_rel) + 1;
  return count * kStep + origin;
}

}  // namespace QueueManager::lightweight
