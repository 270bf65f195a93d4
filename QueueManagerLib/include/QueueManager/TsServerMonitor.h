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

// Thread-safe (every operation may be called from any thread, the monitor's
// own callbacks included); the application owns the monitor, which owns its
// implementation and worker thread. Reports the attribute updates of one
// media type: of every interaction, or only of those named with
// MonitorInteraction. Not copyable: a copy would share the worker, whose
// callbacks name one owner, and its end.
//
// Life: created idle; Activate() subscribes the monitor's private inbox to
// the media type's entity, loads the entity into the cache and starts the
// worker; Deactivate() (or the destructor) stops the worker and waits for
// it, whatever it is doing. A monitor is activated once: it cannot be
// activated again, not even after Deactivate().
//
// Callback contract (AttributesUpdated):
// - runs on the monitor's worker thread, never while a lock of the library is
//   held, one call at a time; one batch of calls per wake-up of the inbox,
//   one call per interaction with one map holding every update the batch
//   brought for it, by ascending interaction id;
// - may call the library, including every operation of this monitor:
//   MonitorInteraction and UnmonitorInteraction take effect from the next
//   batch; RequestAttributeUpdateCallback waits for the server's answer;
//   Deactivate ends the batch (no further call follows); destroying the
//   monitor is allowed as the last thing the callback does;
// - an exception it throws is caught and traced, and the batch goes on.
// Once Deactivate() or the destructor has returned on another thread, no
// callback is running or starts later.
// REQUIRES: a derived class calls Deactivate() in its own destructor: a
// callback must not run while the derived part is being destroyed.
class QM_EXPORT CQmTsServerMonitor {
 public:
  // With `monitorAll`, every interaction of the media type is reported;
  // otherwise only those named with MonitorInteraction.
  explicit CQmTsServerMonitor(bool monitorAll = false);
  CQmTsServerMonitor(const CQmTsServerMonitor&) = delete;
  CQmTsServerMonitor& operator=(const CQmTsServerMonitor&) = delete;
  // Deactivates the monitor.
  virtual ~CQmTsServerMonitor();

  // Watches the media type of interaction object type `type`: loads its
  // interactions with `names` into the cache (synchronously, without
  // callbacks) and starts reporting. Ignored when activated before.
  void Activate(W4Notifier::ObjectTypes type, const std::vector<CQmAttributeName>& names);
  // Adds names: the cache loads their values synchronously. Ignored unless
  // active.
  void RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names);
  void RequestAttributeUpdateCallback(const CQmAttributeName& name);
  // Starts or stops reporting the updates of one interaction (an interaction
  // that the server reports removed is no longer reported).
  void MonitorInteraction(InteractionId id);
  void UnmonitorInteraction(InteractionId id);
  // Stops the worker for good and waits for it (unless called from its own
  // callback); the media type leaves the cache unless others watch it.
  void Deactivate();

 protected:
  friend class CQmTsServerMonitorImpl;

  // Attribute updates of interaction `id` (see the callback contract above).
  virtual void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) = 0;

 private:
  // Shared with the worker thread, which keeps it alive until it has ended.
  const std::shared_ptr<CQmTsServerMonitorImpl> impl_;
};

}  // namespace QueueManager
