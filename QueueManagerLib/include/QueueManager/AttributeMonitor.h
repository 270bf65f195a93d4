#pragma once

// The attribute monitor: an application is told about the interactions whose
// given attribute has a given value.

#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/RefCount.h"

namespace QueueManager {

// Implemented by the application to watch an attribute value. A counted
// object held through w4core::InterfacePtr; the monitor keeps a reference
// while it is active. Each call names the monitored attribute and the value
// the interaction has in this monitor.
//
// Callback contract: called on a notifier delivery thread, one call at a time
// per monitor, with no lock of the library held; a call may use the library,
// including deactivating its own monitor. Once deactivate() (or the
// destructor) has returned, no call is running on another thread and none
// starts later.
class QM_EXPORT IAttributeMonitor : public virtual w4core::RefCounted<w4core::AtomicRefCount> {
 public:
  virtual void ObjectAdded(const W4Notifier::CEntityId& interaction, const CQmAttributeName& name,
                           const CQmAttributeValue& value, const CQmAttributeMap& attributes) = 0;
  virtual void ObjectRemoved(const W4Notifier::CEntityId& interaction, const CQmAttributeName& name,
                             const CQmAttributeValue& value) = 0;
  virtual void ObjectUpdated(const W4Notifier::CEntityId& interaction, const CQmAttributeName& name,
                             const CQmAttributeValue& value, const CQmAttributeMap& attributes) = 0;
};

class AttributeMonitorImpl;

// Watches the interactions whose attribute `name` has the value `value`. A
// handle owned by the application: activate, deactivate and destroy it from
// one thread at a time (a callback of the monitor may deactivate it). Not
// copyable.
//
// With a value, every addition and update is reported with that value, and
// so is the removal. With the empty value the monitor follows the
// attribute's values: an interaction's event that brings a value other than
// the one last reported for that interaction (or its first value) is an
// ObjectAdded with the new value; any other event is an ObjectUpdated with
// the value last reported; a removal carries the value last reported for the
// interaction.
class QM_EXPORT AttributeMonitor {
 public:
  AttributeMonitor();
  AttributeMonitor(const AttributeMonitor&) = delete;
  AttributeMonitor& operator=(const AttributeMonitor&) = delete;
  // Deactivates the monitor.
  ~AttributeMonitor();

  // Subscribes to the interactions whose `name` is `value`, delivered with
  // the attributes `names`. An earlier activation of this handle is
  // deactivated first. `flag` is kept and has no effect. Returns false, and
  // changes nothing, when `callback` is empty.
  bool activate(const CQmAttributeName& name, const CQmAttributeValue& value,
                const w4core::InterfacePtr<IAttributeMonitor>& callback,
                const std::vector<CQmAttributeName>& names, bool flag);
  // Stops the subscription and releases the callback; harmless when not
  // active.
  void deactivate();

 private:
  w4core::InterfacePtr<AttributeMonitorImpl> impl_;
};

}  // namespace QueueManager
