// The application's side of the caching monitor: queries answered from the
// cache, and writes applied to it and sent to the server.

#include <string_view>

#include "QueueManager/Platform/Text.h"
#include "QueueManager/Platform/Trace.h"
#include "lightweight/CachingMonitorImpl.h"
#include "lightweight/LoopTestTrace.h"
#include "lightweight/SequenceNumbers.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

constexpr std::string_view kMoveAndSetFunction = "CQmLightMonitorImpl::MoveAndSet";

}  // namespace

bool CQmCachingMonitorImpl::query_attribute(InteractionId id, const CQmAttributeName& name,
                                            CQmAttributeValue& value) const {
  const Bucket* bucket = BucketOf(id);
  if (bucket == nullptr || !IsMonitored(name)) return false;
  W4Os::MutexLock lock(&bucket->mutex);
  const auto entry = bucket->entries.find(id.QueryObjectId());
  if (entry == bucket->entries.end()) {
    value.clear();
    return false;
  }
  if (const CQmAttributeValue* cached = entry->second.attributes.Find(name)) {
    value = *cached;
  } else {
    value.clear();
  }
  return true;
}

bool CQmCachingMonitorImpl::query_attributes(InteractionId id,
                                             const std::vector<CQmAttributeName>& names,
                                             std::vector<CQmAttributeValue>& values) const {
  const Bucket* bucket = BucketOf(id);
  if (bucket == nullptr) return false;
  W4Os::MutexLock lock(&bucket->mutex);
  const auto entry = bucket->entries.find(id.QueryObjectId());
  // Emptied in every case, so that no value of an earlier use stays behind
  // at the position of a name that has nothing cached.
  values.clear();
  if (entry == bucket->entries.end()) return false;
  values.resize(names.size());
  const lightweight::CachedAttributes& attributes = entry->second.attributes;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!IsMonitored(names[i])) return false;
    if (const CQmAttributeValue* cached = attributes.Find(names[i])) values[i] = *cached;
  }
  return true;
}

bool CQmCachingMonitorImpl::QueryEntry(InteractionId id, CQmAttributeMap& attributes,
                                       std::map<CQmAttributeName, std::uint64_t>& pending) const {
  const Bucket* bucket = BucketOf(id);
  if (bucket == nullptr) return false;
  W4Os::MutexLock lock(&bucket->mutex);
  const auto entry = bucket->entries.find(id.QueryObjectId());
  if (entry == bucket->entries.end()) return false;
  attributes = entry->second.attributes.ToMap();
  if (entry->second.pending) {
    pending = *entry->second.pending;
  } else {
    pending.clear();
  }
  return true;
}

void CQmCachingMonitorImpl::MoveAndSet(InteractionId id,
                                       const std::vector<W4Notifier::CEntityId>& removeFrom,
                                       const CQmAttributeMap& attributes,
                                       const std::vector<W4Notifier::CEntityId>& addTo) {
  if (!attributes.empty()) {
    WriteThrough(id, removeFrom, attributes, addTo);
  } else if (!removeFrom.empty() || !addTo.empty()) {
    // Only a move: nothing to tag, nothing to cache.
    W4Notifier::CRequestObject request =
        requests::MoveAndSetRequest(id, removeFrom, attributes, addTo);
    requests::SendWithoutWaiting(request, kMoveAndSetFunction);
  }
}

void CQmCachingMonitorImpl::WriteThrough(InteractionId id,
                                         const std::vector<W4Notifier::CEntityId>& removeFrom,
                                         const CQmAttributeMap& attributes,
                                         const std::vector<W4Notifier::CEntityId>& addTo) {
  Bucket* bucket = BucketOf(id);
  if (bucket == nullptr) return;
  W4Notifier::CRequestObject request =
      requests::MoveAndSetRequest(id, removeFrom, attributes, addTo);
  W4Os::MutexLock lock(&bucket->mutex);
  const std::uint64_t sequence = lightweight::SequenceNumberGenerator::Instance().Next();
  CacheEntry& entry = bucket->entries[id.QueryObjectId()];
  entry.attributes.Store(attributes, names_);
  if (!entry.pending) entry.pending = std::make_unique<PendingWrites>();
  for (const auto& [name, value] : attributes) {
    (*entry.pending)[name] = sequence;
    if (lightweight::TracesLoopTest(name)) {
      W4Trace::Write(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kMoveAndSetFunction,
                     "<{}, {}>", W4Os::Utf8(value.QueryString()), sequence);
    }
  }
  request << static_cast<unsigned long long>(sequence);
  requests::WriteEntity(request, entity_);
  // Sent under the bucket lock: the requests of one interaction leave in the
  // order of their numbers, so its notifications come back in that order.
  requests::SendWithoutWaiting(request, kMoveAndSetFunction);
}

}  // namespace QueueManager
