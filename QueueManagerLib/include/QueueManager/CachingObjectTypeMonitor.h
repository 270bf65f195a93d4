#pragma once

// The caching object type monitor: an object type monitor that keeps the
// latest value of each monitored attribute of every reported object, answers
// attribute queries from it, and writes attributes through it.

#include <memory>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/EntityId.h"

namespace QueueManager {

class CQmCachingObjectTypeMonitorImpl;
namespace lightweight {
template <class Impl>
class MonitorHandle;
}  // namespace lightweight

/// Watches one object type and caches its objects' attributes. A handle owned
/// by the application. activate() and the destructor must not run while
/// another thread uses the handle; deactivate(), the queries and the writes
/// may be called from any thread, also at once (a deactivated monitor answers
/// queries with false and sends nothing). Not copyable.
///
/// Callback lifetime, the same for every monitor of this library:
/// - The callbacks of one monitor run one at a time, on a notifier delivery
///   thread or on the thread of the synchronous call that causes them, with
///   no lock of the library held; a callback may call any operation of the
///   library, this monitor's included, and may stop or destroy the monitor.
/// - Stopping the monitor (its stop operations and its destructor), from any
///   thread and any number of times, returns only once no callback of the
///   monitor runs on another thread and none will start. Inside the monitor's
///   own callback a stop does not wait for that callback, which finishes
///   first; a stop made meanwhile on another thread returns after it.
/// - A stop made inside another monitor's callback waits the same way, unless
///   the callback it waits for is itself waiting, directly or through other
///   threads, for the caller's callback (two monitors stopping each other at
///   once): then it returns at once and the stopped monitor's running
///   callback finishes on its own; do not destroy that monitor before it has.
/// - A derived class whose callbacks use its own members stops the monitor in
///   its destructor, before those members go.
///
/// Writes are applied to the cache at once and sent to the server without
/// waiting, tagged with a sequence number of this process. Until the server's
/// notification of a write comes back, the written value is kept against
/// changes made by others or by older writes of this process.
class QM_EXPORT CQmCachingObjectTypeMonitor {
 public:
  /// The number of cache buckets that activate() asks for.
  static constexpr std::uint32_t kRequestedBuckets = 131;

  CQmCachingObjectTypeMonitor();
  CQmCachingObjectTypeMonitor(const CQmCachingObjectTypeMonitor&) = delete;
  CQmCachingObjectTypeMonitor& operator=(const CQmCachingObjectTypeMonitor&) = delete;
  /// Deactivates the monitor.
  ~CQmCachingObjectTypeMonitor();

  /// As CQmObjectTypeMonitor::activate; the cache starts empty and follows
  /// the attributes `names`.
  /// REQUIRES: no other thread uses this handle meanwhile.
  bool activate(W4Notifier::ObjectTypes type,
                const w4core::InterfacePtr<IQmObjectTypeMonitorInterface>& callback,
                const std::vector<CQmAttributeName>& names, bool flag);
  /// Stops the subscription, releases the callback and empties the cache.
  void deactivate();

  /// The cached value of `name` for the interaction: false, with `value` as
  /// it was, when the name is not monitored or the monitor is not active;
  /// false with `value` cleared when the interaction is not cached; true
  /// otherwise, with `value` cleared when the attribute has no cached value.
  bool query_attribute(InteractionId id, const CQmAttributeName& name,
                       CQmAttributeValue& value) const;
  /// One value per name, empty where nothing is cached. False when the
  /// monitor is not active, the interaction is not cached (`values` then
  /// emptied) or a name is not monitored (the values up to it are filled).
  bool query_attributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                        std::vector<CQmAttributeValue>& values) const;
  /// Writes through the cache to the server (no queues involved).
  ///@{
  void set_attribute(InteractionId id, const CQmAttributeName& name,
                     const CQmAttributeValue& value);
  void set_attributes(InteractionId id, const CQmAttributeMap& attributes);
  ///@}
  /// Sets `attributes` and moves the interaction off the queues of
  /// `removeFrom` onto those of `addTo`, without waiting for the server.
  /// Nothing is sent when all three are empty or the monitor is not active.
  void MoveAndSet(InteractionId id, const std::vector<W4Notifier::CEntityId>& removeFrom,
                  const CQmAttributeMap& attributes,
                  const std::vector<W4Notifier::CEntityId>& addTo);

 private:
  const std::unique_ptr<lightweight::MonitorHandle<CQmCachingObjectTypeMonitorImpl>> handle_;
};

}  // namespace QueueManager
