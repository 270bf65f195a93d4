#pragma once

// Callbacks held back for monitors whose synchronous load is being delivered
// on the activating thread.

#include <cstdint>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/QueueStats.h"
#include "monitor/EventAttributes.h"
#include "monitor/HandOffQueue.h"
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

// The cache's hand-offs (see HandOffQueue): a synchronous load's callbacks,
// and the live ones after them, made by the activating thread.
//
// Thread-safe. Its lock is a leaf: no other lock is taken, and no callback
// made, while it is held.
class HandOffs {
 public:
  void Open(MonitorId monitor) { queue_.Open(monitor); }
  // Queues the callback when a hand-off is open for `monitor`; false when it
  // is to be made directly. The attributes are queued as entries, not as a
  // map: the draining thread builds each callback's map in storage of its
  // own, so that a synchronous load costs no map per interaction.
  bool Divert(CallbackKind kind, MonitorId monitor, const W4Notifier::CEntityId& queue,
              const W4Notifier::CEntityId& interaction, const EventAttributes* attributes,
              const CQmQueueStats* stats);
  // Makes the queued callbacks in order until none is left, then closes.
  // REQUIRES: no lock of the cache is held.
  void Drain(MonitorId monitor);
  // The same, but waits for more until the monitor's load was applied
  // (Finish), so that its callbacks are made while it is being applied.
  // REQUIRES: no lock of the cache is held, and Finish follows.
  void DrainUntilFinished(MonitorId monitor);
  void Finish(MonitorId monitor) { queue_.Finish(monitor); }

 private:
  struct Deferred {
    CallbackKind kind;
    W4Notifier::CEntityId queue;
    W4Notifier::CEntityId interaction;
    EventAttributes attributes;
    CQmQueueStats stats;
  };
  static void Make(MonitorId monitor, const Deferred& deferred, CQmAttributeMap& map);

  HandOffQueue<MonitorId, Deferred> queue_;
};

}  // namespace QueueManager
