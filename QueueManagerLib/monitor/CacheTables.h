#pragma once

// The tables of the monitor cache: cached queues with their statistics and
// monitors, cached interactions with their object type and attribute values,
// the membership index between them and the monitored-name registry.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/QueueStats.h"
#include "monitor/EventAttributes.h"
#include "monitor/FlatIdMap.h"
#include "monitor/InteractionRecord.h"
#include "monitor/MonitorId.h"
#include "monitor/MonitoredNames.h"

namespace QueueManager {

class CacheTables;

// The all-queues entity of the queue's type (object id 0xFFFFFFFF).
inline W4Notifier::CEntityId AllQueuesEntity(const W4Notifier::CEntityId& queue) {
  return W4Notifier::CEntityId(queue.QueryObjectType(), W4Notifier::kAllObjects, 0);
}

// What a queue body numbered `sequence` (not 0) is to a record whose last
// number is `last`. Up to kSequenceWindow at or below it: a repeat or a
// latecomer, skipped. Further below: the numbering started again (a server
// that restarted) or `last` was never the server's (a forged number), and a
// record that skipped every body from then on would stay frozen; the body is
// applied, the number follows it, and the record is reloaded.
inline constexpr std::uint64_t kSequenceWindow = 256;
enum class eSequenceVerdict : std::uint8_t { kApply, kSkip, kRenumbered };
inline eSequenceVerdict JudgeSequence(std::uint64_t last, std::uint64_t sequence) {
  if (sequence > last) return eSequenceVerdict::kApply;
  return last - sequence <= kSequenceWindow ? eSequenceVerdict::kSkip
                                            : eSequenceVerdict::kRenumbered;
}

// One cached queue. Owned by CacheTables; its address is stable while it is
// cached. Not synchronised, except that AddMonitor and RemoveMonitor take the
// record's own lock (inside the cache lock).
//
// The record of an all-queues entity (object id 0xFFFFFFFF) owns a child
// record for each queue of its type that it learnt of: the queues reached
// through the all-queues subscription, apart from (and in addition to) the
// records of queues with monitors and a subscription of their own.
class QueueRecord {
 public:
  explicit QueueRecord(const W4Notifier::CEntityId& queue) : queue_(queue) {}
  QueueRecord(const QueueRecord&) = delete;
  QueueRecord& operator=(const QueueRecord&) = delete;

  const W4Notifier::CEntityId& Queue() const { return queue_; }
  // The attached monitors, each once, in the order they attached.
  const std::vector<MonitorId>& Monitors() const { return monitors_; }
  // False when the monitor is attached already.
  bool AddMonitor(MonitorId monitor);
  // False when the monitor was not attached.
  bool RemoveMonitor(MonitorId monitor);
  // The ids of the interactions on the queue, in no particular order.
  std::vector<std::uint32_t> MemberIds() const;
  bool Holds(std::uint32_t id) const { return members_.Find(id) != nullptr; }
  template <class Visit>
  void ForEachMember(Visit visit) const {
    members_.ForEach([&](std::uint32_t id, const Present&) { visit(id); });
  }
  // The child records of an all-queues record, by queue object id.
  const std::unordered_map<std::uint32_t, std::unique_ptr<QueueRecord>>& Children() const {
    return children_;
  }

  CQmQueueStats stats;
  CQmQueueStats2 stats2;
  // The sequence number of the last notification applied, or of the load
  // answer; 0 when unknown (after a reload, whose sections carry none). See
  // JudgeSequence.
  std::uint64_t lastSequence = 0;
  // Asked for in a reload not answered (or not answered whole) yet: its
  // members may be stale (the connection was lost), so an event that
  // contradicts them (an update of an interaction it does not hold, say) is
  // left to the reload's answer, or a load's, which the server sends after it.
  bool awaitingReload = false;

 private:
  friend class CacheTables;

  const W4Notifier::CEntityId queue_;
  W4Os::Mutex mutex_;
  // Written under mutex_ and the cache lock, read under the cache lock alone;
  // hence not annotated as guarded by mutex_.
  std::vector<MonitorId> monitors_;
  // A set of ids: 8 bytes a slot rather than a node of its own each.
  struct Present {};
  FlatIdMap<Present> members_;
  std::unordered_map<std::uint32_t, std::unique_ptr<QueueRecord>> children_;
};

// What storing a cached attribute did.
enum class AttributeStore { kNotMonitored, kSame, kChanged };

// What a cached attribute lookup found. The first three are definitive
// answers of the cache (the interaction is monitored for the name); the
// others mean the cache cannot answer.
enum class AttributeLookup { kFound, kNoEntries, kNotSet, kNotCached, kNotOnMonitoringQueue };

inline bool IsDefinitive(AttributeLookup lookup) {
  return lookup == AttributeLookup::kFound || lookup == AttributeLookup::kNoEntries ||
         lookup == AttributeLookup::kNotSet;
}

// The cache's tables as one plain data structure with no locking of its own
// (the cache lock guards it). An interaction is monitored for a name when it
// is on at least one cached queue whose object type registers the name.
class CacheTables {
 public:
  CacheTables();
  CacheTables(const CacheTables&) = delete;
  CacheTables& operator=(const CacheTables&) = delete;

  // Queues.
  QueueRecord* FindQueue(const W4Notifier::CEntityId& queue);
  const QueueRecord* FindQueue(const W4Notifier::CEntityId& queue) const;
  // The record and whether it was created.
  std::pair<QueueRecord*, bool> FindOrAddQueue(const W4Notifier::CEntityId& queue);
  // The record that a body of `queue` updates: its own record, or with
  // `viaAllQueues` its child record under the all-queues record of its type
  // (null when either is missing).
  QueueRecord* FindRoute(const W4Notifier::CEntityId& queue, bool viaAllQueues);
  // The child record of `queue` under the all-queues record of its type,
  // created when missing; null when that all-queues record is not cached.
  QueueRecord* FindOrAddChild(const W4Notifier::CEntityId& queue);
  // Drops the record (with `viaAllQueues` the child record) and its
  // membership entries, children included; the interactions that no other
  // cached queue holds leave the cache and are appended to `dropped`. False
  // when the queue was not cached.
  bool DropQueue(const W4Notifier::CEntityId& queue, std::vector<std::uint32_t>& dropped,
                 bool viaAllQueues = false);
  std::vector<W4Notifier::CEntityId> Queues() const;
  std::size_t QueueCount() const { return queues_.size(); }

  // Membership and interactions.
  // The returned reference is valid until the next change of membership.
  InteractionRecord& AddToQueue(QueueRecord& queue, std::uint32_t id, W4Notifier::ObjectTypes type);
  // False when the interaction was not on the queue.
  bool RemoveFromQueue(QueueRecord& queue, std::uint32_t id);
  // Drops the interaction when no cached queue holds it; true when dropped.
  bool ForgetIfUnqueued(std::uint32_t id);
  // For an all-queues entity: on any queue of its type that it reaches.
  bool IsInQueue(const W4Notifier::CEntityId& queue, std::uint32_t id) const;
  // The ids on the queue (for an all-queues entity: on the queues it
  // reaches, each once); false when the queue is not cached.
  bool QueueContents(const W4Notifier::CEntityId& queue, std::vector<std::uint32_t>& ids) const;
  InteractionRecord* FindInteraction(std::uint32_t id);
  const InteractionRecord* FindInteraction(std::uint32_t id) const;
  std::size_t InteractionCount() const { return interactions_.size(); }

  // Names and attributes.
  MonitoredNames& Names() { return names_; }
  const MonitoredNames& Names() const { return names_; }
  bool IsMonitored(const InteractionRecord& interaction, const CQmAttributeName& name) const;
  AttributeStore SetAttribute(std::uint32_t id, const CQmAttributeName& name,
                              const CQmAttributeValue& value);
  AttributeStore SetAttribute(InteractionRecord& interaction, const CQmAttributeName& name,
                              const CQmAttributeValue& value);
  // Stores the values of `updates` (an event of `queue`, whose names the
  // caller registered for the queue's object type) that the interaction is
  // monitored for; calls onSame(name, value) for each value that was cached
  // already. Both maps are sorted the same way, so this is one merge walk.
  template <class OnSame>
  void UpdateAttributes(InteractionRecord& interaction, const QueueRecord& queue,
                        const EventAttributes& updates, OnSame onSame);
  // Sets `value` to the cached value, or empties it when there is none.
  AttributeLookup QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                                 CQmAttributeValue& value) const;

  // Starts fetching the interaction's cached attributes into the processor's
  // cache, ahead of an update.
  static void Prefetch(const InteractionRecord& interaction);

  void Clear();

 private:
  std::unordered_map<W4Notifier::CEntityId, std::unique_ptr<QueueRecord>> queues_;
  FlatIdMap<InteractionRecord> interactions_;
  MonitoredNames names_;
  void DropMembers(QueueRecord& record, std::vector<std::uint32_t>& dropped);
};

template <class OnSame>
void CacheTables::UpdateAttributes(InteractionRecord& interaction, const QueueRecord& queue,
                                   const EventAttributes& updates, OnSame onSame) {
  // On this queue, every name of the event is monitored: the caller has just
  // registered them for the queue's type.
  const bool viaThisQueue = interaction.IsOn(&queue);
  interaction.Merge(
      updates,
      [&](const CQmAttributeName& name) { return viaThisQueue || IsMonitored(interaction, name); },
      onSame);
}

}  // namespace QueueManager
