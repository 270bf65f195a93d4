// Changes of the cache's tables, made under the cache lock, and the delivery
// of the callbacks they cause after it was released.

#include <algorithm>

#include <fmt/format.h>

#include "QueueManager/Platform/ObjectTypes.h"
#include "monitor/CacheTrace.h"
#include "monitor/CallbackGate.h"
#include "monitor/QmCache.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using Kind = CallbackBatch::Kind;

constexpr const char* kFunction = "CQmCache";

CEntityId AllQueuesEntity(const CEntityId& queue) {
  return CEntityId(queue.QueryObjectType(), W4Notifier::kAllObjects, 0);
}

}  // namespace

CallbackBatch::Group CQmCache::GetMonitors(const CEntityId& queue, bool viaAllQueues,
                                           bool initialResponse, const LoadTicket& answer,
                                           CallbackBatch& batch) {
  batch.BeginGroup();
  // A queue reached through its all-queues entity is watched by that entity's
  // monitors; a queue's own record by its own. The two are fed by separate
  // subscriptions, so each monitor hears of an event once.
  const QueueRecord* record = tables_.FindQueue(viaAllQueues ? AllQueuesEntity(queue) : queue);
  if (record == nullptr) return batch.EndGroup();
  if (initialResponse) {
    // A response answers one monitor's load: the others either have their
    // contents or wait for their own answer.
    if (ServesLoadLocked(answer) && std::find(record->Monitors().begin(), record->Monitors().end(),
                                              answer.monitor) != record->Monitors().end()) {
      batch.AddUniqueMonitor(answer.monitor);
    }
    return batch.EndGroup();
  }
  const bool anyPending = !loads_.empty();
  for (const MonitorId monitor : record->Monitors()) {
    if (!anyPending || IsLiveLocked(monitor)) batch.AddUniqueMonitor(monitor);
  }
  return batch.EndGroup();
}

bool CQmCache::AnswersCurrentLoadLocked(const LoadTicket& ticket) const {
  const auto it = loads_.find(ticket.monitor);
  return it != loads_.end() && it->second.load == ticket.load &&
         it->second.state != LoadState::kFailed;
}

bool CQmCache::ServesLoadLocked(const LoadTicket& ticket) const {
  const auto it = loads_.find(ticket.monitor);
  // More names serve a live monitor (the queue record tells whether it is
  // still attached), whichever of its requests for more brought them; whole
  // contents serve only a monitor that awaits that very load: one superseded
  // meanwhile would give it its contents twice.
  if (ticket.adding) return it == loads_.end() || it->second.state == LoadState::kAdding;
  if (it == loads_.end()) return false;
  return it->second.state == LoadState::kAwaiting && it->second.load == ticket.load;
}

bool CQmCache::IsLiveLocked(MonitorId monitor) const {
  const auto it = loads_.find(monitor);
  return it == loads_.end() || it->second.state == LoadState::kAdding;
}

void CQmCache::QueueRemovedLocked(const CEntityId& queue, bool viaAllQueues, CallbackBatch& batch) {
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "CQmCache::QueueRemoved({})",
           ScopedName(queue));
  const QueueRecord* watched = tables_.FindQueue(viaAllQueues ? AllQueuesEntity(queue) : queue);
  if (watched == nullptr) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
             "Queue removal of {} skipped: the queue is not cached", ScopedName(queue));
    return;
  }
  batch.BeginGroup();
  if (viaAllQueues) {
    // One queue of the type is gone; the all-queues monitors watch the rest.
    for (const MonitorId monitor : watched->Monitors()) {
      if (IsLiveLocked(monitor)) batch.AddUniqueMonitor(monitor);
    }
  } else {
    // Every attached monitor hears of it, pending or not: a pending monitor
    // waits for contents that will never come.
    for (const MonitorId monitor : watched->Monitors()) {
      batch.AddUniqueMonitor(monitor);
      loads_.erase(monitor);
    }
  }
  const CallbackBatch::Group group = batch.EndGroup();
  DropQueueLocked(queue, viaAllQueues, batch);
  batch.Add(Kind::kQueueRemoved, group, queue);
}

void CQmCache::DropQueueLocked(const CEntityId& queue, bool viaAllQueues, CallbackBatch& batch) {
  std::vector<std::uint32_t> departed;
  if (!tables_.DropQueue(queue, departed, viaAllQueues)) return;
  for (const std::uint32_t id : departed) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "{} removed from cache", id);
  }
  if (!viaAllQueues) UnsubscribeLocked(queue, batch);
}

void CQmCache::UnsubscribeLocked(const CEntityId& queue, CallbackBatch& batch) {
  if (subscriptions_.Want(queue, false)) batch.SubscriptionsToReconcile().push_back(queue);
}

void CQmCache::ApplyEventLocked(const CEntityId& queue, bool viaAllQueues, const QueueEvent& event,
                                bool initialResponse, const LoadTicket& answer,
                                CallbackBatch& batch) {
  QueueRecord* record = tables_.FindRoute(queue, viaAllQueues);
  if (record == nullptr) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
             "Event of {} for {} skipped: the queue is not cached",
             event.interaction.QueryObjectId(), ScopedName(queue));
    return;
  }
  const std::uint32_t id = event.interaction.QueryObjectId();
  if (!initialResponse && record->awaitingReload && event.added == record->Holds(id)) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
             "Event of {} for {} left to the awaited reload: the queue {} it", id,
             ScopedName(queue), event.added ? "holds" : "does not hold");
    return;
  }
  const CallbackBatch::Group group =
      GetMonitors(queue, viaAllQueues, initialResponse, answer, batch);
  // More names' values of an interaction the queue does not hold (it left
  // after the answer was sent) are stored, and not told as an update of a
  // member.
  const bool told = !(initialResponse && answer.adding && !event.added && !record->Holds(id));
  StoreEventLocked(queue, *record, event);
  // The callbacks' map is built only when somebody is called back.
  if (group.count != 0 && event.added) {
    batch.Add(Kind::kInteractionAdded, group, queue, event.interaction, &event.attributes.Map());
  } else if (group.count != 0 && !event.attributes.empty() && told) {
    batch.Add(Kind::kAttributesUpdated, group, queue, event.interaction, &event.attributes.Map());
  }
  if (event.removed) {
    RemoveFromQueueLocked(queue, *record, id);
    batch.Add(Kind::kInteractionRemoved, group, queue, event.interaction);
    batch.Departures().push_back(id);
  }
}

void CQmCache::StoreEventLocked(const CEntityId& queue, QueueRecord& record,
                                const QueueEvent& event) {
  const std::uint32_t id = event.interaction.QueryObjectId();
  InteractionRecord* interaction = nullptr;
  if (event.added) {
    interaction = &tables_.AddToQueue(record, id, event.interaction.QueryObjectType());
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, "QmCache:InteractionAddedToQueue", "{} {} Added",
             ScopedName(queue), id);
  } else {
    interaction = tables_.FindInteraction(id);
  }
  if (interaction != nullptr && !event.attributes.empty()) CacheTables::Prefetch(*interaction);
  for (std::size_t i = 0; i < event.attributes.size(); ++i) {
    tables_.Names().Register(queue.QueryObjectType(), event.attributes.Name(i));
  }
  if (interaction != nullptr) {
    tables_.UpdateAttributes(*interaction, record, event.attributes,
                             [](const CQmAttributeName& name, std::u16string_view value) {
                               QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
                                        "{}={} - same value as in cache", name,
                                        CQmAttributeValue(value));
                             });
  }
}

void CQmCache::RemoveFromQueueLocked(const CEntityId& queue, QueueRecord& record,
                                     std::uint32_t id) {
  tables_.RemoveFromQueue(record, id);
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, "QmCache:InteractionRemovedFromQueue",
           "{} {} Removed", ScopedName(queue), id);
}

void CQmCache::ForgetIfUnqueuedLocked(std::uint32_t id) {
  if (tables_.ForgetIfUnqueued(id)) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "{} removed from cache", id);
  }
}

void CQmCache::DropUnconfirmedLocked(const QueueEvent& event,
                                     const std::vector<CQmAttributeName>& names) {
  // A set is written through to the cache before it is sent, and stays when
  // it never reaches the server (the connection was down, nobody served).
  // The server's answer puts such a value right. Monitors were never told
  // it, so they are not told its end either.
  if (event.removed) return;
  InteractionRecord* interaction = tables_.FindInteraction(event.interaction.QueryObjectId());
  if (interaction == nullptr) return;
  // Usually the answer lists every value cached: one walk finds nothing.
  std::vector<CQmAttributeName> emptied;
  interaction->ForEachUnlisted(event.attributes, [&](const CQmAttributeName& name) {
    if (std::ranges::find(names, name) != names.end()) emptied.push_back(name);
  });
  for (const CQmAttributeName& name : emptied) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
             "{} of {} emptied: the server holds no value", name,
             event.interaction.QueryObjectId());
    tables_.SetAttribute(*interaction, name, CQmAttributeValue());
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

void CQmCache::DrainHandOff(MonitorId monitor) { handOffs_.Drain(monitor); }

void CQmCache::FinishBatch(CallbackBatch& batch) {
  if (batch.HasCallbacks()) batch.Deliver(handOffs_);
  std::vector<CEntityId>& reconcile = batch.SubscriptionsToReconcile();
  if (!reconcile.empty()) {
    // Stopping a subscription waits until the notifier's delivery thread is
    // out of the cache; that thread may be waiting for its turn to call the
    // monitor whose callback this thread is in: inside a callback, the
    // reconciling waits until this thread's callbacks are over.
    CallbackGate::AfterCallbacks([this, queues = std::move(reconcile)] {
      for (const CEntityId& queue : queues) ReconcileSubscription(queue);
    });
    reconcile.clear();
  }
  if (batch.Departures().empty()) return;
  W4Os::CCriticalSectionLock lock(&lock_);
  for (const std::uint32_t id : batch.Departures()) ForgetIfUnqueuedLocked(id);
}

}  // namespace QueueManager
