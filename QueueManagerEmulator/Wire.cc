#include "Wire.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "QueueManager/Platform/DateTime.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/Simulation.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CMessage;

// What both statistics forms are computed from. A single queue's counts are
// read where the queue keeps them; the all-queues entity's are summed here.
// Not copyable: `byType` may point into the object itself.
class Totals {
 public:
  Totals(const ServerState& state, const CEntityId& queue, std::int64_t now)
      : stays(state.Stays(queue, now)) {
    if (queue.QueryObjectId() != W4Notifier::kAllObjects) {
      if (const ServerQueue* record = state.FindRecord(queue)) Take(*record);
      return;
    }
    state.ForEachQueueOfType(queue.QueryObjectType(),
                             [this](const ServerQueue& record) { Add(record); });
  }
  Totals(const Totals&) = delete;
  Totals& operator=(const Totals&) = delete;

  const std::map<ObjectTypes, QueueCounts>* byType = &summed_;
  std::uint32_t countToday = 0;
  std::uint32_t abandonedToday = 0;
  StayTotals stays;

 private:
  void Take(const ServerQueue& record) {
    byType = &record.counts;
    countToday = record.countToday;
    abandonedToday = record.abandonedToday;
  }
  void Add(const ServerQueue& record) {
    for (const auto& [type, counts] : record.counts) AddCounts(summed_[type], counts);
    countToday += record.countToday;
    abandonedToday += record.abandonedToday;
  }

  std::map<ObjectTypes, QueueCounts> summed_;
};

void WriteCounts(CMessage& message, const QueueCounts& c) {
  message << c.alerting << c.connected << c.disconnected << c.held << c.messaging << c.system;
}

bool Exists(const ServerState& state, const CEntityId& queue) {
  return queue.QueryObjectId() == W4Notifier::kAllObjects || state.FindRecord(queue) != nullptr;
}

void WriteEvent(CMessage& message, const ServerQueueEvent& event) {
  message << static_cast<std::int32_t>(event.interaction.QueryObjectType())
          << static_cast<std::int32_t>(event.interaction.QueryObjectId()) << event.added
          << event.removed;
  event.attributes.Write(message);
}

}  // namespace

void WriteEntities(CMessage& out, const std::vector<CEntityId>& entities) {
  out << static_cast<std::int32_t>(entities.size());
  for (const CEntityId& entity : entities) {
    out << static_cast<std::int32_t>(entity.QueryObjectType())
        << static_cast<std::int32_t>(entity.QueryObjectId());
  }
}

namespace {

std::uint64_t ServerTimeAt(const ServerState& state, W4Os::CW4DateTime real) {
  constexpr double kIntervalsPerSecond = 10'000'000;
  // Half the representable shift: adding the current time cannot overflow.
  constexpr double kLargestShift = static_cast<double>(INT64_MAX) / kIntervalsPerSecond / 2;
  std::uint64_t now = 0;
  real.ToFileTime(now);
  const ServerClock& clock = state.Clock();
  // Without a drift rate the steady clock is not read.
  const double drift = clock.driftPerSecond == 0 ? clock.drifted : clock.DriftAt(W4Os::SteadyNow());
  double seconds = static_cast<double>(clock.offsetSeconds) + drift;
  if (std::isnan(seconds)) seconds = 0;  // no drift rate given makes sense of it
  const auto shift = static_cast<std::int64_t>(std::clamp(seconds, -kLargestShift, kLargestShift) *
                                               kIntervalsPerSecond);
  const std::int64_t shifted = static_cast<std::int64_t>(now) + shift;
  return clock.invalid || shifted < 0 ? UINT64_MAX : static_cast<std::uint64_t>(shifted);
}

void WriteServerTime(CMessage& message, std::uint64_t time) {
  message << static_cast<std::uint32_t>(time >> 32U) << static_cast<std::uint32_t>(time);
}

}  // namespace

std::uint64_t ServerTime(const ServerState& state) {
  return ServerTimeAt(state, W4Os::CW4DateTime::Now());
}

void WriteServerTime(CMessage& message, const ServerState& state) {
  WriteServerTime(message, ServerTime(state));
}

ServerMoment TakeMoment(const ServerState& state) {
  const W4Os::CW4DateTime real = W4Os::CW4DateTime::Now();
  return ServerMoment{ServerTimeAt(state, real), state.NowSeconds(real)};
}

CMessage ClockNotification(const ServerState& state) {
  CMessage message(CEntityId(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects, 0), 3);
  WriteServerTime(message, state);
  return message;
}

namespace {

void WriteTotals(CMessage& message, const Totals& totals) {
  QueueCounts all;
  for (const auto& entry : *totals.byType) AddCounts(all, entry.second);
  WriteCounts(message, all);
  const StayTotals& stays = totals.stays;
  message << stays.connectionCalls << stays.disconnectedConnectionCalls << totals.countToday
          << stays.activeSeconds << stays.longestSeconds << totals.abandonedToday;
}

void WriteTotals2(CMessage& message, const Totals& totals) {
  message << totals.stays.connectionCalls << totals.stays.disconnectedConnectionCalls
          << static_cast<std::int32_t>(totals.byType->size());
  for (const auto& [type, counts] : *totals.byType) {
    message << static_cast<std::int32_t>(type);
    WriteCounts(message, counts);
  }
}

}  // namespace

void WriteStatistics(CMessage& message, const ServerState& state, const CEntityId& queue) {
  WriteTotals(message, Totals(state, queue, state.NowSeconds()));
}

void WriteStatistics2(CMessage& message, const ServerState& state, const CEntityId& queue) {
  WriteTotals2(message, Totals(state, queue, state.NowSeconds()));
}

void WriteQueueBody(CMessage& message, const ServerState& state, std::int64_t now,
                    const CEntityId& queue, const std::vector<ServerQueueEvent>& events,
                    bool trailer, std::uint64_t writeSequence) {
  if (!Exists(state, queue)) {
    message << false;
    return;
  }
  // Both records are counted from the same totals, summed once.
  const Totals totals(state, queue, now);
  message << true << true;
  WriteTotals(message, totals);
  message << static_cast<std::uint32_t>(events.size());
  for (const ServerQueueEvent& event : events) WriteEvent(message, event);
  if (!trailer) return;
  const std::uint64_t sequence = IsView(queue) ? writeSequence : state.Sequence(queue);
  message << static_cast<unsigned long long>(sequence) << true;
  WriteTotals2(message, totals);
}

std::vector<ServerQueueEvent> ContentEvents(const ServerState& state, const CEntityId& queue,
                                            bool valuesOnly) {
  std::vector<ServerQueueEvent> events;
  const ServerQueue* record = state.FindRecord(queue);
  if (record == nullptr) return events;
  for (const std::uint32_t id : record->members) {
    const InteractionState* interaction = state.FindInteraction(id);
    if (interaction == nullptr) continue;
    events.push_back(ServerQueueEvent{CEntityId(interaction->type, id), !valuesOnly, false,
                                      state.MonitoredAttributes(id, queue.QueryObjectType())});
  }
  return events;
}

void WriteQueueSection(CMessage& message, const ServerState& state, const CEntityId& queue,
                       bool trailer, bool valuesOnly) {
  message << static_cast<std::int32_t>(queue.QueryObjectType())
          << static_cast<std::int32_t>(queue.QueryObjectId());
  const std::vector<CQmAttributeName>& names = state.MonitoredNames(queue.QueryObjectType());
  message << static_cast<std::int32_t>(names.size());
  for (const CQmAttributeName& name : names) name.Write(message);
  WriteQueueBody(message, state, state.NowSeconds(), queue, ContentEvents(state, queue, valuesOnly),
                 trailer);
}

void WriteInteractionRecord(CMessage& message, const CEntityId& interaction, bool alwaysNotify,
                            bool deallocated, const CQmAttributeMap& attributes) {
  message << static_cast<std::int32_t>(interaction.QueryObjectType())
          << static_cast<std::int32_t>(interaction.QueryObjectId()) << alwaysNotify << deallocated;
  attributes.Write(message);
}

void WriteInteractionSnapshot(CMessage& message, const ServerState& state, std::uint32_t id,
                              bool alwaysNotify, const std::vector<CQmAttributeName>* names) {
  const InteractionState* interaction = state.FindInteraction(id);
  if (interaction == nullptr) {
    WriteInteractionRecord(message, CEntityId(W4Notifier::eInteractionRequest, id), alwaysNotify,
                           true, CQmAttributeMap());
    return;
  }
  CQmAttributeMap attributes;
  if (names == nullptr) attributes = interaction->attributes;
  for (const CQmAttributeName& name : names == nullptr ? std::vector<CQmAttributeName>() : *names) {
    const auto it = interaction->attributes.find(name);
    if (it != interaction->attributes.end()) attributes.insert(it->first, it->second);
  }
  WriteInteractionRecord(message, CEntityId(interaction->type, id), alwaysNotify, false,
                         attributes);
}

CMessage InteractionNotification(const ServerInteractionRecord& record) {
  CMessage message(
      CEntityId(W4Notifier::eInteractionRequest, record.interaction.QueryObjectId(), 0), 7);
  WriteInteractionRecord(message, record.interaction, false, record.deallocated, record.attributes);
  return message;
}

CMessage QueueNotification(const ServerState& state, const QueueChange& change,
                           const ServerMoment& at) {
  // Room for the header, both statistics records of a queue of one or two
  // media types and events of a few attributes each: one allocation rather
  // than a growth at every part.
  constexpr std::size_t kFixedBytes = 192;
  constexpr std::size_t kBytesPerEvent = 256;
  CMessage message(change.queue, 0);
  message.Reserve(kFixedBytes + kBytesPerEvent * change.events.size());
  WriteServerTime(message, at.serverTime);
  if (change.removed) {
    message << false;
    return message;
  }
  WriteQueueBody(message, state, at.seconds, change.queue, change.events, true,
                 change.writeSequence);
  return message;
}

}  // namespace QueueManager::Emulator
