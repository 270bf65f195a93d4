// The cache object: construction and shutdown, activation, deactivation,
// loading, subscriptions and the outcomes of asynchronous requests.

#include "monitor/QmCache.h"

#include <chrono>
#include <thread>
#include <tuple>
#include <utility>

#include <fmt/format.h>

#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/Simulation.h"
#include "QueueManager/Platform/Trace.h"
#include "attributes/ObjectTypeLookup.h"
#include "monitor/CacheTrace.h"
#include "monitor/CallbackGate.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::CNotifierHandle;
using W4Notifier::CNotifierTimeout;

constexpr const char* kFunction = "CQmCache";
// How long the destructor waits for the outcomes of cancelled requests.
constexpr auto kShutdownWait = std::chrono::seconds(2);

// The notifier callbacks of the cache this thread is inside.
thread_local int t_cacheDeliveryDepth = 0;

// 0 never built, 1 alive, 2 destroyed. Trivially destructible, so it can be
// read after the cache is gone.
std::atomic<int> g_cacheState{0};

W4Notifier::ObjectTypes CachedObjectType(std::uint32_t id) {
  if (!CQmCache::Exists()) return W4Notifier::eObjectTypeNone;
  return CQmCache::Instance().QueryUnderlyingEntityId(InteractionId(id)).QueryObjectType();
}

}  // namespace

CacheDeliveryScope::CacheDeliveryScope() { ++t_cacheDeliveryDepth; }
CacheDeliveryScope::~CacheDeliveryScope() { --t_cacheDeliveryDepth; }
bool InsideCacheDelivery() { return t_cacheDeliveryDepth > 0; }

const CEntityId& QueueManagerServerEntity() {
  static const CEntityId entity(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects);
  return entity;
}

// ---- construction and shutdown ----

CQmCache& CQmCache::Instance() {
  static CQmCache cache;
  return cache;
}

bool CQmCache::Exists() { return g_cacheState.load(std::memory_order_acquire) == 1; }

CQmCache::CQmCache() {
  // The topics are registered once and live until exit.
  W4Trace::QueueManagerTopic();
  W4Trace::ScopeTopic();
  W4Trace::MemoryUsageTopic();
  g_cacheState.store(1, std::memory_order_release);
  SetObjectTypeSource(ObjectTypeSource::kMonitorCache, &CachedObjectType);
}

CQmCache::~CQmCache() {
  g_cacheState.store(2, std::memory_order_release);
  SetObjectTypeSource(ObjectTypeSource::kMonitorCache, {});
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    if (store_ != nullptr) SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, {});
  }
  ShutDown();
}

void CQmCache::ShutDown() {
  // Every connection that holds a subscription or a request of the cache,
  // not only today's default: an outcome on a replaced connection must not
  // reach a destroyed cache either.
  std::vector<std::shared_ptr<W4Notifier::CNotifierConnection>> connections;
  std::vector<std::pair<std::uint32_t, std::shared_ptr<W4Notifier::CNotifierConnection>>> requests;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    connections = subscriptions_.Connections();
    requests = loads_.RequestsInFlight();
  }
  if (auto current = CNotifierHandle::GetDefaultHandle().Connection()) {
    connections.push_back(std::move(current));
  }
  for (const auto& connection : connections) {
    connection->StopAllMessages(static_cast<W4Notifier::IMessageCallback*>(this));
    connection->StopAllMessages(static_cast<W4Notifier::IMessageCallback*>(&allQueuesCallback_));
  }
  for (const auto& [id, connection] : requests) connection->CancelAsyncRequest(id);
  if (requests.empty()) return;
  // A cancelled request still gets its outcome on a delivery thread: wait for
  // it, so that none reaches a destroyed cache.
  const auto deadline = W4Os::SteadyNow() + kShutdownWait;
  while (W4Os::SteadyNow() < deadline) {
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      if (!loads_.AnyRequest()) return;
    }
    W4Os::SleepFor(std::chrono::milliseconds(1));
  }
}

// ---- activation and deactivation ----

void CQmCache::ActivateMonitor(const CEntityId& queue, MonitorId monitor,
                               const std::vector<CQmAttributeName>& names, bool addingAttributes,
                               bool synchronous, bool subscribe) {
  QM_TRACE_SCOPE(CacheScopeTopic(), "CQmCache::ActivateMonitor");
  if (monitor == kNoMonitor) {
    LoadHeldQueue(queue, names, addingAttributes, synchronous, nullptr);
    return;
  }
  bool created = false;
  bool reconcile = false;
  LoadBook::Activation activation;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    // The attachment may have been deactivated since its monitor decided to
    // come here (a callback on another thread stopping it while its owner
    // asks for more names). Its DeactivateMonitor has then been made or is
    // waiting for this lock: attaching it now would leave a dead attachment
    // on the queue for good. The proxy deactivates before the cache, and its
    // lock may be taken inside this one.
    if (!CQueueMonitorProxy::IsActive(monitor)) return;
    TraceActivation(queue, monitor, names, addingAttributes, synchronous);
    QueueRecord* record = nullptr;
    std::tie(record, created) = tables_.FindOrAddQueue(queue);
    activation = loads_.Activate(monitor, queue, addingAttributes,
                                 [&] { return record->AddMonitor(monitor); });
    if (subscribe) reconcile = subscriptions_.Want(queue, true);
  }
  // Subscribed before the request goes out, so that no change after the
  // server's answer is missed.
  if (reconcile) ReconcileSubscription(queue);
  // A queue that the cache knows already is loaded synchronously, as is any
  // load asked for on the notifier's delivery thread... except that such a
  // thread cannot wait for an answer it has to deliver itself.
  bool asynchronous = !synchronous && created;
  if (!asynchronous && InsideCacheDelivery()) asynchronous = true;
  // An answer with more names is applied like whole contents, wherever it
  // is waited for.
  LoadQueue(queue, activation.allNames ? CQueueMonitorProxy::Names(monitor) : names,
            activation.adding, !asynchronous, monitor, activation.load);
}

void CQmCache::TraceActivation(const CEntityId& queue, MonitorId monitor,
                               const std::vector<CQmAttributeName>& names, bool addingAttributes,
                               bool synchronous) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "CQmCache::Activate({},{},{}{}{})",
           ScopedName(queue), monitor, NamesText(names),
           addingAttributes ? ",AddingAttributes" : "", synchronous ? ",Synchronous" : ",Async");
}

void CQmCache::RetryFailedLoad(MonitorId monitor, bool synchronous) {
  std::optional<std::pair<CEntityId, std::uint64_t>> retry;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    retry = loads_.Retry(monitor);
  }
  if (!retry) return;
  const auto& [queue, load] = *retry;
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Loading {} again for {}",
           ScopedName(queue), monitor);
  const bool asynchronous = !synchronous || InsideCacheDelivery();
  LoadQueue(queue, CQueueMonitorProxy::Names(monitor), false, !asynchronous, monitor, load);
}

void CQmCache::RetryFailedLoads() {
  std::vector<MonitorId> failed;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    failed = loads_.FailedMonitors();
  }
  for (const MonitorId monitor : failed) RetryFailedLoad(monitor, false);
}

void CQmCache::DeactivateMonitor(const CEntityId& queue, MonitorId monitor) {
  QM_TRACE_SCOPE(CacheScopeTopic(), "CQmCache::DeactivateMonitor");
  CBatchLease batch;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "CQmCache::DeactivateMonitor({},{})",
             ScopedName(queue), monitor);
    loads_.Forget(monitor);
    QueueRecord* record = tables_.FindQueue(queue);
    if (record != nullptr && record->RemoveMonitor(monitor) && record->Monitors().empty()) {
      // A held queue stays cached for its holder, which needs no subscription.
      if (IsHeldLocked(queue)) {
        UnsubscribeLocked(queue, *batch);
      } else {
        DropQueueLocked(queue, false, *batch);
      }
    }
  }
  FinishBatch(*batch);
}

// ---- loading ----

void CQmCache::LoadQueue(const CEntityId& queue, const std::vector<CQmAttributeName>& names,
                         bool addingAttributes, bool synchronous, MonitorId requester,
                         std::uint64_t load, std::shared_ptr<void> settled, bool registeredToo) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Loadcache({}) {}{}{}",
           ScopedName(queue), NamesText(names), addingAttributes ? ",AddingAttributes" : "",
           synchronous ? ",Synchronous" : ",Async");
  std::vector<CQmAttributeName> kept;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    ForgetNamesOfAnotherConnection();
    kept = registeredToo ? names : tables_.Names().Unregistered(queue.QueryObjectType(), names);
  }
  W4Notifier::CRequestObject request(QueueManagerServerEntity(), kMonitorQueueEvent);
  request << addingAttributes << static_cast<std::int32_t>(queue.QueryObjectType())
          << static_cast<std::int32_t>(queue.QueryObjectId())
          << static_cast<std::int32_t>(kept.size());
  for (const CQmAttributeName& name : kept) name.Write(request);

  LoadBook::Request record{
      queue, requester, {}, nullptr, load, addingAttributes, std::move(settled)};
  bool deferred = false;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    if (subscriptions_.IsReconciling(queue) && CNotifierHandle::GetDefaultConnection()) {
      // Another thread is still starting or stopping the subscription: the
      // load goes out once it has settled. Waiting for that from inside a
      // callback could wait for this very thread: such a load is
      // asynchronous.
      if (synchronous && !CallbackGate::InsideAnyCallback()) {
        record.waiter = std::make_shared<LoadBook::SyncWait>();
        if (requester != kNoMonitor) handOffs_.Open(requester);
      }
      loads_.Defer(queue, LoadBook::DeferredLoad{request, record});
      deferred = true;
    }
  }
  if (deferred) {
    if (record.waiter) AwaitSyncLoad(record);
    return;
  }
  if (synchronous) record.waiter = std::make_shared<LoadBook::SyncWait>();
  if (SendLoad(request, record)) {
    if (!synchronous) return;
    // The answer is applied on the delivery thread; its callbacks for the
    // requester, and the live ones after them, are handed over to this thread.
    // A failed load has nothing of its own to hand over, but the hand-off
    // must be closed all the same.
    AwaitSyncLoad(record);
    return;
  }
  if (!synchronous) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Async request failed {}",
             ScopedName(queue));
  }
  // Nothing could be sent through the queue's callback object (no
  // connection): a plain synchronous request is the last resort.
  W4Notifier::CResponseObject response;
  record.waiter = nullptr;
  if (request.Send(response, CNotifierTimeout::Query()) == 0) {
    LoadFailed(record, "Sync request failed");
    return;
  }
  if (!ProcessMonitorResponse(response, record)) LoadFailed(record, "Sync request failed");
}

void CQmCache::AwaitSyncLoad(const LoadBook::Request& record) {
  // The callbacks are made as they are handed over rather than after the
  // whole answer, which would keep them all in memory.
  if (record.requester != kNoMonitor) handOffs_.DrainUntilFinished(record.requester);
  record.waiter->Wait();
  handOffs_.Drain(record.requester);
}

void CQmCache::FinishSyncLoad(const LoadBook::Request& record, bool success) {
  if (!record.waiter) return;
  record.waiter->Finish(success);
  if (record.requester != kNoMonitor) handOffs_.Finish(record.requester);
}

void CQmCache::ForgetNamesOfAnotherConnection() {
  const auto connection = CNotifierHandle::GetDefaultConnection();
  if (!connection) return;
  const bool same = !namesConnection_.owner_before(connection) &&
                    !connection.owner_before(namesConnection_) && !namesConnection_.expired();
  if (same) return;
  // The registry lists what the previous connection's server sends; the
  // names are asked for again, and registered as the new server lists them.
  tables_.Names().Clear();
  namesConnection_ = connection;
}

bool CQmCache::SendLoad(const CMessage& request, const LoadBook::Request& record) {
  const auto connection = CNotifierHandle::GetDefaultConnection();
  if (!connection) return false;
  // A load without a monitor has no callbacks to hand over.
  const bool handOff = record.waiter && record.requester != kNoMonitor;
  if (handOff) handOffs_.Open(record.requester);
  // Held across the send: the response may arrive on a delivery thread at
  // once and must find the request recorded.
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    std::uint32_t requestId = 0;
    const W4Notifier::eMsgCode result = connection->SendAsyncRequest(
        request, ResponderFor(record.queue), 0, CNotifierTimeout::Query(), &requestId);
    if (result == W4Notifier::eMsgSuccess) {
      LoadBook::Request stored = record;
      stored.connection = connection;
      loads_.Sent(requestId, std::move(stored));
      return true;
    }
  }
  if (handOff) handOffs_.Drain(record.requester);  // closes it: nothing was queued
  return false;
}

void CQmCache::LoadFailed(const LoadBook::Request& request, const char* why) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "{} {}", why,
           ScopedName(request.queue));
  if (request.requester == kNoMonitor) return;
  W4Os::CCriticalSectionLock lock(&lock_);
  loads_.Failed(request.ToTicket());
}

// ---- subscriptions ----

W4Notifier::IMessageCallback* CQmCache::SubscriberFor(const CEntityId& queue) {
  if (queue.QueryObjectId() == W4Notifier::kAllObjects) return &allQueuesCallback_;
  return this;
}

W4Notifier::IAsyncResponseCallback* CQmCache::ResponderFor(const CEntityId& queue) {
  if (queue.QueryObjectId() == W4Notifier::kAllObjects) return &allQueuesCallback_;
  return this;
}

void CQmCache::ReconcileSubscription(const CEntityId& queue) {
  SubscriptionBook::Reconcile(queue, *this);
}

void CQmCache::WithSubscriptions(const std::function<void(SubscriptionBook&)>& step) {
  W4Os::CCriticalSectionLock lock(&lock_);
  step(subscriptions_);
}

std::shared_ptr<W4Notifier::CNotifierConnection> CQmCache::StartSubscription(
    const CEntityId& queue) {
  auto connection = CNotifierHandle::GetDefaultHandle().Connection();
  const bool held = connection && connection->StartNotifications(
                                      queue, kMonitorQueueEvent, SubscriberFor(queue), 0, nullptr,
                                      {}, u"QueueMonitor") == W4Notifier::eMsgSuccess;
  return held ? connection : nullptr;
}

void CQmCache::StopSubscription(
    const CEntityId& queue, const std::shared_ptr<W4Notifier::CNotifierConnection>& connection) {
  connection->StopNotifications(queue, kMonitorQueueEvent, SubscriberFor(queue), 0);
}

void CQmCache::ReconcileLater(const CEntityId& queue) {
  CallbackGate::AfterCallbacks([this, queue] { ReconcileSubscription(queue); });
}

void CQmCache::SubscriptionSettled(const CEntityId& queue) {
  // What waited for the subscription goes out now, or as it would without
  // one when it could not be started (the next activation retries).
  std::vector<LoadBook::DeferredLoad> settled;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    if (!subscriptions_.IsReconciling(queue)) settled = loads_.TakeDeferred(queue);
  }
  SendDeferredLoads(std::move(settled));
}

void CQmCache::SendDeferredLoads(std::vector<LoadBook::DeferredLoad> loads) {
  for (LoadBook::DeferredLoad& load : loads) {
    if (SendLoad(load.request, load.record)) continue;
    LoadFailed(load.record, load.record.waiter ? "Sync request failed" : "Async request failed");
    FinishSyncLoad(load.record, false);
  }
}

// ---- outcomes of asynchronous requests ----

void CQmCache::OnAsyncResponseSuccess(std::uint32_t requestId, CMessage& response) {
  CacheDeliveryScope scope;
  // Taken out only once applied: the destructor waits for the book to empty.
  std::optional<LoadBook::Request> request;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    request = loads_.Look(requestId);
  }
  switch (response.QueryEventId()) {
    case kMonitorQueueEvent: {
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Monitor Queue Response received");
      const LoadBook::Request load = request.value_or(LoadBook::Request{});
      const bool applied = ProcessMonitorResponse(response, load);
      if (!applied) LoadFailed(load, "Malformed monitor queue response for");
      FinishSyncLoad(load, applied);
      break;
    }
    case kCacheReloadEvent:
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Cache Reload Response received");
      ProcessCacheReload(response);
      break;
    default:
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Unexpected response received - {}",
               response.QueryEventId());
      if (request && request->waiter) {
        LoadFailed(*request, "Unexpected response for");
        FinishSyncLoad(*request, false);
      }
      break;
  }
  W4Os::CCriticalSectionLock lock(&lock_);
  loads_.Take(requestId);
}

void CQmCache::RequestFailed(std::uint32_t requestId, int level, const char* what, bool timedOut) {
  CacheDeliveryScope scope;
  QM_TRACE(CacheTopic(), level, kFunction, "{}", what);
  std::optional<LoadBook::Request> request;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    request = loads_.Take(requestId);
  }
  if (!request) return;
  // A rejected or lost reload leaves its records awaiting one: the next
  // renegotiation (a server back, a connection back) asks again.
  if (request->reload && timedOut) RetryReload();
  if (request->requester != 0) {
    LoadFailed(*request, request->waiter ? "Sync request failed" : "Async load failed");
  }
  FinishSyncLoad(*request, false);
}

void CQmCache::OnAsyncResponseRejected(std::uint32_t requestId, CMessage& /*rejection*/) {
  RequestFailed(requestId, W4Trace::kLevelFailure, "Async cache update request rejected");
}

void CQmCache::OnAsyncResponseTimeout(std::uint32_t requestId) {
  RequestFailed(requestId, W4Trace::kLevelFailure, "Async cache update request timeout", true);
}

void CQmCache::OnAsyncResponseCancelled(std::uint32_t requestId) {
  RequestFailed(requestId, W4Trace::kLevelWarning, "Async cache update request cancelled");
}

void CQmCache::OnAsyncResponseConnectionLoss(std::uint32_t requestId) {
  RequestFailed(requestId, W4Trace::kLevelWarning,
                "Async cache update request lost with the connection");
}

void AllQueuesCallback::OnAsyncResponseSuccess(std::uint32_t id, CMessage& response) {
  cache_.OnAsyncResponseSuccess(id, response);
}

void AllQueuesCallback::OnAsyncResponseRejected(std::uint32_t id, CMessage& rejection) {
  cache_.OnAsyncResponseRejected(id, rejection);
}

void AllQueuesCallback::OnAsyncResponseTimeout(std::uint32_t id) {
  cache_.OnAsyncResponseTimeout(id);
}

void AllQueuesCallback::OnAsyncResponseCancelled(std::uint32_t id) {
  cache_.OnAsyncResponseCancelled(id);
}

void AllQueuesCallback::OnAsyncResponseConnectionLoss(std::uint32_t id) {
  cache_.OnAsyncResponseConnectionLoss(id);
}

}  // namespace QueueManager
