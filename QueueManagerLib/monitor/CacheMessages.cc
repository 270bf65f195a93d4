// Decoding the server's responses and notifications and applying them to the
// cache. Every part is read completely before it is applied; a malformed
// message throws W4Notifier::CException from the readers, which the notifier
// callbacks and the synchronous load catch: what was applied stays, the rest
// of the message is dropped.

#include <algorithm>
#include <deque>
#include <exception>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/Platform/ObjectTypes.h"
#include "monitor/CacheTrace.h"
#include "monitor/MessageReaders.h"
#include "monitor/MonitorResponseCheck.h"
#include "monitor/QmCache.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::FieldType;
using Kind = CallbackBatch::Kind;

constexpr const char* kFunction = "CQmCache";
// The fewest bytes a queue event takes (its four fields and an empty map):
// bounds what a body's event count may reserve.
constexpr std::size_t kSmallestEventBytes = 16;
// The events of a load answer applied under one hold of the cache lock: a
// fraction of a millisecond's work.
constexpr std::uint32_t kAnswerSliceEvents = 256;

bool NextFieldIs(const CMessage& message, FieldType type) {
  return !message.IsAtEndOfData() && message.PeekFieldType() == type;
}

}  // namespace

// A notification's server time, to be fed to the clock under the first lock
// that its body takes, or on destruction when none took it. Not
// synchronised: one notification's reader owns it.
class CQmCache::PendingClock {
 public:
  PendingClock(CQmCache& cache, ServerSeconds serverTime)
      : cache_(cache), serverTime_(serverTime) {}
  PendingClock(const PendingClock&) = delete;
  PendingClock& operator=(const PendingClock&) = delete;
  ~PendingClock() { cache_.FeedPendingClock(*this); }

 private:
  friend class CQmCache;
  CQmCache& cache_;
  std::optional<ServerSeconds> serverTime_;
};

// ---- notifications ----

void CQmCache::OnMessageReceived(CMessage& message) {
  CacheDeliveryScope scope;
  // The server's own notifications (its clock) and those of single queues
  // come here; all-queues entities have their own callback object.
  try {
    ProcessNotification(message, false);
  } catch (const W4Notifier::CException& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
             "Malformed notification from {} dropped: {}", ScopedName(message.QueryEntityId()),
             e.what());
  } catch (const std::exception& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "Notification from {} dropped: {}",
             ScopedName(message.QueryEntityId()), e.what());
  }
}

void AllQueuesCallback::OnMessageReceived(CMessage& message) {
  CacheDeliveryScope scope;
  // Every notification of a queue of the type arrives here: one published on
  // the all-queues entity updates its own record, one of a single queue the
  // child record under it. The queue's own record, if any, is updated through
  // its own subscription, for its own monitors.
  try {
    cache_.ProcessNotification(message, message.QueryObjectId() != W4Notifier::kAllObjects);
  } catch (const std::exception& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
             "Malformed notification from {} dropped: {}", ScopedName(message.QueryEntityId()),
             e.what());
  }
}

void CQmCache::ProcessNotification(CMessage& message, bool viaAllQueues) {
  // The server time is fed to the clock under the first lock the body takes
  // anyway (see ProcessQueueBody), or on the way out.
  PendingClock clock(*this, ReadServerTimeHeader(message));
  // The server's own notifications (its clock) carry nothing else.
  if (message.QueryObjectType() == W4Notifier::eQueueManagerServer) return;
  const CEntityId queue(message.QueryObjectType(), message.QueryObjectId(), 0);
  if (viaAllQueues) {
    // A queue the all-queues record has not met yet joins it.
    W4Os::CCriticalSectionLock lock(&lock_);
    FeedPendingClockLocked(&clock);
    tables_.FindOrAddChild(queue);
  }
  ProcessQueueBody(BodyRoute(queue, viaAllQueues), message, &clock);
}

void CQmCache::ReadServerTime(CMessage& message) {
  const ServerSeconds serverTime = ReadServerTimeHeader(message);
  W4Os::CCriticalSectionLock lock(&lock_);
  FeedClockLocked(serverTime);
}

void CQmCache::FeedPendingClock(PendingClock& clock) {
  if (!clock.serverTime_) return;
  W4Os::CCriticalSectionLock lock(&lock_);
  FeedPendingClockLocked(&clock);
}

void CQmCache::FeedPendingClockLocked(PendingClock* clock) {
  if (clock != nullptr && clock->serverTime_) {
    FeedClockLocked(*std::exchange(clock->serverTime_, std::nullopt));
  }
}

void CQmCache::PrepareEventLocked(const QueueEvent& event) {
  // The interaction's record is fetched into the processor's cache while the
  // event's attributes are read, rather than waited for when they are
  // stored: with many interactions cached it is seldom there already.
  if (const InteractionRecord* interaction =
          tables_.FindInteraction(event.interaction.QueryObjectId())) {
    CacheTables::Prefetch(*interaction);
  }
}

// ---- monitor queue responses ----

bool CQmCache::ProcessMonitorResponse(CMessage& response, const LoadBook::Request& request) {
  QM_TRACE_SCOPE(CacheScopeTopic(), "CQmCache::ProcessMonitorResponse");
  try {
    // All or nothing: a load whose answer fails halfway is loaded again.
    CheckMonitorResponse(response);
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      loads_.Delivering(request.ToTicket());
    }
    ReadServerTime(response);
    // A whole all-queues answer (not one adding names) lists every queue of
    // its type; what else is cached under it was removed unseen.
    const bool wholeAllQueues =
        request.queue.QueryObjectId() == W4Notifier::kAllObjects && !request.adding;
    std::unordered_set<std::uint32_t> listed;
    while (!response.IsAtEndOfData()) {
      const CEntityId queue = ProcessMonitorSection(response, request);
      if (wholeAllQueues && queue.QueryObjectType() == request.queue.QueryObjectType()) {
        listed.insert(queue.QueryObjectId());
      }
    }
    if (wholeAllQueues) DropUnlistedChildren(request.queue, listed);
  } catch (const std::exception& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
             "Malformed monitor queue response dropped: {}", e.what());
    return false;
  }
  W4Os::CCriticalSectionLock lock(&lock_);
  loads_.Answered(request.ToTicket());
  return true;
}

CEntityId CQmCache::ProcessMonitorSection(CMessage& response, const LoadBook::Request& request) {
  const CEntityId queue = ReadEntity(response);
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Update received {}", ScopedName(queue));
  const std::vector<CQmAttributeName> names = ReadNameList(response);
  // A section of a single queue in the answer to an all-queues load belongs
  // to the child record under the all-queues entity.
  const bool viaAllQueues = request.queue.QueryObjectId() == W4Notifier::kAllObjects &&
                            queue.QueryObjectId() != W4Notifier::kAllObjects &&
                            queue.QueryObjectType() == request.queue.QueryObjectType();
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    RegisterNamesLocked(queue.QueryObjectType(), names);
    if (viaAllQueues) tables_.FindOrAddChild(queue);
  }
  ProcessQueueBody(BodyRoute(queue, viaAllQueues, request.ToTicket(), &names), response);
  return queue;
}

void CQmCache::DropUnlistedChildren(const CEntityId& all,
                                    const std::unordered_set<std::uint32_t>& listed) {
  CBatchLease batch;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    const QueueRecord* record = tables_.FindQueue(all);
    if (record == nullptr) return;
    std::vector<CEntityId> gone;
    for (const auto& [id, child] : record->Children()) {
      if (!listed.contains(id)) gone.push_back(child->Queue());
    }
    for (const CEntityId& queue : gone) {
      QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
               "{} is no longer listed by its all-queues answer: removed", ScopedName(queue));
      QueueRemovedLocked(queue, true, *batch);
    }
  }
  FinishBatch(*batch);
}

void CQmCache::RegisterNamesLocked(W4Notifier::ObjectTypes type,
                                   const std::vector<CQmAttributeName>& names) {
  for (const CQmAttributeName& name : names) tables_.Names().Register(type, name);
}

// ---- queue bodies ----

void CQmCache::ProcessQueueBody(const BodyRoute& route, CMessage& message, PendingClock* clock) {
  bool exists = false;
  message >> exists;
  if (!exists) {
    CBatchLease batch;
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      FeedPendingClockLocked(clock);
      QueueRemovedLocked(route.queue, route.viaAllQueues, *batch);
    }
    FinishBatch(*batch);
    return;
  }
  bool hasStats = false;
  message >> hasStats;
  CQmQueueStats stats;
  if (hasStats) message >> stats;
  std::uint32_t count = 0;
  message >> count;
  if (route.initialResponse) {
    ApplyAnswerBody(route, message, hasStats ? &stats : nullptr, count, clock);
    return;
  }
  // Read whole before anything is applied: the sequence number at the end
  // decides whether the body is applied at all.
  QueueEventsLease events;
  events->Reserve(std::min<std::size_t>(count, message.RemainingBytes() / kSmallestEventBytes));
  std::uint64_t sequence = 0;
  try {
    for (std::uint32_t i = 0; i < count; ++i) {
      QueueEvent& event = events->Add();
      ReadQueueEventHead(message, event);
      if (i == 0) {
        W4Os::CCriticalSectionLock lock(&lock_);
        FeedPendingClockLocked(clock);
        PrepareEventLocked(event);
      }
      event.attributes.Read(message);
    }
  } catch (const std::exception&) {
    // What precedes a malformed event is applied, as it would have been had
    // the events been applied as they were read.
    events->DropLast();
    ApplyQueueBody(route, hasStats ? &stats : nullptr, events->Events(), nullptr);
    throw;
  }
  // The trailer is optional: a sequence number and the second statistics
  // record. Recognised by their field types, so that a response whose next
  // section follows at once is read correctly too.
  const bool trailer = NextFieldIs(message, FieldType::kUInt64);
  if (trailer) message >> sequence;
  const eSequenceVerdict verdict = TakeSequence(route, sequence, clock);
  if (verdict == eSequenceVerdict::kSkip) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
             "Notification {} of {} skipped: it was applied already or came after a later one",
             sequence, ScopedName(route.queue));
    if (trailer && NextFieldIs(message, FieldType::kBool)) SkipStatistics2(message);
    return;
  }
  ApplyQueueBody(route, hasStats ? &stats : nullptr, events->Events(),
                 trailer ? &message : nullptr);
  if (verdict == eSequenceVerdict::kRenumbered) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
             "Notification {} of {} is far below the last one: reloading", sequence,
             ScopedName(route.queue));
    RequestReload();
  }
}

void CQmCache::ApplyQueueBody(const BodyRoute& route, const CQmQueueStats* stats,
                              std::span<const QueueEvent> events, CMessage* stats2) {
  const CEntityId& queue = route.queue;
  // The statistics callbacks go to the monitors gathered here, and are made
  // after the events.
  CBatchLease statsBatch;
  if (stats != nullptr) {
    W4Os::CCriticalSectionLock lock(&lock_);
    if (QueueRecord* record = tables_.FindRoute(queue, route.viaAllQueues)) {
      record->stats = *stats;
      statsBatch->Add(Kind::kStatisticsUpdate, GetMonitors(route, *statsBatch), queue, {}, nullptr,
                      stats);
    } else {
      QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
               "Statistics of {} skipped: the queue is not cached", ScopedName(queue));
    }
  }
  for (const QueueEvent& event : events) ProcessMonitorEvent(route, event);
  if (stats2 != nullptr && NextFieldIs(*stats2, FieldType::kBool)) {
    ProcessStatistics2(route, *stats2);
  }
  FinishBatch(*statsBatch);
}

void CQmCache::ApplyAnswerBody(const BodyRoute& route, CMessage& message,
                               const CQmQueueStats* stats, std::uint32_t count,
                               PendingClock* clock) {
  const bool viaAllQueues = route.viaAllQueues;
  // Whole contents are the server's newest word on the queue: a record that
  // missed changes (a reload answered before the queue's subscription was
  // started again, or a reload that failed) is put right here, and its live
  // monitors told; the requester learns the contents from the answer itself.
  // An answer to no request of this process may be anybody's: it updates
  // what it lists, and settles nothing.
  std::optional<std::unordered_set<std::uint32_t>> leftovers;
  CBatchLease statsBatch;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    FeedPendingClockLocked(clock);
    QueueRecord* record = tables_.FindRoute(route.queue, viaAllQueues);
    if (stats != nullptr && record != nullptr) {
      record->stats = *stats;
      statsBatch->Add(Kind::kStatisticsUpdate, GetMonitors(route, *statsBatch), route.queue, {},
                      nullptr, stats);
    }
    // A held queue's holder applies the queue's notifications on a thread of
    // its own, maybe ahead of this answer: its record is not put back.
    if (route.answer.asked && !route.answer.adding && record != nullptr &&
        (viaAllQueues || !IsHeldLocked(route.queue))) {
      // The answer came after every change the record may have missed.
      if (!viaAllQueues) record->awaitingReload = false;
      const std::vector<std::uint32_t> members = record->MemberIds();
      leftovers.emplace(members.begin(), members.end());
    }
  }
  // A slice at a time: the lock is let go between slices, so that a big
  // answer neither holds up every other user of the cache nor lies decoded
  // whole in memory. No notification of the queue can come between slices:
  // they reach the cache on the thread that applies this answer, after it.
  QueueEventsLease events;
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t slice = std::min(count - done, kAnswerSliceEvents);
    events->Clear();
    for (std::uint32_t i = 0; i < slice; ++i) ReadQueueEvent(message, events->Add());
    done += slice;
    CBatchLease batch;
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      for (const QueueEvent& event : events->Events()) {
        ApplyAnswerEventLocked(route, event, leftovers ? &*leftovers : nullptr, *batch);
      }
    }
    FinishBatch(*batch);
  }
  const bool trailer = NextFieldIs(message, FieldType::kUInt64);
  std::uint64_t sequence = 0;
  if (trailer) message >> sequence;
  TakeSequence(route, sequence, nullptr);  // an answer is applied whatever its number
  if (leftovers && !leftovers->empty()) {
    CBatchLease batch;
    std::deque<QueueEvent> removals;
    {
      W4Os::CCriticalSectionLock lock(&lock_);
      RemoveLeftoversLocked(route.Live(), *leftovers, removals, *batch);
    }
    FinishBatch(*batch);
  }
  if (trailer && NextFieldIs(message, FieldType::kBool)) ProcessStatistics2(route, message);
  FinishBatch(*statsBatch);
}

void CQmCache::ApplyAnswerEventLocked(const BodyRoute& route, const QueueEvent& event,
                                      std::unordered_set<std::uint32_t>* leftovers,
                                      CallbackBatch& batch) {
  if (route.names != nullptr) DropUnconfirmedLocked(event, *route.names);
  bool stored = false;
  if (leftovers != nullptr && leftovers->erase(event.interaction.QueryObjectId()) == 0 &&
      !event.removed) {
    // New to the record: its live monitors are told of it as an addition.
    ApplyEventLocked(route.Live(), event, batch, true, true);
    stored = true;
  }
  ApplyEventLocked(route, event, batch, !stored);
}

eSequenceVerdict CQmCache::TakeSequence(const BodyRoute& route, std::uint64_t sequence,
                                        PendingClock* clock) {
  W4Os::CCriticalSectionLock lock(&lock_);
  FeedPendingClockLocked(clock);
  QueueRecord* record = tables_.FindRoute(route.queue, route.viaAllQueues);
  // Unnumbered notifications, and bodies of queues not cached, are applied
  // as they come.
  if (record == nullptr || (sequence == 0 && !route.initialResponse)) {
    return eSequenceVerdict::kApply;
  }
  // A load answer starts the count afresh: a restarted server counts anew,
  // as it does for a queue removed and created again, whose answer tells 0
  // (or no number at all: the next notification is taken whatever its own).
  const eSequenceVerdict verdict = route.initialResponse
                                       ? eSequenceVerdict::kApply
                                       : JudgeSequence(record->lastSequence, sequence);
  if (verdict != eSequenceVerdict::kSkip) record->lastSequence = sequence;
  return verdict;
}

void CQmCache::SkipStatistics2(CMessage& message) {
  bool present = false;
  message >> present;
  if (!present) return;
  CQmQueueStats2 skipped;
  skipped.read(message);
}

void CQmCache::ProcessStatistics2(const BodyRoute& route, CMessage& message) {
  const CEntityId& queue = route.queue;
  bool present = false;
  message >> present;
  if (!present) return;
  CQmQueueStats2 stats2;
  stats2.read(message);
  W4Os::CCriticalSectionLock lock(&lock_);
  QueueRecord* record = tables_.FindRoute(queue, route.viaAllQueues);
  if (record == nullptr) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, kFunction,
             "Statistics2 for {} skipped: the queue is not cached", ScopedName(queue));
    return;
  }
  record->stats2 = stats2;
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction, "Statistics2 for {}{}",
           ScopedName(queue), Stats2Text(stats2));
}

void CQmCache::ProcessMonitorEvent(const BodyRoute& route, const QueueEvent& event) {
  CBatchLease batch;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    if (route.names != nullptr) DropUnconfirmedLocked(event, *route.names);
    ApplyEventLocked(route, event, *batch);
  }
  FinishBatch(*batch);
}

}  // namespace QueueManager
