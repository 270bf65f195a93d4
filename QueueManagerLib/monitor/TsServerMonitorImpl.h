#pragma once

// The implementation of CQmTsServerMonitor: its private inbox on the media
// type's entity, its worker thread and the interactions it reports.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <unordered_set>
#include <vector>

#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/MessageServer.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Thread.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "QueueManager/TsServerMonitor.h"
#include "monitor/CallbackGate.h"
#include "monitor/QmCache.h"

namespace QueueManager {

// Thread-safe. Owned by its CQmTsServerMonitor, by every operation running
// on it and, while the worker runs, by the worker too: a monitor destroyed
// from inside its own callback, or while another thread activates it, leaves
// the implementation to them.
//
// Callbacks take their turns on gate_, opened at construction and closed by
// the first stop for good: once any stop has returned, no callback runs on
// another thread and none starts, whatever the worker and an activation in
// progress still do.
//
// Locks: mutex_ and the load count's lock are leaves, taken with or without
// the cache lock and never holding another (a load's token may go under the
// cache lock). The worker takes the cache lock once per batch and makes its
// callbacks with no lock held; no lock is held while the worker, a load or a
// callback is waited for.
class CQmTsServerMonitorImpl : public std::enable_shared_from_this<CQmTsServerMonitorImpl> {
 public:
  CQmTsServerMonitorImpl(CQmTsServerMonitor& owner, bool monitorAll);
  CQmTsServerMonitorImpl(const CQmTsServerMonitorImpl&) = delete;
  CQmTsServerMonitorImpl& operator=(const CQmTsServerMonitorImpl&) = delete;

  // REQUIRES: the object is owned by a std::shared_ptr.
  void Activate(W4Notifier::ObjectTypes type, const std::vector<CQmAttributeName>& names)
      QM_LOCKS_EXCLUDED(mutex_);
  void RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names)
      QM_LOCKS_EXCLUDED(mutex_);
  void MonitorInteraction(std::uint32_t id);
  void UnmonitorInteraction(std::uint32_t id);
  // Any number of times, from any thread: see the class comment.
  void Deactivate() QM_LOCKS_EXCLUDED(mutex_);

 private:
  // Hears the renegotiations of the connection, which the inbox is not told
  // of: the cache then reloads the entity this monitor holds, unless it is
  // told itself. Subscribed to an event that nothing publishes.
  class RenegotiationListener final : public W4Notifier::IMessageCallback {
   public:
    void OnMessageReceived(W4Notifier::CMessage& /*message*/) override {}
    void OnConnectionRenegotiated() override;
  };

  // Starts the worker unless stopped meanwhile; false when not started.
  bool StartWorker(const W4Notifier::CEntityId& entity) QM_LOCKS_EXCLUDED(mutex_);
  // Loads in flight (the activation's and those of added names). Their
  // answers may be applied on a delivery thread of the cache: meanwhile the
  // worker applies no batch, so that an answer never overwrites a later
  // change that the inbox brought, and what the inbox holds is applied
  // after the answer.
  struct LoadCount {
    W4Os::Mutex mutex;
    W4Os::CondVar settled{&mutex};
    int inFlight QM_GUARDED_BY(mutex) = 0;
    bool stopped QM_GUARDED_BY(mutex) = false;
  };
  // A load is under way until the token this gives goes (the cache lets go
  // of it once the answer was applied, or the load failed).
  std::shared_ptr<void> LoadStarted();
  // The worker waits here until no load is in flight; false once stopped.
  bool AwaitSettledLoads();
  // The worker's body: one batch per wake-up of the inbox until stopped.
  void Run(W4Notifier::CMessageServer& inbox, const W4Notifier::CEntityId& entity);
  void RunBatch(std::deque<W4Notifier::CMessage>& messages, const W4Notifier::CEntityId& entity);
  void Report(std::uint32_t id, const CQmAttributeMap& attributes);

  CQmTsServerMonitor& owner_;
  const bool monitorAll_;
  CQmCache& cache_;
  const std::shared_ptr<CallbackGate> gate_;
  // Set by the first stop; the worker reads it before every wait.
  std::atomic<bool> stop_{false};

  W4Os::Mutex mutex_;
  bool activated_ QM_GUARDED_BY(mutex_) = false;
  // The cache holds the entity for this monitor: the stop that clears it
  // ends the hold.
  bool holding_ QM_GUARDED_BY(mutex_) = false;
  W4Notifier::CEntityId entity_ QM_GUARDED_BY(mutex_);
  // Built at activation, on the connection of that time; goes with this
  // object, after the worker, which waits on it.
  std::unique_ptr<W4Notifier::CMessageServer> inbox_ QM_GUARDED_BY(mutex_);
  const std::shared_ptr<RenegotiationListener> listener_ =
      std::make_shared<RenegotiationListener>();
  // The connection the listener is subscribed on, while it is.
  std::weak_ptr<W4Notifier::CNotifierConnection> listening_ QM_GUARDED_BY(mutex_);
  // Joined by the first stop made on another thread (the worker cannot join
  // itself; a handle destroyed on its own thread lets it go).
  W4Os::CWorkerThread worker_ QM_GUARDED_BY(mutex_);
  const std::shared_ptr<LoadCount> loads_ = std::make_shared<LoadCount>();

  // The interactions to report when not monitoring all.
  std::unordered_set<std::uint32_t> monitored_ QM_GUARDED_BY(cache_.Lock());
};

}  // namespace QueueManager
