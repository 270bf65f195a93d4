#include "QueueManager/TsServerMonitor.h"

#include <exception>
#include <string_view>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "QueueManager/Platform/Notifier.h"
#include "monitor/CacheTrace.h"
#include "monitor/MediaTypeEntity.h"
#include "monitor/MonitorId.h"
#include "monitor/TsServerBatch.h"
#include "monitor/TsServerMonitorImpl.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::CMessageServer;

constexpr const char* kFunction = "CQmTsServerMonitorImpl";
constexpr std::u16string_view kInboxName = u"CQmTsServerMonitorImpl";
constexpr int kQueueEvent = 0;
// The monitored interactions start sized for a typical server's load.
constexpr std::size_t kMonitoredBuckets = 100;

}  // namespace

// ---- CQmTsServerMonitor ----

CQmTsServerMonitor::CQmTsServerMonitor(bool monitorAll)
    : impl_(std::make_shared<CQmTsServerMonitorImpl>(*this, monitorAll)) {}

CQmTsServerMonitor::~CQmTsServerMonitor() { impl_->Deactivate(); }

void CQmTsServerMonitor::Activate(W4Notifier::ObjectTypes type,
                                  const std::vector<CQmAttributeName>& names) {
  impl_->Activate(type, names);
}

void CQmTsServerMonitor::RequestAttributeUpdateCallback(
    const std::vector<CQmAttributeName>& names) {
  impl_->RequestAttributeUpdateCallback(names);
}

void CQmTsServerMonitor::RequestAttributeUpdateCallback(const CQmAttributeName& name) {
  impl_->RequestAttributeUpdateCallback(std::vector<CQmAttributeName>{name});
}

void CQmTsServerMonitor::MonitorInteraction(InteractionId id) {
  impl_->MonitorInteraction(id.QueryObjectId());
}

void CQmTsServerMonitor::UnmonitorInteraction(InteractionId id) {
  impl_->UnmonitorInteraction(id.QueryObjectId());
}

void CQmTsServerMonitor::Deactivate() { impl_->Deactivate(); }

// ---- CQmTsServerMonitorImpl: the application's side ----

CQmTsServerMonitorImpl::CQmTsServerMonitorImpl(CQmTsServerMonitor& owner, bool monitorAll)
    : owner_(owner),
      monitorAll_(monitorAll),
      cache_(CQmCache::Instance()),
      monitored_(kMonitoredBuckets) {}

void CQmTsServerMonitorImpl::Activate(W4Notifier::ObjectTypes type,
                                      const std::vector<CQmAttributeName>& names) {
  const CEntityId entity = MediaTypeEntity(type);
  CMessageServer* inbox = nullptr;
  {
    W4Os::MutexLock lock(&mutex_);
    if (state_ != State::kIdle) {
      QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
               "Activate({}) ignored: the monitor was activated before", ScopedName(entity));
      return;
    }
    state_ = State::kActivating;
    entity_ = entity;
    inbox_ = std::make_unique<CMessageServer>(W4Notifier::CNotifierHandle::GetDefaultHandle(),
                                              kInboxName);
    inbox = inbox_.get();
  }
  // Subscribed before the load is asked for, so that no change after the
  // server's answer is missed; the changes before it that the inbox holds too
  // are applied again, which leaves the same values.
  const W4Notifier::eMsgCode subscribed =
      inbox->StartNotifications(entity.QueryObjectType(), entity.QueryObjectId(), kQueueEvent);
  if (subscribed != W4Notifier::eMsgSuccess) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Inbox subscription to {} failed: {}",
             ScopedName(entity), W4Notifier::MsgCodeName(subscribed));
  }
  cache_.HoldQueue(entity);
  cache_.ActivateMonitor(entity, kNoMonitor, names, false, true, false);
  if (!StartWorker(entity)) cache_.ReleaseQueue(entity);
}

bool CQmTsServerMonitorImpl::StartWorker(const CEntityId& entity) {
  W4Os::MutexLock lock(&mutex_);
  // Deactivated meanwhile: the hold is the caller's to end.
  if (state_ != State::kActivating) return false;
  CMessageServer* inbox = inbox_.get();
  try {
    worker_ = W4Os::CWorkerThread::StartFunction(
        [self = shared_from_this(), inbox, entity]() { self->Run(*inbox, entity); });
  } catch (const std::system_error& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "No worker for {}: {}",
             ScopedName(entity), e.what());
    state_ = State::kStopped;
    return false;
  }
  workerId_ = worker_.Id();
  state_ = State::kActive;
  return true;
}

void CQmTsServerMonitorImpl::RequestAttributeUpdateCallback(
    const std::vector<CQmAttributeName>& names) {
  CEntityId entity;
  {
    W4Os::MutexLock lock(&mutex_);
    if (state_ != State::kActive) return;
    entity = entity_;
    ++loadsInFlight_;
  }
  // A hold ended meanwhile by Deactivate makes the cache skip the load.
  cache_.ActivateMonitor(entity, kNoMonitor, names, true, true, false);
  W4Os::MutexLock lock(&mutex_);
  --loadsInFlight_;
  loadsSettled_.SignalAll();
}

void CQmTsServerMonitorImpl::MonitorInteraction(std::uint32_t id) {
  W4Os::CCriticalSectionLock lock(&cache_.Lock());
  monitored_.insert(id);
}

void CQmTsServerMonitorImpl::UnmonitorInteraction(std::uint32_t id) {
  W4Os::CCriticalSectionLock lock(&cache_.Lock());
  monitored_.erase(id);
}

void CQmTsServerMonitorImpl::Deactivate() {
  W4Os::CWorkerThread worker;
  std::unique_ptr<CMessageServer> inbox;
  CEntityId held;
  {
    W4Os::MutexLock lock(&mutex_);
    stop_.store(true, std::memory_order_release);
    loadsSettled_.SignalAll();
    if (state_ == State::kActive) held = entity_;  // ended once, here
    // While activating, Activate still uses the inbox and ends the hold.
    const bool activating = state_ == State::kActivating;
    state_ = State::kStopped;
    // The worker cannot wait for itself: called from its callback, it ends
    // after that callback, and a later call (or its own end) cleans up.
    if (W4Os::CurrentThreadId() != workerId_ && !activating) {
      worker = std::move(worker_);
      inbox = std::move(inbox_);
    }
  }
  if (inbox) inbox->WakeUp(0);  // a waiting worker looks at the stop flag
  worker.Join();
  inbox.reset();  // after the worker, which waits on it
  // A monitor destroyed at exit after the cache is gone has nothing to end.
  if (held.IsSet() && CQmCache::Exists()) cache_.ReleaseQueue(held);
}

// ---- CQmTsServerMonitorImpl: the worker ----

void CQmTsServerMonitorImpl::Run(CMessageServer& inbox, const CEntityId& entity) {
  std::deque<CMessage> messages;
  while (!stop_.load(std::memory_order_acquire)) {
    const int result = inbox.GetMessagesWithCode(messages, W4Os::kInfinite);
    if (result != 0) {
      QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
               "Inbox wait for {} failed ({}): no further updates", ScopedName(entity), result);
      return;
    }
    RunBatch(messages, entity);
    messages.clear();
  }
}

bool CQmTsServerMonitorImpl::AwaitSettledLoads() {
  W4Os::MutexLock lock(&mutex_);
  while (loadsInFlight_ > 0 && !stop_.load(std::memory_order_acquire)) loadsSettled_.Wait();
  return !stop_.load(std::memory_order_acquire);
}

void CQmTsServerMonitorImpl::RunBatch(std::deque<CMessage>& messages, const CEntityId& entity) {
  TsServerBatch batch;
  try {
    for (CMessage& message : messages) batch.Decode(message);
    if (!batch.HasEvents() || !AwaitSettledLoads() || !CQmCache::Exists()) return;
    W4Os::CCriticalSectionLock lock(&cache_.Lock());
    batch.ApplyLocked(cache_, entity, monitorAll_, monitored_);
  } catch (const std::exception& e) {
    // Malformed messages were skipped one by one; this is a lack of
    // resources. What was applied stays and is reported.
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Batch of {} cut short: {}",
             ScopedName(entity), e.what());
  }
  for (const auto& [id, attributes] : batch.Updates()) {
    if (stop_.load(std::memory_order_acquire)) return;
    Report(id, attributes);
  }
}

void CQmTsServerMonitorImpl::Report(std::uint32_t id, const CQmAttributeMap& attributes) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "AttributesUpdated({},{})", id,
           MapText(attributes));
  // The application's exceptions stop here: the worker goes on with the
  // next interaction.
  try {
    owner_.AttributesUpdated(InteractionId(id), attributes);
  } catch (const std::exception& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "AttributesUpdated({}) threw: {}", id,
             e.what());
  } catch (...) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
             "AttributesUpdated({}) threw an unknown exception", id);
  }
}

}  // namespace QueueManager
