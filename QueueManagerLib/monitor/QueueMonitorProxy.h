#pragma once

// The registry of live queue monitors, through which every callback into a
// monitor passes.

#include <cstddef>
#include <memory>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/QueueStats.h"
#include "monitor/MonitorId.h"

namespace QueueManager {

class CQmQueueMonitor;
// One attachment as deliveries hold it (QueueMonitorProxy.cc).
struct ProxyAttachment;

// Static functions over process-wide state, thread-safe. The state is guarded
// by the proxy lock, which comes after the cache lock in the lock order (see
// QmCache.h) and never takes it; no application code runs under it.
//
// Monitors are named by their attachment id (MonitorId): a callback meant for
// one attachment never reaches a later attachment of the same monitor, nor a
// new monitor built at the address of a destroyed one.
//
// Every callback passes the monitor's CallbackGate (shared by the inner
// monitors of one public monitor): a delivery finds the attachment under the
// proxy lock, takes the gate's turn with no lock held, and calls only when
// the attachment is still active once the turn is its own. Stopping an
// attachment marks it inactive and then waits on the gate, which returns
// once no other thread is inside one of the monitor's callbacks.
//
// Exceptions that a callback throws are caught here and traced (level 11):
// they never reach a notifier thread or the cache.
class CQueueMonitorProxy {
 public:
  // Registers attachment `id` of `monitor`, monitoring `names`; its
  // callbacks pass the monitor's gate.
  static void Activate(MonitorId id, CQmQueueMonitor* monitor,
                       const std::vector<CQmAttributeName>& names);
  // Forgets the attachment and waits until no other thread is inside a
  // callback of its monitor (see CallbackGate::Quiesce).
  // REQUIRES: the cache lock is not held (the wait may be for a callback
  // that queries the cache).
  static void Deactivate(MonitorId id);
  // No callback of the attachment starts from now on; waits for none.
  // Called under the monitor's own lock as it detaches, so that a second
  // thread that finds the monitor detached already also finds its
  // callbacks stopped, though the first has yet to wait for them.
  static void Disable(MonitorId id);
  // True while the attachment is active.
  static bool IsActive(MonitorId id);
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

 private:
  // The active attachment `id` when a callback is to be made: with
  // `mustMonitorOneOf`, only when it monitors one of its names.
  static std::shared_ptr<ProxyAttachment> Find(MonitorId id,
                                               const CQmAttributeMap* mustMonitorOneOf);
  // Find, the turn of the monitor's gate, `call(monitor)` with exceptions
  // caught and traced.
  template <class Call>
  static void Deliver(MonitorId id, const CQmAttributeMap* mustMonitorOneOf, const char* callback,
                      Call call);
};

}  // namespace QueueManager
