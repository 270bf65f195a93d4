#pragma once

// Object type monitors: an application is told about every object of one
// notifier object type that the Queue Manager server reports, through a
// counted interface of its own.
//
//   class Watcher : public QueueManager::IQmObjectTypeMonitorInterface { ... };
//   QueueManager::CQmObjectTypeMonitor monitor;
//   monitor.activate(type, w4core::MakeInterface<Watcher>(), {Xan_State}, false);

#include <cstdint>
#include <memory>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/RefCount.h"

namespace QueueManager {

/// Receives the decoded events of a lightweight monitor with the sequence
/// number of the message that carried them (0 when it carried none).
/// Implementations are counted objects held through w4core::InterfacePtr.
/// Called as the callback lifetime of CQmObjectTypeMonitor states.
class QM_EXPORT IQmLightMonitorInterface
    : public virtual w4core::RefCounted<w4core::AtomicRefCount> {
 public:
  /// An object appeared, changed or disappeared, with the sequence number of the message that said
  /// so.
  ///@{
  virtual void ObjectAdded(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                           std::uint64_t sequence) = 0;
  virtual void ObjectUpdated(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                             std::uint64_t sequence) = 0;
  virtual void ObjectRemoved(const W4Notifier::CEntityId& object, std::uint64_t sequence) = 0;
  ///@}
};

/// Implemented by the application to watch an object type. A counted object
/// held through w4core::InterfacePtr; the monitor keeps a reference while it
/// is active. Note the slot order: removal comes before update. Called as the
/// callback lifetime of CQmObjectTypeMonitor states.
class QM_EXPORT IQmObjectTypeMonitorInterface
    : public virtual w4core::RefCounted<w4core::AtomicRefCount> {
 public:
  /// An object appeared, disappeared or changed.
  ///@{
  virtual void ObjectAdded(const W4Notifier::CEntityId& object,
                           const CQmAttributeMap& attributes) = 0;
  virtual void ObjectRemoved(const W4Notifier::CEntityId& object) = 0;
  virtual void ObjectUpdated(const W4Notifier::CEntityId& object,
                             const CQmAttributeMap& attributes) = 0;
  ///@}
};

class CQmObjectTypeMonitorImpl;
namespace lightweight {
template <class Impl>
class MonitorHandle;
}  // namespace lightweight

/// Watches one object type. A handle owned by the application: deactivate()
/// may be called from any thread, also at once; activate it from one thread
/// at a time, and destroy it once no other thread uses it. Not copyable.
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
/// The server's answer to the activation brings the objects present, as
/// ObjectAdded calls; notifications that arrive before it are dropped. A
/// rejected or unanswered activation leaves the monitor silent.
class QM_EXPORT CQmObjectTypeMonitor {
 public:
  CQmObjectTypeMonitor();
  CQmObjectTypeMonitor(const CQmObjectTypeMonitor&) = delete;
  CQmObjectTypeMonitor& operator=(const CQmObjectTypeMonitor&) = delete;
  /// Deactivates the monitor.
  ~CQmObjectTypeMonitor();

  /// Subscribes to the objects of `type` and asks the server for them with
  /// the attributes `names`. An earlier activation of this handle is
  /// deactivated first. Without a default connection the monitor is active
  /// but silent. `flag` is kept and has no effect. Returns false, and changes
  /// nothing, when `callback` is empty.
  bool activate(W4Notifier::ObjectTypes type,
                const w4core::InterfacePtr<IQmObjectTypeMonitorInterface>& callback,
                const std::vector<CQmAttributeName>& names, bool flag);
  /// Stops the subscription and releases the callback; harmless when not
  /// active.
  void deactivate();

 private:
  const std::unique_ptr<lightweight::MonitorHandle<CQmObjectTypeMonitorImpl>> handle_;
};

}  // namespace QueueManager
