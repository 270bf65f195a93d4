#pragma once

// The registry of live queue monitors, through which every callback into a
// monitor passes.

#include <cstddef>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/QueueStats.h"
#include "monitor/MonitorId.h"

namespace QueueManager {

class CQmQueueMonitor;

// Static functions over process-wide state, thread-safe. The state is guarded
// by the proxy lock, which comes after the cache lock in the lock order (see
// QmCache.h) and never takes it; no application code runs under it.
//
// Monitors are named by their attachment id (MonitorId): a callback meant for
// one attachment never reaches a later attachment of the same monitor, nor a
// new monitor built at the address of a destroyed one.
//
// A callback is made only while its attachment is active, and the callbacks of
// one monitor run on one thread at a time (a delivery on another thread waits
// for its turn; callbacks nest on one thread). The proxy keeps, per monitor,
// the thread inside its callbacks: Deactivate first makes the monitor
// inactive (no callback starts afterwards) and then waits until no other
// thread is inside one of its callbacks, so that once it returns the monitor
// may be destroyed. A thread that deactivates a monitor from inside that
// monitor's own callback does not wait for itself.
//
// Remaining hazard: two threads, each inside a callback of a different
// monitor, that deactivate each other's monitor at the same moment wait for
// each other. Callbacks that deactivate other monitors than their own must
// not race like that.
//
// Exceptions that a callback throws are caught here and traced (level 11):
// they never reach a notifier thread or the cache.
class CQueueMonitorProxy {
 public:
  // Registers attachment `id` of `monitor`, monitoring `names`.
  static void Activate(MonitorId id, CQmQueueMonitor* monitor,
                       const std::vector<CQmAttributeName>& names);
  // REQUIRES: the cache lock is not held (the wait may be for a callback
  // that queries the cache).
  static void Deactivate(MonitorId id);
  // No callback of the attachment starts from now on; waits for none.
  // Called under the monitor's own lock as it detaches, so that a second
  // thread that finds the monitor detached already also finds its
  // callbacks stopped, though the first has yet to wait for them.
  static void Disable(MonitorId id);
  // Waits until no thread but the caller is inside a callback of `monitor`,
  // whichever attachment it was made for (a callback may have detached the
  // monitor and even attached it again).
  // REQUIRES: the cache lock is not held.
  static void WaitForCallbacks(const CQmQueueMonitor* monitor);
  // True while the attachment is active.
  static bool query(MonitorId id);
  // True when the attachment is active and monitors at least one name of
  // `updated`.
  static bool AttributesMonitored(MonitorId id, const CQmAttributeMap& updated);
  // The names the attachment monitors.
  static std::vector<CQmAttributeName> Names(MonitorId id);
  // Adds names to those the attachment monitors.
  static void AddNames(MonitorId id, const std::vector<CQmAttributeName>& names);

  // Deliveries: each calls the monitor's operation of the same name when the
  // monitor is active; AttributesUpdated only when it also monitors one of
  // the updated names.
  static void AttributesUpdated(MonitorId id, const W4Notifier::CEntityId& queue,
                                InteractionId interaction, const CQmAttributeMap& attributes);
  static void InteractionAdded(MonitorId id, const W4Notifier::CEntityId& queue,
                               InteractionId interaction, const CQmAttributeMap& attributes);
  static void InteractionRemoved(MonitorId id, const W4Notifier::CEntityId& queue,
                                 InteractionId interaction);
  static void StatisticsUpdate(MonitorId id, const W4Notifier::CEntityId& queue,
                               const CQmQueueStats& stats);
  static void QueueRemoved(MonitorId id, const W4Notifier::CEntityId& queue);

  // The number of active monitors (for tests and traces).
  static std::size_t ActiveCount();
  // True while the calling thread is inside a monitor callback.
  static bool InsideCallback();

 private:
  // Registers the calling thread as inside a callback of attachment `id`
  // when it is active and, with `mustMonitorOneOf`, monitors one of its
  // names; gives the monitor, or null when no callback is to be made.
  static CQmQueueMonitor* BeginCallback(MonitorId id, const CQmAttributeMap* mustMonitorOneOf);
  static void EndCallback(MonitorId id);
  // BeginCallback, `call(monitor)` with exceptions caught and traced,
  // EndCallback.
  template <class Call>
  static void Deliver(MonitorId id, const CQmAttributeMap* mustMonitorOneOf, const char* callback,
                      Call call);
};

}  // namespace QueueManager
