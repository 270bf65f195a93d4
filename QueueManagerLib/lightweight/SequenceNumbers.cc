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

std::uint64_t SequenceNumberGenerator::Next() {
  W4Os::MutexLock lock(&mutex_);
  std::uint16_t origin = origin_.load(std::memory_order_relaxed);
  if (origin == 0) {
    origin = handleSource_();
    origin_.store(origin, std::memory_order_release);
  }
  last_ = (last_ & ~std::uint64_t{0xFFFF}) + kStep + origin;
  return last_;
}

bool SequenceNumberGenerator::IsMostRecent(std::uint64_t number) const {
  W4Os::MutexLock lock(&mutex_);
  return number == last_;
}

}  // namespace QueueManager::lightweight
