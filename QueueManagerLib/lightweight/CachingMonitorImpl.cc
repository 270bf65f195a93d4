// Activation, deactivation and the events of the caching monitor: which
// received attributes the cache accepts, given the writes of this process
// that the server has not confirmed yet.

#include "lightweight/CachingMonitorImpl.h"

#include <algorithm>
#include <string_view>

#include "QueueManager/Platform/Text.h"
#include "QueueManager/Platform/Trace.h"
#include "lightweight/LoopTestTrace.h"
#include "lightweight/SequenceNumbers.h"

namespace QueueManager {
namespace {

using lightweight::SequenceNumberGenerator;
using lightweight::TracesLoopTest;
using W4Notifier::CEntityId;

constexpr std::string_view kUpdateFunction = "CQmCachingMonitorImpl::update";

}  // namespace

void CQmCachingMonitorImpl::activate(
    const CEntityId& entity, const w4core::InterfacePtr<IQmLightMonitorInterface>& downstream,
    const std::vector<CQmAttributeName>& names, bool flag, const lightweight::ActivationGate& gate,
    std::uint32_t requestedBuckets) {
  QM_TRACE_SCOPE(W4Trace::ScopeTopic(), "QueueManager::CQmCachingMonitorImpl::activate");
  if (!downstream || activated_.exchange(true)) return;
  const std::uint32_t count = std::clamp(requestedBuckets, kMinBuckets, kMaxBuckets);
  buckets_ = std::make_unique<Bucket[]>(count);
  entity_ = entity;
  names_.insert(names.begin(), names.end());
  // Published last: a stop, query or write on another thread sees the
  // buckets, the entity and the names whole, or no buckets at all.
  bucketCount_.store(count, std::memory_order_release);
  {
    W4Os::MutexLock lock(&downstreamMutex_);
    // Stopped while activating: the stop cleared the downstream interface
    // before this; taking it now would hold it (and this object) for good.
    if (!gate.gate || !gate.gate->IsOpen(gate.epoch)) return;
    downstream_ = downstream;
  }
  CQmLightMonitorImpl::activate(entity, w4core::InterfacePtr<IQmLightMonitorInterface>(this), names,
                                flag, gate);
}

void CQmCachingMonitorImpl::deactivate() {
  QM_TRACE_SCOPE(W4Trace::ScopeTopic(), "QueueManager::CQmCachingMonitorImpl::deactivate");
  CQmLightMonitorImpl::deactivate();
  w4core::InterfacePtr<IQmLightMonitorInterface> released;
  {
    W4Os::MutexLock lock(&downstreamMutex_);
    released.swap(downstream_);
  }
  const std::uint32_t count = bucketCount_.load(std::memory_order_acquire);
  for (std::uint32_t i = 0; i < count; ++i) {
    W4Os::MutexLock lock(&buckets_[i].mutex);
    buckets_[i].entries.clear();
  }
}

CQmCachingMonitorImpl::Bucket* CQmCachingMonitorImpl::BucketOf(InteractionId id) const {
  const std::uint32_t count = bucketCount_.load(std::memory_order_acquire);
  if (count == 0) return nullptr;
  return &buckets_[id.QueryObjectId() % count];
}

w4core::InterfacePtr<IQmLightMonitorInterface> CQmCachingMonitorImpl::Downstream() const {
  W4Os::MutexLock lock(&downstreamMutex_);
  return downstream_;
}

void CQmCachingMonitorImpl::ObjectAdded(const CEntityId& object, const CQmAttributeMap& attributes,
                                        std::uint64_t sequence) {
  Update(Slot::kAdded, object, attributes, sequence);
}

void CQmCachingMonitorImpl::ObjectUpdated(const CEntityId& object,
                                          const CQmAttributeMap& attributes,
                                          std::uint64_t sequence) {
  Update(Slot::kUpdated, object, attributes, sequence);
}

void CQmCachingMonitorImpl::ObjectRemoved(const CEntityId& object, std::uint64_t sequence) {
  if (Bucket* bucket = BucketOf(object.QueryObjectId())) {
    W4Os::MutexLock lock(&bucket->mutex);
    bucket->entries.erase(object.QueryObjectId());
  }
  // Passed on also when the object had no entry.
  if (const auto downstream = Downstream()) downstream->ObjectRemoved(object, sequence);
}

void CQmCachingMonitorImpl::Update(Slot slot, const CEntityId& object,
                                   const CQmAttributeMap& received, std::uint64_t sequence) {
  Bucket* bucket = BucketOf(object.QueryObjectId());
  if (bucket == nullptr) return;
  CQmAttributeMap accepted;
  bool acceptedAll = false;
  {
    W4Os::MutexLock lock(&bucket->mutex);
    CacheEntry& entry = bucket->entries[object.QueryObjectId()];
    acceptedAll = FilterLocked(entry, received, sequence, accepted);
    entry.attributes.Store(acceptedAll ? received : accepted, names_);
  }
  const CQmAttributeMap& passed = acceptedAll ? received : accepted;
  if (passed.empty()) return;
  const auto downstream = Downstream();
  if (!downstream) return;
  if (slot == Slot::kAdded) {
    downstream->ObjectAdded(object, passed, sequence);
  } else {
    downstream->ObjectUpdated(object, passed, sequence);
  }
}

bool CQmCachingMonitorImpl::FilterLocked(CacheEntry& entry, const CQmAttributeMap& received,
                                         std::uint64_t sequence, CQmAttributeMap& accepted) {
  if (!entry.pending) return true;
  const SequenceNumberGenerator& generator = SequenceNumberGenerator::Instance();
  if (!generator.IsOwn(sequence)) {
    FilterForeignLocked(entry, received, sequence, accepted);
    return false;
  }
  if (!generator.IsMostRecent(sequence)) {
    FilterOwnLocked(entry, received, sequence, accepted);
    if (entry.pending->empty()) entry.pending.reset();
    return false;
  }
  // The server has seen this process's latest write: nothing older can come.
  entry.pending.reset();
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kUpdateFunction,
           "seq {}> (most recent)", sequence);
  return true;
}

void CQmCachingMonitorImpl::FilterOwnLocked(CacheEntry& entry, const CQmAttributeMap& received,
                                            std::uint64_t sequence, CQmAttributeMap& accepted) {
  for (const auto& [name, value] : received) {
    const auto pending = entry.pending->find(name);
    if (pending == entry.pending->end()) {
      accepted.insert(name, value);
      if (TracesLoopTest(name)) {
        W4Trace::Write(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kUpdateFunction,
                       "{} seq {}> (not pending)", W4Os::Utf8(value.QueryString()), sequence);
      }
    } else if (pending->second > sequence) {
      // A later write of ours is still on its way: this value is older.
      if (TracesLoopTest(name)) {
        W4Trace::Write(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kUpdateFunction,
                       "{} seq {}> (skipped [{}])", W4Os::Utf8(value.QueryString()), sequence,
                       pending->second);
      }
    } else {
      if (TracesLoopTest(name)) {
        W4Trace::Write(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kUpdateFunction,
                       "{} seq {}> (up to date [{}])", W4Os::Utf8(value.QueryString()), sequence,
                       pending->second);
      }
      accepted.insert(name, value);
      entry.pending->erase(pending);
    }
  }
}

void CQmCachingMonitorImpl::FilterForeignLocked(const CacheEntry& entry,
                                                const CQmAttributeMap& received,
                                                std::uint64_t sequence, CQmAttributeMap& accepted) {
  for (const auto& [name, value] : received) {
    // Our own write of the attribute is still on its way: it wins.
    if (entry.pending->count(name) != 0) {
      if (TracesLoopTest(name)) {
        W4Trace::Write(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kUpdateFunction,
                       "{} seq {}> (skipped)", W4Os::Utf8(value.QueryString()), sequence);
      }
      continue;
    }
    accepted.insert(name, value);
    if (TracesLoopTest(name)) {
      W4Trace::Write(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kUpdateFunction,
                     "{} seq {}> (used)", W4Os::Utf8(value.QueryString()), sequence);
    }
  }
}

}  // namespace QueueManager
