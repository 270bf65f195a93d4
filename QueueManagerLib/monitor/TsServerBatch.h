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
  // Applies the kept events to `entity` in the cache, in arrival order, and
  // gathers the attributes of every event of an interaction to report (any
  // with `reportAll`, else those in `monitored`) into one map per
  // interaction, later values replacing earlier ones. An interaction removed
  // leaves `monitored`.
  void ApplyLocked(CQmCache& cache, const W4Notifier::CEntityId& entity, bool reportAll,
                   std::unordered_set<std::uint32_t>& monitored)
      QM_EXCLUSIVE_LOCKS_REQUIRED(cache.Lock());
  bool HasEvents() const { return !events_.empty(); }
  // The updates to report, by ascending interaction id; each map holds at
  // least one attribute.
  const std::map<std::uint32_t, CQmAttributeMap>& Updates() const { return updates_; }

 private:
  std::vector<QueueEvent> events_;
  std::map<std::uint32_t, CQmAttributeMap> updates_;
};

}  // namespace QueueManager
