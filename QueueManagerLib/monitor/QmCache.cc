// The cache object: construction and shutdown, activation, deactivation,
// loading, subscriptions and the outcomes of asynchronous requests.

#include "monitor/QmCache.h"

#include <chrono>
#include <thread>
#include <tuple>
#include <utility>

#include <fmt/format.h>

#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/Trace.h"
#include "attributes/ObjectTypeLookup.h"
#include "monitor/CacheTrace.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::CNotifierHandle;
using W4Notifier::CNotifierTimeout;

constexpr int kMonitorQueueEvent = 0;
constexpr int kCacheReloadEvent = 2;
constexpr const char* kFunction = "CQmCache";
// How long the destructor waits for the outcomes of cancelled requests.
constexpr auto kShutdownWait = std::chrono::seconds(2);

// 0 never built, 1 alive, 2 destroyed. Trivially destructible, so it can be
// read after the cache is gone.
std::atomic<int> g_cacheState{0};

W4Notifier::ObjectTypes CachedObjectType(std::uint32_t id) {
  if (!CQmCache::Exists()) return W4Notifier::eObjectTypeNone;
  return CQmCache::Instance().QueryUnderlyingEntityId(InteractionId(id)).QueryObjectType();
}

}  // namespace

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
  const auto connection = CNotifierHandle::GetDefaultHandle().Connection();
  if (!connection) return;
  connection->StopAllMessages(static_cast<W4Notifier::IMessageCallback*>(this));
  connection->StopAllMessages(&allQueuesCallback_);
  std::vector<std::uint32_t> requests;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    for (const auto& entry : outstanding_) requests.push_back(entry.first);
  }
  for (const std::uint32_t request : requests) connection->CancelAsyncRequest(request);
  // A cancelled request still gets its outcome on a delivery thread: wait for
  // it, so that none reaches a destroyed cache.
  const auto deadline = std::chrono::steady_clock::now() + kShutdownWait;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      if (outstanding_.empty()) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// ---- activation and deactivation ----

void CQmCache::ActivateMonitor(const CEntityId& queue, CQmQueueMonitor* monitor,
                               const std::vector<CQmAttributeName>& names, bool addingAttributes,
                               bool synchronous, bool subscribe) {
  QM_TRACE_SCOPE(CacheScopeTopic(), "CQmCache::ActivateMonitor");
  CQueueMonitorProxy::Activate(monitor);
  bool created = false;
  bool reconcile = false;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "CQmCache::Activate({},{},{}{}{})",
             ScopedName(queue), fmt::ptr(monitor), NamesText(names),
             addingAttributes ? ",AddingAttributes" : "", synchronous ? ",Synchronous" : ",Async");
    QueueRecord* record = nullptr;
    std::tie(record, created) = tables_.FindOrAddQueue(queue);
    pending_.insert(monitor);
    record->AddMonitor(monitor);
    if (subscribe) reconcile = subscriptions_.Want(queue, true);
  }
  // Subscribed before the request goes out, so that no change after the
  // server's answer is missed.
  if (reconcile) ReconcileSubscription(queue);
  // A queue that the cache knows already is loaded synchronously, so that the
  // new monitor's initial contents are not mixed with live events.
  const bool asynchronous = !synchronous && created;
  const bool loaded =
      Loadcache(queue, names, asynchronous ? false : addingAttributes, !asynchronous, monitor);
  if (!loaded && addingAttributes && !asynchronous) {
    // The monitor was receiving live events before it asked for more names;
    // left pending it would stay deaf for ever.
    W4Os::CCriticalSectionLock lock(&lock_);
    pending_.erase(monitor);
  }
}

void CQmCache::DeactivateMonitor(const CEntityId& queue, CQmQueueMonitor* monitor) {
  QM_TRACE_SCOPE(CacheScopeTopic(), "CQmCache::DeactivateMonitor");
  // Outside the cache lock: this waits for callbacks that may query the cache.
  CQueueMonitorProxy::Deactivate(monitor);
  CBatchLease batch;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "CQmCache::DeactivateMonitor({},{})",
             ScopedName(queue), fmt::ptr(monitor));
    pending_.erase(monitor);
    QueueRecord* record = tables_.FindQueue(queue);
    if (record != nullptr && record->RemoveMonitor(monitor) && record->Monitors().empty()) {
      DropQueueLocked(queue, *batch);
    }
  }
  FinishBatch(*batch);
}

// ---- loading ----

bool CQmCache::Loadcache(const CEntityId& queue, const std::vector<CQmAttributeName>& names,
                         bool addingAttributes, bool synchronous, CQmQueueMonitor* requester) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Loadcache({}) {}{}{}",
           ScopedName(queue), NamesText(names), addingAttributes ? ",AddingAttributes" : "",
           synchronous ? ",Synchronous" : ",Async");
  std::vector<CQmAttributeName> kept;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    kept = tables_.Names().Unregistered(queue.QueryObjectType(), names);
  }
  W4Notifier::CRequestObject request(QueueManagerServerEntity(), kMonitorQueueEvent);
  request << addingAttributes << static_cast<std::int32_t>(queue.QueryObjectType())
          << static_cast<std::int32_t>(queue.QueryObjectId())
          << static_cast<std::int32_t>(kept.size());
  for (const CQmAttributeName& name : kept) name.Write(request);

  if (!synchronous && CNotifierHandle::GetDefaultConnection()) {
    if (SendAsyncLoad(request, queue, requester)) return true;
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Async request failed {}",
             ScopedName(queue));
  }
  W4Notifier::CResponseObject response;
  if (request.Send(response, CNotifierTimeout::Query()) == 0) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Sync request failed {}",
             ScopedName(queue));
    return false;
  }
  return ProcessMonitorResponse(response, queue, requester);
}

bool CQmCache::SendAsyncLoad(const CMessage& request, const CEntityId& queue,
                             CQmQueueMonitor* requester) {
  const auto connection = CNotifierHandle::GetDefaultConnection();
  if (!connection) return false;
  // Held across the send: the response may arrive on a delivery thread at
  // once and must find the request recorded.
  W4Os::CCriticalSectionLock lock(&lock_);
  std::uint32_t requestId = 0;
  const W4Notifier::eMsgCode result =
      connection->SendAsyncRequest(request, this, 0, CNotifierTimeout::Query(), &requestId);
  if (result != W4Notifier::eMsgSuccess) return false;
  outstanding_[requestId] = OutstandingRequest{queue, requester};
  return true;
}

// ---- subscriptions ----

W4Notifier::IMessageCallback* CQmCache::SubscriberFor(const CEntityId& queue) {
  if (queue.QueryObjectId() == W4Notifier::kAllObjects) return &allQueuesCallback_;
  return this;
}

void CQmCache::ReconcileSubscription(const CEntityId& queue) {
  while (true) {
    std::optional<bool> start;
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      start = subscriptions_.NextStep(queue);
    }
    if (!start) return;
    bool held = false;
    if (const auto connection = CNotifierHandle::GetDefaultHandle().Connection()) {
      W4Notifier::IMessageCallback* subscriber = SubscriberFor(queue);
      if (*start) {
        held = connection->StartNotifications(queue, kMonitorQueueEvent, subscriber, 0, nullptr, {},
                                              u"QueueMonitor") == W4Notifier::eMsgSuccess;
      } else {
        connection->StopNotifications(queue, kMonitorQueueEvent, subscriber, 0);
      }
    }
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      subscriptions_.Completed(queue, *start, held);
    }
    if (held != *start) return;  // no connection: the next activation retries
  }
}

// ---- outcomes of asynchronous requests ----

void CQmCache::OnAsyncResponseSuccess(std::uint32_t requestId, CMessage& response) {
  OutstandingRequest request;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    if (const auto it = outstanding_.find(requestId); it != outstanding_.end()) {
      request = it->second;
    }
  }
  switch (response.QueryEventId()) {
    case kMonitorQueueEvent:
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Monitor Queue Response received");
      ProcessMonitorResponse(response, request.queue, request.requester);
      break;
    case kCacheReloadEvent:
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Cache Reload Response received");
      ProcessCacheReload(response);
      break;
    default:
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Unexpected response received - {}",
               response.QueryEventId());
      break;
  }
  ForgetOutstanding(requestId);
}

void CQmCache::OnAsyncResponseRejected(std::uint32_t requestId, CMessage& /*rejection*/) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Async cache update request rejected");
  ForgetOutstanding(requestId);
}

void CQmCache::OnAsyncResponseTimeout(std::uint32_t requestId) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Async cache update request timeout");
  ForgetOutstanding(requestId);
}

void CQmCache::OnAsyncResponseCancelled(std::uint32_t requestId) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction, "Async cache update request cancelled");
  ForgetOutstanding(requestId);
}

void CQmCache::OnAsyncResponseConnectionLoss(std::uint32_t requestId) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
           "Async cache update request lost with the connection");
  ForgetOutstanding(requestId);
}

void CQmCache::ForgetOutstanding(std::uint32_t requestId) {
  W4Os::CCriticalSectionLock lock(&lock_);
  outstanding_.erase(requestId);
}

}  // namespace QueueManager
