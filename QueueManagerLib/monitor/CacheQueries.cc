// The cache's queries, its attribute store interface, the seam to the
// interaction monitors and the hooks for tests.

#include "QueueManager/Platform/ObjectTypes.h"
#include "attributes/ObjectTypeLookup.h"
#include "monitor/CacheTrace.h"
#include "monitor/QmCache.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;

constexpr const char* kFunction = "CQmCache";

}  // namespace

// ---- queries ----

bool CQmCache::QueryQueueContents(const CEntityId& queue, std::vector<InteractionId>& ids) {
  ids.clear();
  std::vector<std::uint32_t> members;
  W4Os::CCriticalSectionLock lock(&lock_);
  if (!tables_.QueueContents(queue, members)) return false;
  ids.reserve(members.size());
  for (const std::uint32_t id : members) ids.emplace_back(id);
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, "QmCache: QueryQueueContents",
           "{}: {} interactions", ScopedName(queue), ids.size());
  return true;
}

bool CQmCache::IsInteractionInQueue(const CEntityId& queue, InteractionId id) {
  W4Os::CCriticalSectionLock lock(&lock_);
  const bool found = tables_.IsInQueue(queue, id.QueryObjectId());
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, "QmCache: IsInteractionInQueue", "{}",
           found ? "true" : "false");
  return found;
}

bool CQmCache::QueryStatistics(const CEntityId& queue, CQmQueueStats& stats) {
  W4Os::CCriticalSectionLock lock(&lock_);
  const QueueRecord* record = tables_.FindQueue(queue);
  if (record == nullptr) return false;
  stats = record->stats;
  return true;
}

bool CQmCache::QueryStatistics(const CEntityId& queue, CQmQueueStats2& stats) {
  W4Os::CCriticalSectionLock lock(&lock_);
  const QueueRecord* record = tables_.FindQueue(queue);
  if (record == nullptr) return false;
  stats = record->stats2;
  return true;
}

bool CQmCache::QueryAttribute(InteractionId id, const CQmAttributeName& name,
                              CQmAttributeValue& value) {
  W4Os::CCriticalSectionLock lock(&lock_);
  return QueryAttributeLocked(id.QueryObjectId(), name, value);
}

bool CQmCache::QueryAttributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                               std::vector<CQmAttributeValue>& values) {
  values.assign(names.size(), CQmAttributeValue());
  W4Os::CCriticalSectionLock lock(&lock_);
  bool all = true;
  for (std::size_t i = 0; i < names.size(); ++i) {
    all = QueryAttributeLocked(id.QueryObjectId(), names[i], values[i]) && all;
  }
  return all;
}

bool CQmCache::SetAttribute(InteractionId id, const CQmAttributeName& name,
                            const CQmAttributeValue& value) {
  W4Os::CCriticalSectionLock lock(&lock_);
  return SetAttributeLocked(id.QueryObjectId(), name, value);
}

void CQmCache::SetAttributes(InteractionId id, const CQmAttributeMap& attributes) {
  W4Os::CCriticalSectionLock lock(&lock_);
  for (const auto& [name, value] : attributes) SetAttributeLocked(id.QueryObjectId(), name, value);
}

CEntityId CQmCache::QueryUnderlyingEntityId(InteractionId id) {
  W4Os::CCriticalSectionLock lock(&lock_);
  const InteractionRecord* interaction = tables_.FindInteraction(id.QueryObjectId());
  if (interaction == nullptr) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "{}: not in object type cache",
             id.QueryObjectId());
    return CEntityId();
  }
  return CEntityId(interaction->Type(), id.QueryObjectId(), 0);
}

// ---- the interaction monitors' store ----

void CQmCache::SetInteractionMonitorStore(IInteractionMonitorStore* store) {
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    store_ = store;
  }
  if (store == nullptr) {
    SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, {});
    return;
  }
  SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, [](std::uint32_t id) {
    if (!Exists()) return W4Notifier::eObjectTypeNone;
    CQmCache& cache = Instance();
    W4Os::CCriticalSectionLock lock(&cache.lock_);
    return cache.store_ != nullptr ? cache.store_->QueryObjectType(id)
                                   : W4Notifier::eObjectTypeNone;
  });
}

// ---- test hooks ----

std::size_t CQmCache::CachedQueueCount() {
  W4Os::CCriticalSectionLock lock(&lock_);
  return tables_.QueueCount();
}

std::size_t CQmCache::CachedInteractionCount() {
  W4Os::CCriticalSectionLock lock(&lock_);
  return tables_.InteractionCount();
}

std::size_t CQmCache::PendingMonitorCount() {
  W4Os::CCriticalSectionLock lock(&lock_);
  return loads_.PendingCount();
}

bool CQmCache::IsSubscribed(const CEntityId& queue) {
  W4Os::CCriticalSectionLock lock(&lock_);
  return subscriptions_.IsHeld(queue);
}

void CQmCache::ResetForTesting() {
  W4Os::CCriticalSectionLock lock(&lock_);
  tables_.Clear();
  loads_.Clear();
  subscriptions_.Clear();
  holds_.clear();
  clockFilter_ = CClockSkewFilter();
  clockSkew_.store(0);
  clockSubscribed_ = false;
  clockSkewRequest_.store(0);
  if (store_ != nullptr) SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, {});
  store_ = nullptr;
}

}  // namespace QueueManager
