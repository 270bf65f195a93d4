// Queues held for a holder that receives their notifications itself (a TS
// server monitor's private inbox): kept cached while held, loaded without a
// monitor, and updated from the holder's events.

#include <fmt/format.h>

#include "monitor/CacheTrace.h"
#include "monitor/QmCache.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;

constexpr const char* kFunction = "CQmCache";

}  // namespace

void CQmCache::HoldQueue(const CEntityId& queue) {
  W4Os::CCriticalSectionLock lock(&lock_);
  ++holds_[queue];
  tables_.FindOrAddQueue(queue);
}

void CQmCache::ReleaseQueue(const CEntityId& queue) {
  CBatchLease batch;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    const auto it = holds_.find(queue);
    if (it == holds_.end() || --it->second > 0) return;
    holds_.erase(it);
    const QueueRecord* record = tables_.FindQueue(queue);
    if (record != nullptr && record->Monitors().empty()) DropQueueLocked(queue, false, *batch);
  }
  FinishBatch(*batch);
}

bool CQmCache::IsHeldLocked(const CEntityId& queue) const { return holds_.count(queue) != 0; }

void CQmCache::LoadHeldQueue(const CEntityId& queue, const std::vector<CQmAttributeName>& names,
                             bool addingAttributes, bool synchronous,
                             std::shared_ptr<void> settled) {
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    TraceActivation(queue, kNoMonitor, names, addingAttributes, synchronous);
    if (!IsHeldLocked(queue)) {
      // Its record would stay cached with nobody to end it.
      QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
               "Load of {} skipped: the queue is neither held nor monitored", ScopedName(queue));
      return;
    }
    // The answer is applied to the record, which a removal reported by the
    // server may have dropped.
    tables_.FindOrAddQueue(queue);
  }
  // A delivery thread cannot wait for an answer it has to deliver itself.
  const bool asynchronous = !synchronous || InsideCacheDelivery();
  LoadQueue(queue, names, asynchronous ? false : addingAttributes, !asynchronous, kNoMonitor, 0,
            std::move(settled));
}

bool CQmCache::TakeHeldBodyLocked(const CEntityId& queue, std::uint64_t sequence) {
  QueueRecord* record = tables_.FindQueue(queue);
  if (record == nullptr) return true;
  // The cache's subscription applies it, with its monitors' callbacks; a
  // number taken here would make that path skip them.
  if (!record->Monitors().empty()) return false;
  if (sequence == 0) return true;
  // Applied already by the subscription before it ended, or overtaken. A
  // number far below is taken (see JudgeSequence); the holder's own reload
  // after its renegotiation puts the record right.
  if (JudgeSequence(record->lastSequence, sequence) == eSequenceVerdict::kSkip) return false;
  record->lastSequence = sequence;
  return true;
}

void CQmCache::ApplyHeldQueueEventLocked(const CEntityId& queue, const QueueEvent& event) {
  if (!IsHeldLocked(queue)) return;
  QueueRecord& record = *tables_.FindOrAddQueue(queue).first;
  StoreEventLocked(queue, record, event, event.added);
  if (!event.removed) return;
  const std::uint32_t id = event.interaction.QueryObjectId();
  RemoveFromQueueLocked(queue, record, id);
  ForgetIfUnqueuedLocked(id);
}

}  // namespace QueueManager
