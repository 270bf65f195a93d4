#pragma once

// The light monitor with a client-side attribute cache in the middle: it is
// its own downstream interface, filters and caches each event by the
// sequence numbers of this process's writes, and passes on what it accepted.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "lightweight/CachedAttributes.h"
#include "lightweight/LightMonitorImpl.h"

namespace QueueManager {

// A light monitor that caches the attributes of the objects it reports.
// Thread-safe: queries and writes may come from any thread while the
// delivery thread applies events; a counted object.
//
// The cache is striped over buckets, an interaction id going to bucket
// (id modulo the bucket count); each operation locks one bucket. Lock order:
// a bucket lock, then the sequence number generator's lock (taken only until
// the process's handle is known), then the notifier's locks of a send; the
// downstream lock is a leaf. Writes are sent while their bucket is locked,
// so that the requests of one interaction leave in the order of their
// sequence numbers.
//
// Events are filtered and passed on inside the turn of the activation's
// callback gate (the light part enters it), so once the gate is closed none
// can bring entries back. deactivate() stops the light part, releases the
// downstream interface and empties the buckets; the buckets themselves stay
// until the object goes, so that a query or write that runs at the same
// time stays sound. The handle drops a stopped object: later queries and
// writes do not reach it.
class CQmCachingMonitorImpl : public CQmLightMonitorImpl, public IQmLightMonitorInterface {
 public:
  static constexpr std::uint32_t kMinBuckets = 2;
  static constexpr std::uint32_t kMaxBuckets = 1367;

  CQmCachingMonitorImpl() = default;

  // Allocates the buckets (`requestedBuckets` clamped to 2..1367), stores the
  // downstream interface and the names, then activates the light part with
  // this object as its downstream.
  // REQUIRES: first call; `downstream` is not empty; the caller holds a
  // reference to this object.
  void activate(const W4Notifier::CEntityId& entity,
                const w4core::InterfacePtr<IQmLightMonitorInterface>& downstream,
                const std::vector<CQmAttributeName>& names, bool flag,
                const lightweight::ActivationGate& gate, std::uint32_t requestedBuckets);
  void deactivate() override;

  bool query_attribute(InteractionId id, const CQmAttributeName& name,
                       CQmAttributeValue& value) const;
  bool query_attributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                        std::vector<CQmAttributeValue>& values) const;
  void MoveAndSet(InteractionId id, const std::vector<W4Notifier::CEntityId>& removeFrom,
                  const CQmAttributeMap& attributes,
                  const std::vector<W4Notifier::CEntityId>& addTo);

  // The bucket count (0 before activate()); for tests.
  std::uint32_t BucketCount() const { return bucketCount_.load(std::memory_order_acquire); }
  // A copy of the cached attributes and of the pending write numbers of an
  // interaction; false when it has no entry. For tests.
  bool QueryEntry(InteractionId id, CQmAttributeMap& attributes,
                  std::map<CQmAttributeName, std::uint64_t>& pending) const;

  // IQmLightMonitorInterface, from the light part.
  void ObjectAdded(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                   std::uint64_t sequence) override;
  void ObjectUpdated(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                     std::uint64_t sequence) override;
  void ObjectRemoved(const W4Notifier::CEntityId& object, std::uint64_t sequence) override;

 protected:
  ~CQmCachingMonitorImpl() override = default;

 private:
  enum class Slot : std::uint8_t { kAdded, kUpdated };
  using PendingWrites = std::map<CQmAttributeName, std::uint64_t>;
  struct CacheEntry {
    lightweight::CachedAttributes attributes;
    // Per attribute, the number of this process's latest write that no
    // notification has confirmed yet; null when there is none (the usual
    // case, kept to a pointer's size).
    std::unique_ptr<PendingWrites> pending;
  };
  // A cache line of its own: the locks of neighbouring buckets are taken by
  // different threads.
  struct alignas(64) Bucket {
    // Taken before the sequence number generator's lock and the notifier's.
    mutable W4Os::Mutex mutex;
    // Hashed: with 100,000 objects over the buckets, an ordered tree's walk
    // misses the processor's cache at nearly every level.
    std::unordered_map<std::uint32_t, CacheEntry> entries QM_GUARDED_BY(mutex);
  };

  // Filters and stores one added or updated event, then passes on what was
  // accepted.
  void Update(Slot slot, const W4Notifier::CEntityId& object, const CQmAttributeMap& received,
              std::uint64_t sequence);
  // Decides which received attributes the entry accepts (all of them: true,
  // `accepted` untouched; otherwise those put into `accepted`), updating the
  // pending writes.
  static bool FilterLocked(CacheEntry& entry, const CQmAttributeMap& received,
                           std::uint64_t sequence, CQmAttributeMap& accepted);
  static void FilterOwnLocked(CacheEntry& entry, const CQmAttributeMap& received,
                              std::uint64_t sequence, CQmAttributeMap& accepted);
  static void FilterForeignLocked(const CacheEntry& entry, const CQmAttributeMap& received,
                                  std::uint64_t sequence, CQmAttributeMap& accepted);
  // Stores the written attributes with a new sequence number and sends them.
  void WriteThrough(InteractionId id, const std::vector<W4Notifier::CEntityId>& removeFrom,
                    const CQmAttributeMap& attributes,
                    const std::vector<W4Notifier::CEntityId>& addTo);
  Bucket* BucketOf(InteractionId id) const;
  bool IsMonitored(const CQmAttributeName& name) const { return names_.count(name) != 0; }
  w4core::InterfacePtr<IQmLightMonitorInterface> Downstream() const;

  // Set by activate() before the light part starts, then only read; the
  // cache entries point at its custom names.
  lightweight::CachedAttributes::Names names_{100};
  // Written once by activate() before bucketCount_ publishes them; only
  // read after a nonzero bucketCount_ was seen (BucketOf).
  std::atomic<bool> activated_{false};
  std::unique_ptr<Bucket[]> buckets_;
  W4Notifier::CEntityId entity_;
  std::atomic<std::uint32_t> bucketCount_{0};

  // A leaf lock: held only to read or swap the pointer below.
  mutable W4Os::Mutex downstreamMutex_;
  w4core::InterfacePtr<IQmLightMonitorInterface> downstream_ QM_GUARDED_BY(downstreamMutex_);
};

}  // namespace QueueManager
