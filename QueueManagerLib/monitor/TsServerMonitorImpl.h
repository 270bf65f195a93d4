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
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Thread.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "QueueManager/TsServerMonitor.h"
#include "monitor/QmCache.h"

namespace QueueManager {

// Thread-safe. Owned by its CQmTsServerMonitor and, while the worker runs, by
// the worker too: a monitor destroyed from inside its own callback leaves the
// implementation to the worker, which ends after that callback.
//
// Lock order: mutex_ (the monitor's own lock), then the cache lock. The
// worker takes mutex_ alone (to wait for loads), then the cache lock alone
// (once per batch), and makes its callbacks with no lock held; no lock is
// held while the worker or a load is waited for.
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
  // Idempotent. Waits for the worker unless called on it.
  void Deactivate() QM_LOCKS_EXCLUDED(mutex_);

 private:
  enum class State : std::uint8_t { kIdle, kActivating, kActive, kStopped };

  // Starts the worker unless deactivated meanwhile; false when not started.
  bool StartWorker(const W4Notifier::CEntityId& entity) QM_LOCKS_EXCLUDED(mutex_);
  // The worker waits here until no load of names is in flight; false once
  // stopped.
  bool AwaitSettledLoads() QM_LOCKS_EXCLUDED(mutex_);
  // The worker's body: one batch per wake-up of the inbox until stopped.
  void Run(W4Notifier::CMessageServer& inbox, const W4Notifier::CEntityId& entity);
  void RunBatch(std::deque<W4Notifier::CMessage>& messages, const W4Notifier::CEntityId& entity);
  void Report(std::uint32_t id, const CQmAttributeMap& attributes);

  CQmTsServerMonitor& owner_;
  const bool monitorAll_;
  CQmCache& cache_;
  // Set once by Deactivate; the worker reads it before every wait and call.
  std::atomic<bool> stop_{false};

  W4Os::Mutex mutex_;
  State state_ QM_GUARDED_BY(mutex_) = State::kIdle;
  W4Notifier::CEntityId entity_ QM_GUARDED_BY(mutex_);
  // Built at activation, on the connection of that time; the worker uses it
  // until it ends, so it goes only after the worker was joined (or with this
  // object, when the worker ended on its own).
  std::unique_ptr<W4Notifier::CMessageServer> inbox_ QM_GUARDED_BY(mutex_);
  W4Os::CWorkerThread worker_ QM_GUARDED_BY(mutex_);
  std::thread::id workerId_ QM_GUARDED_BY(mutex_);
  // Loads of added names in flight. Their answers are applied on a delivery
  // thread of the cache: meanwhile the worker applies no batch, so that an
  // answer never overwrites a later change that the inbox brought.
  int loadsInFlight_ QM_GUARDED_BY(mutex_) = 0;
  W4Os::CondVar loadsSettled_{&mutex_};

  // The interactions to report when not monitoring all.
  std::unordered_set<std::uint32_t> monitored_ QM_GUARDED_BY(cache_.Lock());
};

}  // namespace QueueManager
