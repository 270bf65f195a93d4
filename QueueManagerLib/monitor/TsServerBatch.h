#pragma once

// The work of one wake-up of a TS server monitor's worker: the messages its
// inbox held, decoded, applied to the cache, and the attribute updates to
// report gathered per interaction.

#include <cstdint>
#include <map>
#include <unordered_set>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "monitor/MessageReaders.h"
#include "monitor/QmCache.h"

namespace QueueManager {

// Not synchronised: one worker thread fills, applies and reports it.
// Messages are decoded before the cache lock is taken, so that a malformed
// one is skipped as a whole and the lock is held only to apply.
class TsServerBatch {
 public:
  // Decodes one inbox message and keeps its events; a malformed message is
  // traced and skipped (false).
  bool Decode(W4Notifier::CMessage& message);
  // Applies the kept messages to `entity` in the cache, in arrival order,
  // each as one body that the cache may find applied already through its
  // own subscription (see CQmCache::TakeHeldBodyLocked), and gathers the
  // attributes of every event of an interaction to report (any with
  // `reportAll`, else those in `monitored`) into one map per interaction,
  // later values replacing earlier ones. An interaction removed leaves
  // `monitored`.
  void ApplyLocked(CQmCache& cache, const W4Notifier::CEntityId& entity, bool reportAll,
                   std::unordered_set<std::uint32_t>& monitored)
      QM_EXCLUSIVE_LOCKS_REQUIRED(cache.Lock());
  bool HasEvents() const { return !bodies_.empty(); }
  // The updates to report, by ascending interaction id; each map holds at
  // least one attribute.
  const std::map<std::uint32_t, CQmAttributeMap>& Updates() const { return updates_; }

 private:
  // Applies one event (unless `apply` is false) and gathers its report.
  void Gather(const QueueEvent& event, bool apply, CQmCache& cache,
              const W4Notifier::CEntityId& entity, bool reportAll,
              std::unordered_set<std::uint32_t>& monitored)
      QM_EXCLUSIVE_LOCKS_REQUIRED(cache.Lock());
  // The events of one message, with its sequence number (0: unnumbered).
  struct Body {
    std::uint64_t sequence = 0;
    std::vector<QueueEvent> events;
  };
  std::vector<Body> bodies_;
  std::map<std::uint32_t, CQmAttributeMap> updates_;
};

}  // namespace QueueManager
