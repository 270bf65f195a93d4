#pragma once

// Media type monitors: an application derives from CQmMediaTypeMonitor to
// hear of attribute changes and of the end of every interaction of one media
// type (one interaction object type), through the process-wide monitor cache.

#include <cstdint>
#include <memory>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/IdString.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/QueueMonitor.h"

namespace QueueManager {

class CQmMediaTypeMonitor;

/// Thread safety as for CQmQueueMonitor; held by the process-wide registry of
/// media type monitors for its owner. The inner queue monitor of a
/// CQmMediaTypeMonitor, on the media type's entity (object type 125, named
/// after the interaction object type): forwards the interaction callbacks to
/// its owner.
class QM_EXPORT CQmMediaTypeMonitorGuts : public CQmQueueMonitor {
 public:
  /// Takes its turns on the owner's gate.
  explicit CQmMediaTypeMonitorGuts(CQmMediaTypeMonitor* owner);
  CQmMediaTypeMonitorGuts(const CQmMediaTypeMonitorGuts&) = delete;
  CQmMediaTypeMonitorGuts& operator=(const CQmMediaTypeMonitorGuts&) = delete;
  ~CQmMediaTypeMonitorGuts() override;

 protected:
  void AttributesUpdated(const W4Notifier::CEntityId& queue, InteractionId id,
                         const CQmAttributeMap& attributes) override;
  /// An interaction that joins the media type is reported as updated.
  void InteractionAdded(const W4Notifier::CEntityId& queue, InteractionId id,
                        const CQmAttributeMap& attributes) override;
  void InteractionRemoved(const W4Notifier::CEntityId& queue, InteractionId id) override;

 private:
  CQmMediaTypeMonitor* const owner_;
};

/// Activate, deactivate and destroy one monitor from one application thread at
/// a time (and from its own callbacks); the application owns it and keeps it
/// alive while it is active. Watches every interaction of one media type. Its
/// inner monitor is held by a process-wide registry, which is locked. Not
/// copyable: a copy could neither receive the callbacks of the inner monitor,
/// which name their owner, nor share it without detaching it twice.
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
/// Deactivate() and the destructor are its stops; Activate() on an active
/// monitor replaces the activation (also from inside its own callback).
class QM_EXPORT CQmMediaTypeMonitor {
 public:
  CQmMediaTypeMonitor();
  CQmMediaTypeMonitor(const CQmMediaTypeMonitor&) = delete;
  CQmMediaTypeMonitor& operator=(const CQmMediaTypeMonitor&) = delete;
  /// Deactivates the monitor.
  virtual ~CQmMediaTypeMonitor();

  /// Watches the media type of interaction object type `type`, as the name
  /// form does with the notifier's name of the type.
  void Activate(W4Notifier::ObjectTypes type, const std::vector<CQmAttributeName>& names,
                bool synchronous);
  /// Watches the media type named `typeName` with the attribute `names`: an
  /// inner monitor on the media type's entity is activated as a queue monitor
  /// is (CQmQueueMonitor::Activate), so that every interaction of the type is
  /// first reported through AttributesUpdated. A monitor that is active
  /// already is deactivated first: the new activation replaces it, with its
  /// own initial contents. Ignored when `typeName` is empty.
  void Activate(const W4STD::w4idstring& typeName, const std::vector<CQmAttributeName>& names,
                bool synchronous);
  /// Adds names and reloads the media type for this monitor synchronously.
  /// Ignored when the monitor is not active.
  ///@{
  void RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names);
  void RequestAttributeUpdateCallback(const CQmAttributeName& name);
  ///@}
  /// Detaches the monitor; no callback follows once it returns. No effect when
  /// inactive.
  void Deactivate();

 protected:
  friend class CQmMediaTypeMonitorGuts;

  /// An interaction of the type joined (with the attributes the server sent)
  /// or changed at least one monitored name.
  virtual void AttributesUpdated(InteractionId /*id*/, const CQmAttributeMap& /*attributes*/) {}
  /// An interaction of the type ended.
  virtual void InteractionDeallocated(InteractionId /*id*/) {}

 private:
  /// The turns of the inner monitors' callbacks: opened by Activate(), closed
  /// by Deactivate().
  const std::shared_ptr<CallbackGate> gate_;
  /// This monitor's key in the registry: never reused in the life of the
  /// process, so that a new monitor at the address of a destroyed one never
  /// meets the old one's entry.
  const std::uint64_t id_;
};

}  // namespace QueueManager
