#pragma once

// The TS server monitor: attribute updates of the interactions of one media
// type, received in a private inbox and reported from a worker thread of the
// monitor's own, while the process-wide monitor cache is kept up to date.

#include <memory>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager {

class CQmTsServerMonitorImpl;

/// Thread-safe (every operation may be called from any thread, the monitor's
/// own callbacks included); the application owns the monitor, which shares
/// its implementation with the worker thread and with any operation still
/// running. Reports the attribute updates of one media type: of every
/// interaction, or only of those named with MonitorInteraction. Not copyable:
/// a copy would share the worker, whose callbacks name one owner, and its end.
///
/// Life: created idle; Activate() subscribes the monitor's private inbox to
/// the media type's entity, loads the entity into the cache and starts the
/// worker; Deactivate() (or the destructor) stops the worker. A monitor is
/// activated once: it cannot be activated again, not even after Deactivate().
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
/// Deactivate() and the destructor are its stops; destroying the monitor
/// while another thread is still inside Activate() is allowed (that
/// activation then starts nothing).
///
/// AttributesUpdated runs on the monitor's worker thread: one batch of calls
/// per wake-up of the inbox, one call per interaction with one map holding
/// every update the batch brought for it, by ascending interaction id.
/// MonitorInteraction and UnmonitorInteraction take effect from the next
/// batch; RequestAttributeUpdateCallback waits for the server's answer; a
/// stop ends the batch (no further call follows). An exception the callback
/// throws is caught and traced, and the batch goes on.
class QM_EXPORT CQmTsServerMonitor {
 public:
  /// With `monitorAll`, every interaction of the media type is reported;
  /// otherwise only those named with MonitorInteraction.
  explicit CQmTsServerMonitor(bool monitorAll = false);
  CQmTsServerMonitor(const CQmTsServerMonitor&) = delete;
  CQmTsServerMonitor& operator=(const CQmTsServerMonitor&) = delete;
  /// Deactivates the monitor.
  virtual ~CQmTsServerMonitor();

  /// Watches the media type of interaction object type `type`: loads its
  /// interactions with `names` into the cache (synchronously, without
  /// callbacks) and starts reporting. Ignored when activated before.
  void Activate(W4Notifier::ObjectTypes type, const std::vector<CQmAttributeName>& names);
  /// Adds names: the cache loads their values synchronously. Ignored unless
  /// active.
  ///@{
  void RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names);
  void RequestAttributeUpdateCallback(const CQmAttributeName& name);
  ///@}
  /// Starts or stops reporting the updates of one interaction (an interaction
  /// that the server reports removed is no longer reported).
  void MonitorInteraction(InteractionId id);
  /// Stops monitoring the interaction.
  ///@{
  void UnmonitorInteraction(InteractionId id);
  ///@}
  /// Stops the worker for good; the media type leaves the cache unless
  /// others watch it.
  void Deactivate();

 protected:
  friend class CQmTsServerMonitorImpl;

  /// Attribute updates of interaction `id` (see the callback contract above).
  virtual void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) = 0;

 private:
  /// Shared with the worker thread, which keeps it alive until it has ended,
  /// and with each running operation, which works on a copy of this pointer
  /// (the monitor may go meanwhile).
  const std::shared_ptr<CQmTsServerMonitorImpl> impl_;
};

}  // namespace QueueManager
