// Resynchronising the cache after a renegotiated connection: one request for
// every cached queue and every interaction the interaction monitors watch,
// and the reconciliation of the answer with the cached membership.

#include <algorithm>
#include <exception>
#include <optional>
#include <set>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "QueueManager/Platform/ObjectTypes.h"
#include "monitor/CacheTrace.h"
#include "monitor/MessageReaders.h"
#include "monitor/QmCache.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using Kind = CallbackBatch::Kind;

constexpr const char* kFunction = "CQmCache";
// A reload that times out or whose answer is cut short is asked for again,
// this often in a row at most.
constexpr int kReloadAttempts = 4;
// The events of a reloaded queue applied under one hold of the cache lock: a
// fraction of a millisecond's work.
constexpr std::uint32_t kReloadSliceEvents = 256;

}  // namespace

void CQmCache::OnConnectionRenegotiated() {
  CacheDeliveryScope scope;
  RequestReload();
  // An all-queues entity with a subscription is reloaded by its own callback
  // object, which is told too.
  ReloadAllQueuesRecords(false);
  // Monitors whose load failed get another chance on the new connection.
  RetryFailedLoads();
}

void CQmCache::ReloadAllQueuesRecords(bool subscribedToo) {
  // The reload's section of an all-queues entity lists no interaction, so
  // the queues under it are loaded again whole, through the entity's own
  // callback object: in order with its notifications, listing the queues of
  // the type that appeared meanwhile too, and telling its live monitors what
  // changed while the connection was down.
  std::vector<std::pair<CEntityId, std::vector<CQmAttributeName>>> loads;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    for (const CEntityId& queue : tables_.Queues()) {
      const QueueRecord* record = tables_.FindQueue(queue);
      if (queue.QueryObjectId() != W4Notifier::kAllObjects || record->Monitors().empty()) continue;
      if (!subscribedToo && subscriptions_.IsHeld(queue)) continue;
      std::set<CQmAttributeName> names;
      for (const MonitorId monitor : record->Monitors()) {
        for (CQmAttributeName& name : CQueueMonitorProxy::Names(monitor))
          names.insert(std::move(name));
      }
      loads.emplace_back(queue, std::vector<CQmAttributeName>(names.begin(), names.end()));
    }
  }
  for (const auto& [queue, names] : loads) {
    LoadQueue(queue, names, false, false, kNoMonitor, 0, nullptr, /*registeredToo=*/true);
  }
}

void AllQueuesCallback::OnConnectionRenegotiated() {
  // The notifier tells each subscribed object; the cache object reloads the
  // rest when it holds subscriptions of its own. The all-queues entities are
  // reloaded here whatever it holds: one it started since the renegotiation
  // was not told, and would leave them as they were while the connection
  // was down.
  CacheDeliveryScope scope;
  bool cacheTold = false;
  {
    W4Os::CCriticalSectionLock lock(&cache_.lock_);
    cacheTold = cache_.subscriptions_.HoldsSingleQueue() || cache_.clockSubscribed_;
  }
  if (!cacheTold) cache_.RequestReload();
  cache_.ReloadAllQueuesRecords(true);
  if (!cacheTold) cache_.RetryFailedLoads();
}

void CQmCache::RequestReload() {
  const auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection();
  if (!connection) return;
  // Held across the send, as for the initial loads.
  W4Os::CCriticalSectionLock lock(&lock_);
  reloadAttempts_ = 0;
  RequestReloadLocked(connection);
}

void CQmCache::RetryReload() {
  const auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection();
  if (!connection) return;
  W4Os::CCriticalSectionLock lock(&lock_);
  bool awaited = false;
  for (const CEntityId& queue : tables_.Queues()) {
    if (const QueueRecord* record = tables_.FindQueue(queue)) awaited |= record->awaitingReload;
  }
  if (!awaited) return;
  if (reloadAttempts_ >= kReloadAttempts) {
    // Its records stay suspect until the next renegotiation or load.
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Cache reload failed {} times",
             reloadAttempts_);
    return;
  }
  QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction, "Cache reload asked for again");
  RequestReloadLocked(connection);
}

void CQmCache::ReloadForUnsubscribedWatchers() {
  const auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection();
  if (!connection) return;
  W4Os::CCriticalSectionLock lock(&lock_);
  // A cache with subscriptions of its own is told itself and reloads them
  // all; one reload on its way serves every holder.
  if (!subscriptions_.Connections().empty() || clockSubscribed_) return;
  if (loads_.ReloadInFlight()) return;
  RequestReloadLocked(connection);
}

void CQmCache::RequestReloadLocked(
    const std::shared_ptr<W4Notifier::CNotifierConnection>& connection) {
  std::vector<CEntityId> entities = tables_.Queues();
  if (store_ != nullptr) {
    std::vector<std::uint32_t> watched;
    store_->CollectWatchedInteractions(watched);
    for (const std::uint32_t id : watched) {
      entities.emplace_back(W4Notifier::eInteractionRequest, id, 0);
    }
  }
  if (entities.empty()) return;
  ++reloadAttempts_;
  W4Notifier::CRequestObject request(QueueManagerServerEntity(), kCacheReloadEvent);
  request << static_cast<std::int32_t>(entities.size());
  for (const CEntityId& entity : entities) {
    request << static_cast<std::int32_t>(entity.QueryObjectType())
            << static_cast<std::int32_t>(entity.QueryObjectId());
  }
  std::uint32_t requestId = 0;
  if (connection->SendAsyncRequest(request, this, 0, W4Notifier::CNotifierTimeout::Query(),
                                   &requestId) != W4Notifier::eMsgSuccess) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Cache reload request failed");
    return;
  }
  LoadBook::Request stored;
  stored.connection = connection;
  stored.reload = true;
  loads_.Sent(requestId, std::move(stored));
  // Marked once the request is out: what the server tells from now on comes
  // before its answer, which holds it. Earlier changes were applied.
  for (const CEntityId& entity : entities) {
    if (QueueRecord* record = tables_.FindQueue(entity)) record->awaitingReload = true;
  }
}

void CQmCache::ProcessCacheReload(CMessage& response) {
  QM_TRACE_SCOPE(CacheScopeTopic(), "CQmCache::ProcessCacheReload");
  bool cut = false;
  // Applied a section, and a section's slice, at a time; what was applied
  // is told, even when the rest of the response is lost.
  try {
    ReadServerTime(response);
    while (!response.IsAtEndOfData()) ReloadSection(response);
  } catch (const W4Notifier::CException& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
             "Malformed cache reload response, rest dropped: {}", e.what());
    cut = true;
  } catch (const std::exception& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
             "Cache reload response, rest dropped: {}", e.what());
    cut = true;
  }
  bool forgotten = false;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    if (!cut) reloadAttempts_ = 0;
    forgotten = std::exchange(namesForgotten_, false);
  }
  // The queues of the lost rest are settled by another reload.
  if (cut) RetryReload();
  if (forgotten) AskForNamesAgain();
}

void CQmCache::AskForNamesAgain() {
  std::vector<std::pair<CEntityId, MonitorId>> loaded;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    for (const CEntityId& queue : tables_.Queues()) {
      if (const QueueRecord* record = tables_.FindQueue(queue)) {
        for (const MonitorId monitor : record->Monitors()) loaded.emplace_back(queue, monitor);
      }
    }
  }
  QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
           "The server forgot the monitored names: asking for those of {} monitors again",
           loaded.size());
  // As a live monitor asks for more names: the answers bring each monitor
  // the values of its names, as updates of the members it holds.
  for (const auto& [queue, monitor] : loaded) {
    LoadQueue(queue, CQueueMonitorProxy::Names(monitor), /*addingAttributes=*/true, false, monitor,
              0, nullptr, /*registeredToo=*/true);
  }
}

void CQmCache::ReloadSection(CMessage& response) {
  const CEntityId entity = ReadEntity(response);
  if (entity.QueryObjectType() != W4Notifier::eInteractionRequest) {
    ReloadQueue(entity, response);
    return;
  }
  const InteractionReloadRecord record = ReadInteractionRecord(response);
  const std::uint32_t id = record.interaction.QueryObjectId();
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Reload of interaction {}: {}", id,
           MapText(record.attributes));
  // Only the cache's own store: each interaction monitor refreshes what it
  // watches itself, on its own delivery order (a record applied from here
  // could overtake a newer notification of the monitor).
  W4Os::CCriticalSectionLock lock(&lock_);
  for (const auto& [name, value] : record.attributes) SetAttributeLocked(id, name, value);
}

void CQmCache::ReloadQueue(const CEntityId& queue, CMessage& response) {
  const std::vector<CQmAttributeName> names = ReadNameList(response);
  bool exists = false;
  response >> exists;
  std::optional<CQmQueueStats> stats;
  std::uint32_t count = 0;
  if (exists) {
    bool hasStats = false;
    response >> hasStats;
    if (hasStats) response >> stats.emplace();
    response >> count;
  }
  // Only the queue's own record: a child record under its type's all-queues
  // entity follows that entity's callback object, which a reload answer on
  // this one could overtake or fall behind; ReloadAllQueuesRecords reloads
  // the children on their own object.
  ReloadedRecord record;
  bool namesKnown = false;
  {
    CBatchLease batch;
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      namesKnown = tables_.Names().HasAny(queue.QueryObjectType());
      RegisterNamesLocked(queue.QueryObjectType(), names);
      if (!exists) {
        QueueRemovedLocked(queue, false, *batch);
      } else if (tables_.FindQueue(queue) == nullptr) {
        QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
                 "Reload of {} skipped: the queue is not cached", ScopedName(queue));
      } else {
        StartReloadLocked(queue, stats, record, *batch);
      }
    }
    FinishBatch(*batch);
  }
  // The events a slice at a time, the lock let go between slices: no
  // notification of the queue comes between them, since they reach the
  // cache on the thread that applies this answer, after it.
  bool valueless = true;
  QueueEventsLease events;
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t slice = std::min(count - done, kReloadSliceEvents);
    events->Clear();
    for (std::uint32_t i = 0; i < slice; ++i) {
      QueueEvent& event = events->Add();
      ReadQueueEvent(response, event);
      valueless &= event.attributes.empty();
    }
    done += slice;
    CBatchLease batch;
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      for (const QueueEvent& event : events->Events()) {
        if (record.loaded) DropUnconfirmedLocked(event, names);
        ReloadEventLocked(queue, event, record, *batch);
      }
    }
    FinishBatch(*batch);
  }
  {
    CBatchLease batch;
    std::deque<QueueEvent> removals;
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      // No name and no value at all for a type whose values this cache had
      // the server send: the server has forgotten the names, as one that
      // restarted does.
      if (exists && namesKnown && names.empty() && valueless) namesForgotten_ = true;
      if (record.loaded) {
        RemoveLeftoversLocked(BodyRoute(queue, false), record.leftovers, removals, *batch);
        // Settled only by the whole section: one cut short is asked for again.
        QueueRecord* settled = tables_.FindQueue(queue);
        if (settled != nullptr) settled->awaitingReload = false;
      }
    }
    FinishBatch(*batch);
  }
}

void CQmCache::StartReloadLocked(const CEntityId& queue, const std::optional<CQmQueueStats>& stats,
                                 ReloadedRecord& reloaded, CallbackBatch& batch) {
  QueueRecord* record = tables_.FindQueue(queue);
  if (record == nullptr) return;
  reloaded.loaded = true;
  // A reload carries no sequence number: the next notification is taken
  // whatever its number (the server may have restarted its count).
  record->lastSequence = 0;
  // The interactions the cache holds for the queue; what the server does not
  // list any more left the queue while the connection was down.
  const std::vector<std::uint32_t> members = record->MemberIds();
  reloaded.leftovers.insert(members.begin(), members.end());
  if (stats) {
    record->stats = *stats;
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Updating statistics {}",
             ScopedName(queue));
    batch.Add(Kind::kStatisticsUpdate, GetMonitors(BodyRoute(queue, false), batch), queue, {},
              nullptr, batch.Keep(*stats));
  }
}

void CQmCache::ReloadEventLocked(const CEntityId& queue, const QueueEvent& event,
                                 ReloadedRecord& record, CallbackBatch& batch) {
  if (!record.loaded) return;
  // One that joined while the connection was down is an addition; one the
  // cache holds already is not added to its monitors a second time, however
  // the server marks it.
  const bool added = record.leftovers.erase(event.interaction.QueryObjectId()) == 0;
  ApplyEventLocked(BodyRoute(queue, false), event, batch, true, added);
}

void CQmCache::RemoveLeftoversLocked(const BodyRoute& route,
                                     const std::unordered_set<std::uint32_t>& leftovers,
                                     std::deque<QueueEvent>& removals, CallbackBatch& batch) {
  QueueRecord* record = tables_.FindRoute(route.queue, route.viaAllQueues);
  if (record == nullptr) return;
  for (const std::uint32_t id : leftovers) {
    // One that left meanwhile (a holder applies its queue's notifications
    // on a thread of its own) is not removed twice.
    if (!record->Holds(id)) continue;
    // Removed by the saved id: the object type only names it in callbacks.
    const InteractionRecord* interaction = tables_.FindInteraction(id);
    QueueEvent& removal = removals.emplace_back();
    removal.interaction = CEntityId(
        interaction != nullptr ? interaction->Type() : W4Notifier::eObjectTypeNone, id, 0);
    removal.removed = true;
    ApplyEventLocked(route, removal, batch);
  }
}

}  // namespace QueueManager
