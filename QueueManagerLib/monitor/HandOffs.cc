#include "monitor/HandOffs.h"

#include <utility>

namespace QueueManager {

void HandOffs::Open(MonitorId monitor) {
  W4Os::MutexLock lock(&mutex_);
  if (open_.try_emplace(monitor).second) openCount_.fetch_add(1, std::memory_order_acq_rel);
}

bool HandOffs::Divert(CallbackKind kind, MonitorId monitor, const W4Notifier::CEntityId& queue,
                      const W4Notifier::CEntityId& interaction, const CQmAttributeMap* attributes,
                      const CQmQueueStats* stats) {
  if (openCount_.load(std::memory_order_acquire) == 0) return false;
  W4Os::MutexLock lock(&mutex_);
  const auto it = open_.find(monitor);
  if (it == open_.end()) return false;
  it->second.push_back(Deferred{kind, queue, interaction,
                                attributes != nullptr ? *attributes : CQmAttributeMap(),
                                stats != nullptr ? *stats : CQmQueueStats()});
  return true;
}

void HandOffs::Drain(MonitorId monitor) {
  while (true) {
    std::deque<Deferred> batch;
    {
      W4Os::MutexLock lock(&mutex_);
      const auto it = open_.find(monitor);
      if (it == open_.end()) return;
      if (it->second.empty()) {
        // Closed under the lock that Divert takes: a callback is either
        // queued before this point, and made by this loop, or made directly
        // after it.
        open_.erase(it);
        openCount_.fetch_sub(1, std::memory_order_acq_rel);
        return;
      }
      batch.swap(it->second);
    }
    for (const Deferred& d : batch) {
      DeliverCallback(d.kind, monitor, d.queue, d.interaction, &d.attributes, &d.stats);
    }
  }
}

}  // namespace QueueManager
