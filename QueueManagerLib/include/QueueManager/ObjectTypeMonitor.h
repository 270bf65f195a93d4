#pragma once

// Object type monitors: an application is told about every object of one
// notifier object type that the Queue Manager server reports, through a
// counted interface of its own.
//
//   class Watcher : public QueueManager::IQmObjectTypeMonitorInterface { ... };
//   QueueManager::CQmObjectTypeMonitor monitor;
//   monitor.activate(type, w4core::MakeInterface<Watcher>(), {Xan_State}, false);

#include <cstdint>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/RefCount.h"

namespace QueueManager {

// Receives the decoded events of a lightweight monitor with the sequence
// number of the message that carried them (0 when it carried none).
// Implementations are counted objects held through w4core::InterfacePtr.
//
// Callback contract: called on a notifier delivery thread, one call at a time
// per monitor, with no lock of the library held; a call may use the library,
// including deactivating its own monitor.
class QM_EXPORT IQmLightMonitorInterface
    : public virtual w4core::RefCounted<w4core::AtomicRefCount> {
 public:
  virtual void ObjectAdded(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                           std::uint64_t sequence) = 0;
  virtual void ObjectUpdated(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                             std::uint64_t sequence) = 0;
  virtual void ObjectRemoved(const W4Notifier::CEntityId& object, std::uint64_t sequence) = 0;
};

// Implemented by the application to watch an object type. A counted object
// held through w4core::InterfacePtr; the monitor keeps a reference while it
// is active. Note the slot order: removal comes before update.
//
// Callback contract: as for IQmLightMonitorInterface. Once the monitor's
// deactivate() (or destructor) has returned, no call is running on another
// thread and none starts later.
class QM_EXPORT IQmObjectTypeMonitorInterface
    : public virtual w4core::RefCounted<w4core::AtomicRefCount> {
 public:
  virtual void ObjectAdded(const W4Notifier::CEntityId& object,
                           const CQmAttributeMap& attributes) = 0;
  virtual void ObjectRemoved(const W4Notifier::CEntityId& object) = 0;
  virtual void ObjectUpdated(const W4Notifier::CEntityId& object,
                             const CQmAttributeMap& attributes) = 0;
};

class CQmObjectTypeMonitorImpl;

// Watches one object type. A handle owned by the application: activate,
// deactivate and destroy it from one thread at a time (a callback of the
// monitor may deactivate it). Not copyable.
//
// The server's answer to the activation brings the objects present, as
// ObjectAdded calls; notifications that arrive before it are dropped. A
// rejected or unanswered activation leaves the monitor silent.
class QM_EXPORT CQmObjectTypeMonitor {
 public:
  CQmObjectTypeMonitor();
  CQmObjectTypeMonitor(const CQmObjectTypeMonitor&) = delete;
  CQmObjectTypeMonitor& operator=(const CQmObjectTypeMonitor&) = delete;
  // Deactivates the monitor.
  ~CQmObjectTypeMonitor();

  // Subscribes to the objects of `type` and asks the server for them with
  // the attributes `names`. An earlier activation of this handle is
  // deactivated first. Without a default connection the monitor is active
  // but silent. `flag` is kept and has no effect. Returns false, and changes
  // nothing, when `callback` is empty.
  bool activate(W4Notifier::ObjectTypes type,
                const w4core::InterfacePtr<IQmObjectTypeMonitorInterface>& callback,
                const std::vector<CQmAttributeName>& names, bool flag);
  // Stops the subscription and releases the callback; harmless when not
  // active.
  void deactivate();

 private:
  w4core::InterfacePtr<CQmObjectTypeMonitorImpl> impl_;
};

}  // namespace QueueManager
