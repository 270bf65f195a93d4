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
// No entity publishes it: the renegotiation listener's subscription.
constexpr int kNoEvent = -1;
// The monitored interactions start sized for a typical server's load.
constexpr std::size_t kMonitoredBuckets = 100;

}  // namespace

// ---- CQmTsServerMonitor ----
// Each operation works on its own copy of the implementation pointer: the
// monitor may be destroyed on another thread while the operation runs.

CQmTsServerMonitor::CQmTsServerMonitor(bool monitorAll)
    : impl_(std::make_shared<CQmTsServerMonitorImpl>(*this, monitorAll)) {}

CQmTsServerMonitor::~CQmTsServerMonitor() {
  const auto impl = impl_;
  impl->Deactivate();
}

void CQmTsServerMonitor::Activate(W4Notifier::ObjectTypes type,
                                  const std::vector<CQmAttributeName>& names) {
  const auto impl = impl_;
  impl->Activate(type, names);
}

void CQmTsServerMonitor::RequestAttributeUpdateCallback(
    const std::vector<CQmAttributeName>& names) {
  const auto impl = impl_;
  impl->RequestAttributeUpdateCallback(names);
}

void CQmTsServerMonitor::RequestAttributeUpdateCallback(const CQmAttributeName& name) {
  RequestAttributeUpdateCallback(std::vector<CQmAttributeName>{name});
}

void CQmTsServerMonitor::MonitorInteraction(InteractionId id) {
  const auto impl = impl_;
  impl->MonitorInteraction(id.QueryObjectId());
}

void CQmTsServerMonitor::UnmonitorInteraction(InteractionId id) {
  const auto impl = impl_;
  impl->UnmonitorInteraction(id.QueryObjectId());
}

void CQmTsServerMonitor::Deactivate() {
  const auto impl = impl_;
  impl->Deactivate();
}

// ---- CQmTsServerMonitorImpl: the application's side ----

CQmTsServerMonitorImpl::CQmTsServerMonitorImpl(CQmTsServerMonitor& owner, bool monitorAll)
    : owner_(owner),
      monitorAll_(monitorAll),
      cache_(CQmCache::Instance()),
      gate_(CallbackGate::MakeOpen()),
      monitored_(kMonitoredBuckets) {}

void CQmTsServerMonitorImpl::Activate(W4Notifier::ObjectTypes type,
                                      const std::vector<CQmAttributeName>& names) {
  const CEntityId entity = MediaTypeEntity(type);
  CMessageServer* inbox = nullptr;
  {
    W4Os::MutexLock lock(&mutex_);
    if (activated_ || stop_.load(std::memory_order_acquire)) {
      QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
               "Activate({}) ignored: the monitor was activated or stopped before",
               ScopedName(entity));
      return;
    }
    activated_ = true;
    entity_ = entity;
    inbox_ = std::make_unique<CMessageServer>(W4Notifier::CNotifierHandle::GetDefaultHandle(),
                                              kInboxName);
    inbox = inbox_.get();  // stays until this object goes
  }
  // Subscribed before the load is asked for, so that no change after the
  // server's answer is missed; the changes before it that the inbox holds too
  // are applied after the answer, in order, which ends with the same values.
  const W4Notifier::eMsgCode subscribed =
      inbox->StartNotifications(entity.QueryObjectType(), entity.QueryObjectId(), kQueueEvent);
  if (subscribed != W4Notifier::eMsgSuccess) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Inbox subscription to {} failed: {}",
             ScopedName(entity), W4Notifier::MsgCodeName(subscribed));
  }
  if (const auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection()) {
    if (connection->StartNotifications(entity, kNoEvent, listener_.get(), 0, nullptr,
                                       W4Notifier::CKeepAlive(listener_)) ==
        W4Notifier::eMsgSuccess) {
      bool stopped = false;
      {
        W4Os::MutexLock lock(&mutex_);
        // A stop that has taken the lock already did not find it.
        stopped = stop_.load(std::memory_order_acquire);
        if (!stopped) listening_ = connection;
      }
      if (stopped) connection->StopNotifications(entity, kNoEvent, listener_.get(), 0);
    }
  }
  cache_.HoldQueue(entity);
  // On a delivery thread the load is answered later: the worker waits for it.
  cache_.LoadHeldQueue(entity, names, false, true, LoadStarted());
  if (!StartWorker(entity)) cache_.ReleaseQueue(entity);
}

bool CQmTsServerMonitorImpl::StartWorker(const CEntityId& entity) {
  W4Os::MutexLock lock(&mutex_);
  // Stopped meanwhile: the hold is the caller's to end.
  if (stop_.load(std::memory_order_acquire)) return false;
  CMessageServer* inbox = inbox_.get();
  try {
    worker_ = W4Os::CWorkerThread::StartFunction(
        [self = shared_from_this(), inbox, entity]() { self->Run(*inbox, entity); });
  } catch (const std::exception& e) {
    // No thread (std::system_error) or no memory for it: reported, not fatal.
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "No worker for {}: {}",
             ScopedName(entity), e.what());
    return false;
  }
  holding_ = true;
  return true;
}

std::shared_ptr<void> CQmTsServerMonitorImpl::LoadStarted() {
  // Counts the load until it goes; shares the count, not this object, since
  // the cache may let go of it under its lock or at exit.
  struct Token {
    explicit Token(std::shared_ptr<LoadCount> count) : loads(std::move(count)) {
      W4Os::MutexLock lock(&loads->mutex);
      ++loads->inFlight;
    }
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;
    ~Token() {
      W4Os::MutexLock lock(&loads->mutex);
      --loads->inFlight;
      loads->settled.SignalAll();
    }
    const std::shared_ptr<LoadCount> loads;
  };
  return std::make_shared<Token>(loads_);
}

void CQmTsServerMonitorImpl::RequestAttributeUpdateCallback(
    const std::vector<CQmAttributeName>& names) {
  CEntityId entity;
  {
    W4Os::MutexLock lock(&mutex_);
    if (!holding_) return;
    entity = entity_;
  }
  // A hold ended meanwhile by a stop makes the cache skip the load.
  cache_.LoadHeldQueue(entity, names, true, true, LoadStarted());
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
  stop_.store(true, std::memory_order_release);
  {
    W4Os::MutexLock lock(&loads_->mutex);
    loads_->stopped = true;
    loads_->settled.SignalAll();
  }
  W4Os::CWorkerThread worker;
  CMessageServer* inbox = nullptr;
  CEntityId held;
  std::shared_ptr<W4Notifier::CNotifierConnection> listening;
  CEntityId entity;
  {
    W4Os::MutexLock lock(&mutex_);
    entity = entity_;
    inbox = inbox_.get();
    listening = listening_.lock();
    listening_.reset();
    if (holding_) held = entity_;
    holding_ = false;
    // The worker cannot join itself: stopped from its own callback, it ends
    // after that callback, and a later stop (or its handle's end) lets it go.
    if (W4Os::CurrentThreadId() != worker_.Id()) worker = std::move(worker_);
  }
  if (inbox != nullptr) inbox->WakeUp(0);  // a waiting worker looks at the stop flag
  // Every stop waits here for a callback running on another thread.
  gate_->Close();
  // The notifier's stop never waits for a callback that waits for the caller.
  if (listening) listening->StopNotifications(entity, kNoEvent, listener_.get(), 0);
  // Inside a callback (another TS server monitor's worker, say) the worker
  // may be waiting for this very thread: it ends on its own, holding what it
  // uses, and calls nobody back once the gate is closed.
  if (CallbackGate::InsideAnyCallback()) {
    worker.Detach();
  } else {
    worker.Join();
  }
  // A monitor destroyed at exit after the cache is gone has nothing to end.
  if (held.IsSet() && CQmCache::Exists()) cache_.ReleaseQueue(held);
}

void CQmTsServerMonitorImpl::RenegotiationListener::OnConnectionRenegotiated() {
  if (CQmCache::Exists()) CQmCache::Instance().ReloadForUnsubscribedWatchers();
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
  W4Os::MutexLock lock(&loads_->mutex);
  while (loads_->inFlight > 0 && !loads_->stopped) loads_->settled.Wait();
  return !loads_->stopped;
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
    // A turn per call: a stop made inside a callback refuses the rest.
    const CallbackGate::Turn turn = gate_->Enter();
    if (!turn) return;
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
