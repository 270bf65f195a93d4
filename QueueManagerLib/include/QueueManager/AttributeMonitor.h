#pragma once

// The attribute monitor: an application is told about the interactions whose
// given attribute has a given value.

#include <memory>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/RefCount.h"

namespace QueueManager {

/// Implemented by the application to watch an attribute value. A counted
/// object held through w4core::InterfacePtr; the monitor keeps a reference
/// while it is active. Each call names the monitored attribute and the value
/// the interaction has in this monitor. Called as the callback lifetime of
/// AttributeMonitor states.
class QM_EXPORT IAttributeMonitor : public virtual w4core::RefCounted<w4core::AtomicRefCount> {
 public:
  /// An interaction took the value, left it, or changed other attributes while holding it.
  ///@{
  virtual void ObjectAdded(const W4Notifier::CEntityId& interaction, const CQmAttributeName& name,
                           const CQmAttributeValue& value, const CQmAttributeMap& attributes) = 0;
  virtual void ObjectRemoved(const W4Notifier::CEntityId& interaction, const CQmAttributeName& name,
                             const CQmAttributeValue& value) = 0;
  virtual void ObjectUpdated(const W4Notifier::CEntityId& interaction, const CQmAttributeName& name,
                             const CQmAttributeValue& value, const CQmAttributeMap& attributes) = 0;
  ///@}
};

class AttributeMonitorImpl;
namespace lightweight {
template <class Impl>
class MonitorHandle;
}  // namespace lightweight

/// Watches the interactions whose attribute `name` has the value `value`. A
/// handle owned by the application: deactivate() may be called from any
/// thread, also at once; activate it from one thread at a time, and destroy it
/// once no other thread uses it. Not copyable.
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
/// With a value, every addition and update is reported with that value, and
/// so is the removal. With the empty value the monitor follows the
/// attribute's values: an interaction's event that brings a value other than
/// the one last reported for that interaction (or its first value) is an
/// ObjectAdded with the new value; any other event is an ObjectUpdated with
/// the value last reported; a removal carries the value last reported for the
/// interaction.
class QM_EXPORT AttributeMonitor {
 public:
  AttributeMonitor();
  AttributeMonitor(const AttributeMonitor&) = delete;
  AttributeMonitor& operator=(const AttributeMonitor&) = delete;
  /// Deactivates the monitor.
  ~AttributeMonitor();

  /// Subscribes to the interactions whose `name` is `value`, delivered with
  /// the attributes `names`. An earlier activation of this handle is
  /// deactivated first. `flag` is kept and has no effect. Returns false, and
  /// changes nothing, when `callback` is empty.
  bool activate(const CQmAttributeName& name, const CQmAttributeValue& value,
                const w4core::InterfacePtr<IAttributeMonitor>& callback,
                const std::vector<CQmAttributeName>& names, bool flag);
  /// Stops the subscription and releases the callback; harmless when not
  /// active.
  void deactivate();

 private:
  const std::unique_ptr<lightweight::MonitorHandle<AttributeMonitorImpl>> handle_;
};

}  // namespace QueueManager
