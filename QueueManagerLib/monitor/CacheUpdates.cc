// Changes of the cache's tables, made under the cache lock, and the delivery
// of the callbacks they cause after it was released.

#include <fmt/format.h>

#include "QueueManager/Platform/ObjectTypes.h"
#include "monitor/CacheTrace.h"
#include "monitor/QmCache.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using Kind = CallbackBatch::Kind;

constexpr const char* kFunction = "CQmCache";

// Subscriptions to reconcile that a callback on this thread left for later.
thread_local std::vector<CEntityId> t_deferredSubscriptions;

CEntityId AllQueuesEntity(const CEntityId& queue) {
  return CEntityId(queue.QueryObjectType(), W4Notifier::kAllObjects, 0);
}

}  // namespace

CallbackBatch::Group CQmCache::GetMonitors(const CEntityId& queue, bool initialResponse,
                                           CQmQueueMonitor* requester, CallbackBatch& batch) {
  const bool anyPending = !pending_.empty();
  // A response answers one monitor's request: handing it to every pending
  // monitor would give a monitor the contents of two concurrent loads, and
  // callbacks on a thread that is not its own.
  auto wanted = [&](CQmQueueMonitor* monitor) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_) {
    const bool pending = anyPending && pending_.count(monitor) != 0;
    if (!initialResponse) return !pending;
    return pending && (requester == nullptr || monitor == requester);
  };
  batch.BeginGroup();
  if (const QueueRecord* own = tables_.FindQueue(queue)) {
    for (CQmQueueMonitor* monitor : own->Monitors()) {
      if (wanted(monitor)) batch.AddUniqueMonitor(monitor);  // a record lists each once
    }
  }
  // The monitors of the all-queues entity see the live events of every cached
  // queue of its type; an initial response concerns only the monitors that
  // asked for it (a pending all-queues monitor waits for its own).
  if (!initialResponse && queue.QueryObjectId() != W4Notifier::kAllObjects &&
      tables_.HasAllQueuesRecord()) {
    if (const QueueRecord* all = tables_.FindQueue(AllQueuesEntity(queue))) {
      for (CQmQueueMonitor* monitor : all->Monitors()) {
        if (wanted(monitor)) batch.AddMonitor(monitor);
      }
    }
  }
  return batch.EndGroup();
}

void CQmCache::QueueRemovedLocked(const CEntityId& queue, CallbackBatch& batch) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "CQmCache::QueueRemoved({})",
           ScopedName(queue));
  const QueueRecord* record = tables_.FindQueue(queue);
  if (record == nullptr) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
             "Queue removal of {} skipped: the queue is not cached", ScopedName(queue));
    return;
  }
  // Every attached monitor hears of it, pending or not: a pending monitor
  // waits for contents that will never come.
  batch.BeginGroup();
  for (CQmQueueMonitor* monitor : record->Monitors()) {
    batch.AddUniqueMonitor(monitor);
    pending_.erase(monitor);
  }
  if (queue.QueryObjectId() != W4Notifier::kAllObjects) {
    if (const QueueRecord* all = tables_.FindQueue(AllQueuesEntity(queue))) {
      for (CQmQueueMonitor* monitor : all->Monitors()) {
        if (pending_.count(monitor) == 0) batch.AddMonitor(monitor);
      }
    }
  }
  const CallbackBatch::Group group = batch.EndGroup();
  DropQueueLocked(queue, batch);
  batch.Add(Kind::kQueueRemoved, group, queue);
}

void CQmCache::DropQueueLocked(const CEntityId& queue, CallbackBatch& batch) {
  std::vector<std::uint32_t> departed;
  if (!tables_.DropQueue(queue, departed)) return;
  for (const std::uint32_t id : departed) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "{} removed from cache", id);
  }
  if (subscriptions_.Want(queue, false)) batch.SubscriptionsToReconcile().push_back(queue);
}

void CQmCache::ApplyEventLocked(const CEntityId& queue, const QueueEvent& event,
                                bool initialResponse, CQmQueueMonitor* requester,
                                CallbackBatch& batch) {
  QueueRecord* record = tables_.FindQueue(queue);
  if (record == nullptr) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
             "Event of {} for {} skipped: the queue is not cached",
             event.interaction.QueryObjectId(), ScopedName(queue));
    return;
  }
  const std::uint32_t id = event.interaction.QueryObjectId();
  const CallbackBatch::Group group = GetMonitors(queue, initialResponse, requester, batch);
  InteractionRecord* interaction = nullptr;
  if (event.added) {
    interaction = &tables_.AddToQueue(*record, id, event.interaction.QueryObjectType());
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, "QmCache:InteractionAddedToQueue", "{} {} Added",
             ScopedName(queue), id);
  } else {
    interaction = tables_.FindInteraction(id);
  }
  if (interaction != nullptr && !event.attributes.empty()) CacheTables::Prefetch(*interaction);
  for (const auto& entry : event.attributes) {
    tables_.Names().Register(queue.QueryObjectType(), entry.first);
  }
  if (interaction != nullptr) {
    tables_.UpdateAttributes(*interaction, *record, event.attributes,
                             [](const CQmAttributeName& name, const CQmAttributeValue& value) {
                               QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
                                        "{}={} - same value as in cache", name, value);
                             });
  }
  if (event.added) {
    batch.Add(Kind::kInteractionAdded, group, queue, event.interaction, &event.attributes);
  } else if (!event.attributes.empty()) {
    batch.Add(Kind::kAttributesUpdated, group, queue, event.interaction, &event.attributes);
  }
  if (event.removed) {
    tables_.RemoveFromQueue(*record, id);
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, "QmCache:InteractionRemovedFromQueue",
             "{} {} Removed", ScopedName(queue), id);
    batch.Add(Kind::kInteractionRemoved, group, queue, event.interaction);
    batch.Departures().push_back(id);
  }
}

void CQmCache::EndPendingLocked(const CEntityId& queue, CQmQueueMonitor* requester) {
  const QueueRecord* record = tables_.FindQueue(queue);
  if (record == nullptr || pending_.empty()) return;
  for (CQmQueueMonitor* monitor : record->Monitors()) {
    if (requester == nullptr || monitor == requester) pending_.erase(monitor);
  }
}

bool CQmCache::SetAttributeLocked(std::uint32_t id, const CQmAttributeName& name,
                                  const CQmAttributeValue& value) {
  switch (tables_.SetAttribute(id, name, value)) {
    case AttributeStore::kChanged:
      return true;
    case AttributeStore::kSame:
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "{}={} - same value as in cache",
               name, value);
      return false;
    case AttributeStore::kNotMonitored:
      break;
  }
  return false;
}

bool CQmCache::QueryAttributeLocked(std::uint32_t id, const CQmAttributeName& name,
                                    CQmAttributeValue& value) {
  const AttributeLookup lookup = tables_.QueryAttribute(id, name, value);
  switch (lookup) {
    case AttributeLookup::kFound:
      return true;
    case AttributeLookup::kNoEntries:
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
               "{} - no entries in cache for this interaction", id);
      return true;
    case AttributeLookup::kNotSet:
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "{} - attribute not set", name);
      return true;
    case AttributeLookup::kNotCached:
    case AttributeLookup::kNotOnMonitoringQueue:
      break;
  }
  if (store_ != nullptr && store_->QueryAttribute(id, name, value)) return true;
  value.clear();
  if (lookup == AttributeLookup::kNotOnMonitoringQueue) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
             "{} - interaction not on a queue monitoring this attribute", id);
  } else {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "{} - attribute not cached", name);
  }
  return false;
}

void CQmCache::FeedClockLocked(ServerSeconds serverTime) {
  if (const auto skew = clockFilter_.AddSample(serverTime, LocalUtcSeconds())) {
    clockSkew_.store(*skew, std::memory_order_relaxed);
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, "CQmCache::ComputeClockAdjustment",
             "clock skew set to {}sec", *skew);
  }
}

void CQmCache::FinishBatch(CallbackBatch& batch) {
  if (batch.HasCallbacks()) batch.Deliver();
  std::vector<CEntityId>& reconcile = batch.SubscriptionsToReconcile();
  if (CQueueMonitorProxy::InsideCallback()) {
    // Stopping a subscription waits until the notifier's delivery thread is
    // out of the cache; that thread may be waiting for its turn to call the
    // monitor whose callback this thread is in. The outermost batch of this
    // thread reconciles once its callbacks are over.
    t_deferredSubscriptions.insert(t_deferredSubscriptions.end(), reconcile.begin(),
                                   reconcile.end());
  } else {
    reconcile.insert(reconcile.end(), t_deferredSubscriptions.begin(),
                     t_deferredSubscriptions.end());
    t_deferredSubscriptions.clear();
    for (const CEntityId& queue : reconcile) ReconcileSubscription(queue);
  }
  if (!batch.InteractionRecords().empty()) {
    IInteractionMonitorStore* store = nullptr;
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      store = store_;
    }
    if (store != nullptr) {
      for (const InteractionReloadRecord& record : batch.InteractionRecords()) {
        store->ReloadCache(record);
      }
    }
  }
  if (batch.Departures().empty()) return;
  W4Os::CCriticalSectionLock lock(&lock_);
  for (const std::uint32_t id : batch.Departures()) {
    if (tables_.ForgetIfUnqueued(id)) {
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "{} removed from cache", id);
    }
  }
}

}  // namespace QueueManager
