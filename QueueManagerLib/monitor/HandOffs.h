#pragma once

// Callbacks held back for monitors whose synchronous load is being delivered
// on the activating thread.

#include <atomic>
#include <cstdint>
#include <deque>
#include <unordered_map>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/QueueStats.h"
#include "monitor/MonitorId.h"

namespace QueueManager {

// The kinds of monitor callback.
enum class CallbackKind : std::uint8_t {
  kAttributesUpdated,
  kInteractionAdded,
  kInteractionRemoved,
  kStatisticsUpdate,
  kQueueRemoved,
};

// Makes one callback through the monitor proxy, with its trace.
// REQUIRES: no lock of the cache is held.
void DeliverCallback(CallbackKind kind, MonitorId monitor, const W4Notifier::CEntityId& queue,
                     const W4Notifier::CEntityId& interaction, const CQmAttributeMap* attributes,
                     const CQmQueueStats* stats);

// A synchronous load is answered on the notifier's delivery thread, in order
// with the queue's notifications, but its callbacks belong to the activating
// thread. While a hand-off is open for a monitor, every callback for it, the
// initial ones and the live ones after them, is queued here in delivery order
// instead of being made; the activating thread drains the queue and closes
// the hand-off once it finds it empty, after which callbacks are made
// directly again. So the monitor sees its initial contents, then every later
// event once, in order.
//
// Thread-safe. Its lock is a leaf: no other lock is taken, and no callback
// made, while it is held.
class HandOffs {
 public:
  void Open(MonitorId monitor);
  // Queues the callback when a hand-off is open for `monitor`; false when it
  // is to be made directly.
  bool Divert(CallbackKind kind, MonitorId monitor, const W4Notifier::CEntityId& queue,
              const W4Notifier::CEntityId& interaction, const CQmAttributeMap* attributes,
              const CQmQueueStats* stats);
  // Makes the queued callbacks in order until none is left, then closes.
  // REQUIRES: no lock of the cache is held.
  void Drain(MonitorId monitor);

 private:
  struct Deferred {
    CallbackKind kind;
    W4Notifier::CEntityId queue;
    W4Notifier::CEntityId interaction;
    CQmAttributeMap attributes;
    CQmQueueStats stats;
  };

  W4Os::Mutex mutex_;
  std::unordered_map<MonitorId, std::deque<Deferred>> open_ QM_GUARDED_BY(mutex_);
  // The number of open hand-offs: deliveries look no further while it is 0.
  std::atomic<int> openCount_{0};
};

}  // namespace QueueManager
