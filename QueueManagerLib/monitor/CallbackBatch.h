#pragma once

// The monitor callbacks that a change of the cache causes, collected under
// the cache lock and made after it has been released.

#include <cstdint>
#include <deque>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/QueueStats.h"
#include "monitor/EventAttributes.h"
#include "monitor/HandOffs.h"
#include "monitor/InteractionMonitorStore.h"
#include "monitor/MonitorId.h"
#include "monitor/ThreadLease.h"

namespace QueueManager {

// An ordered list of callbacks, each to a group of monitors, plus the work
// that follows them: interactions to drop when no queue holds them any more,
// queue subscriptions to reconcile, and interaction records for the
// interaction monitors. Payloads are referenced, not copied: a caller that
// cannot keep them alive until Deliver hands them to Keep().
//
// Not synchronised: one thread fills it and delivers it. Batches are reused
// (see CBatchLease) so that the notification path does not allocate.
class CallbackBatch {
 public:
  using Kind = CallbackKind;
  // A range of Monitors().
  struct Group {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
  };

  // Starts a group; monitors added until EndGroup() belong to it.
  void BeginGroup() { groupStart_ = static_cast<std::uint32_t>(monitors_.size()); }
  // Adds a monitor known not to be in the open group (a queue record lists
  // each monitor once).
  void AddUniqueMonitor(MonitorId monitor) { monitors_.push_back(monitor); }
  Group EndGroup() const;

  // Adds a callback to every monitor of `group` (nothing when it is empty).
  // `interaction` is (object type, id) of the interaction concerned. The
  // map of `attributes` is built when the callbacks are made.
  void Add(Kind kind, Group group, const W4Notifier::CEntityId& queue,
           const W4Notifier::CEntityId& interaction = {},
           const EventAttributes* attributes = nullptr, const CQmQueueStats* stats = nullptr);

  // Payload storage that lives until Clear().
  const CQmQueueStats* Keep(const CQmQueueStats& stats);

  std::vector<std::uint32_t>& Departures() { return departures_; }
  std::vector<W4Notifier::CEntityId>& SubscriptionsToReconcile() { return reconcile_; }

  bool HasCallbacks() const { return !items_.empty(); }
  // Makes every callback in order through the monitor proxy, or queues it in
  // `handOffs` for a monitor whose hand-off is open.
  // REQUIRES: the cache lock is not held.
  void Deliver(HandOffs& handOffs) const;
  void Clear();

 private:
  struct Item {
    Kind kind;
    Group group;
    W4Notifier::CEntityId queue;
    W4Notifier::CEntityId interaction;
    const EventAttributes* attributes;
    const CQmQueueStats* stats;
  };
  std::vector<Item> items_;
  std::vector<MonitorId> monitors_;
  std::uint32_t groupStart_ = 0;
  std::deque<CQmQueueStats> keptStats_;
  std::vector<std::uint32_t> departures_;
  std::vector<W4Notifier::CEntityId> reconcile_;
};

// A batch borrowed from the calling thread's pool.
using CBatchLease = ThreadLease<CallbackBatch>;

}  // namespace QueueManager
