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

}  // namespace

CallbackBatch::Group CQmCache::GetMonitors(const BodyRoute& route, CallbackBatch& batch) {
  batch.BeginGroup();
  // A queue reached through its all-queues entity is watched by that entity's
  // monitors; a queue's own record by its own. The two are fed by separate
  // subscriptions, so each monitor hears of an event once.
  const QueueRecord* record =
      tables_.FindQueue(route.viaAllQueues ? AllQueuesEntity(route.queue) : route.queue);
  if (record == nullptr) return batch.EndGroup();
  if (route.initialResponse) {
    // A response answers one monitor's load: the others either have their
    // contents or wait for their own answer.
    const MonitorId monitor = route.answer.monitor;
    if (loads_.Serves(route.answer) &&
        std::ranges::find(record->Monitors(), monitor) != record->Monitors().end()) {
      batch.AddUniqueMonitor(monitor);
    }
    return batch.EndGroup();
  }
  const bool anyPending = loads_.AnyPending();
  for (const MonitorId monitor : record->Monitors()) {
    if (!anyPending || loads_.IsLive(monitor)) batch.AddUniqueMonitor(monitor);
  }
  return batch.EndGroup();
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
      if (loads_.IsLive(monitor)) batch.AddUniqueMonitor(monitor);
    }
  } else {
    // Every attached monitor hears of it, pending or not: a pending monitor
    // waits for contents that will never come.
    for (const MonitorId monitor : watched->Monitors()) {
      batch.AddUniqueMonitor(monitor);
      loads_.Forget(monitor);
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

void CQmCache::ApplyEventLocked(const BodyRoute& route, const QueueEvent& event,
                                CallbackBatch& batch, bool store, std::optional<bool> added) {
  const bool adds = added.value_or(event.added);
  const CEntityId& queue = route.queue;
  QueueRecord* record = tables_.FindRoute(queue, route.viaAllQueues);
  if (record == nullptr) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
             "Event of {} for {} skipped: the queue is not cached",
             event.interaction.QueryObjectId(), ScopedName(queue));
    return;
  }
  const std::uint32_t id = event.interaction.QueryObjectId();
  if (!route.initialResponse && record->awaitingReload && adds == record->Holds(id)) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
             "Event of {} for {} left to the awaited reload: the queue {} it", id,
             ScopedName(queue), adds ? "holds" : "does not hold");
    return;
  }
  const CallbackBatch::Group group = GetMonitors(route, batch);
  // Whether the queue held the interaction before this event. An addition
  // reads the queue's member slot it is about to write; any other event reads
  // the interaction's own record once the store has brought it into the
  // cache, since a big queue's member table would cost one more cache miss
  // per update.
  bool held = adds && record->Holds(id);
  if (store) StoreEventLocked(queue, *record, event, adds);
  if (!adds) {
    const InteractionRecord* interaction = tables_.FindInteraction(id);
    held = interaction != nullptr && interaction->IsOn(record);
  }
  const bool live = !route.initialResponse;
  // Values of an interaction the queue does not hold are stored and not told
  // as an update of a member: more names' values of one that left after the
  // answer was sent, or a live update to a record that is behind (a queue
  // met anew after a renegotiation, before its reload tells its members as
  // additions).
  const bool told = held || adds || (!live && !route.answer.adding);
  // A live event tells the monitors what it changes in the record, which
  // their views follow: an addition of a member is an update, and the
  // removal of an interaction the record does not hold is not told (a record
  // whose repair failed, or a server out of step, is behind its
  // notifications). An answer tells its requester the whole contents.
  const bool tellsAdded = adds && !(live && held);
  // The callbacks' map is built only when somebody is called back, after
  // the lock is let go.
  if (group.count != 0 && tellsAdded) {
    batch.Add(Kind::kInteractionAdded, group, queue, event.interaction, &event.attributes);
  } else if (group.count != 0 && !event.attributes.empty() && told) {
    batch.Add(Kind::kAttributesUpdated, group, queue, event.interaction, &event.attributes);
  }
  if (event.removed) {
    RemoveFromQueueLocked(queue, *record, id);
    if (!live || held || adds) {
      batch.Add(Kind::kInteractionRemoved, group, queue, event.interaction);
    }
    batch.Departures().push_back(id);
  }
}

void CQmCache::StoreEventLocked(const CEntityId& queue, QueueRecord& record,
                                const QueueEvent& event, bool added) {
  const std::uint32_t id = event.interaction.QueryObjectId();
  InteractionRecord* interaction = nullptr;
  if (added) {
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

void CQmCache::FinishBatch(CallbackBatch& batch) {
  if (batch.HasCallbacks()) batch.Deliver(handOffs_);
  std::vector<CEntityId>& reconcile = batch.SubscriptionsToReconcile();
  for (const CEntityId& queue : reconcile) ReconcileSubscription(queue);
  reconcile.clear();
  if (batch.Departures().empty()) return;
  W4Os::CCriticalSectionLock lock(&lock_);
  for (const std::uint32_t id : batch.Departures()) ForgetIfUnqueuedLocked(id);
}

}  // namespace QueueManager
