#include "Wire.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "QueueManager/Platform/DateTime.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CMessage;

// What both statistics forms are computed from.
struct Totals {
  std::map<ObjectTypes, QueueCounts> byType;
  std::uint32_t countToday = 0;
  std::uint32_t abandonedToday = 0;
};

void Add(QueueCounts& to, const QueueCounts& from) {
  to.alerting += from.alerting;
  to.connected += from.connected;
  to.disconnected += from.disconnected;
  to.held += from.held;
  to.messaging += from.messaging;
  to.system += from.system;
}

void AddQueue(Totals& totals, const ServerState& state, const CEntityId& queue) {
  const QueueRecord* record = state.FindQueue(queue);
  if (record == nullptr) return;
  for (const auto& [type, counts] : state.CountsByType(queue)) Add(totals.byType[type], counts);
  totals.countToday += record->countToday;
  totals.abandonedToday += record->abandonedToday;
}

Totals TotalsOf(const ServerState& state, const CEntityId& queue) {
  Totals totals;
  if (queue.QueryObjectId() != W4Notifier::kAllObjects) {
    AddQueue(totals, state, queue);
    return totals;
  }
  for (const CEntityId& each : state.QueuesOfType(queue.QueryObjectType())) {
    AddQueue(totals, state, each);
  }
  return totals;
}

void WriteCounts(CMessage& message, const QueueCounts& c) {
  message << c.alerting << c.connected << c.disconnected << c.held << c.messaging << c.system;
}

bool Exists(const ServerState& state, const CEntityId& queue) {
  return queue.QueryObjectId() == W4Notifier::kAllObjects || state.FindQueue(queue) != nullptr;
}

void WriteEvent(CMessage& message, const QueueEvent& event) {
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

void WriteServerTime(CMessage& message, const ServerState& state) {
  constexpr double kIntervalsPerSecond = 10'000'000;
  // Half the representable shift: adding the current time cannot overflow.
  constexpr double kLargestShift = static_cast<double>(INT64_MAX) / kIntervalsPerSecond / 2;
  std::uint64_t now = 0;
  W4Os::CW4DateTime::Now().ToFileTime(now);
  const ServerClock& clock = state.Clock();
  double seconds = static_cast<double>(clock.offsetSeconds) + clock.DriftAt(Clock::now());
  if (std::isnan(seconds)) seconds = 0;  // no drift rate given makes sense of it
  const auto shift = static_cast<std::int64_t>(std::clamp(seconds, -kLargestShift, kLargestShift) *
                                               kIntervalsPerSecond);
  const std::int64_t shifted = static_cast<std::int64_t>(now) + shift;
  const std::uint64_t time =
      clock.invalid || shifted < 0 ? UINT64_MAX : static_cast<std::uint64_t>(shifted);
  message << static_cast<std::uint32_t>(time >> 32U) << static_cast<std::uint32_t>(time);
}

CMessage ClockNotification(const ServerState& state) {
  CMessage message(CEntityId(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects, 0), 3);
  WriteServerTime(message, state);
  return message;
}

void WriteStatistics(CMessage& message, const ServerState& state, const CEntityId& queue) {
  const Totals totals = TotalsOf(state, queue);
  QueueCounts all;
  for (const auto& entry : totals.byType) Add(all, entry.second);
  WriteCounts(message, all);
  // Connection calls, their disconnected part, the active time and the
  // longest interaction are not tracked: zero.
  const std::uint32_t untracked = 0;
  message << untracked << untracked << totals.countToday << untracked << untracked
          << totals.abandonedToday;
}

void WriteStatistics2(CMessage& message, const ServerState& state, const CEntityId& queue) {
  const Totals totals = TotalsOf(state, queue);
  const std::uint32_t untracked = 0;
  message << untracked << untracked << static_cast<std::int32_t>(totals.byType.size());
  for (const auto& [type, counts] : totals.byType) {
    message << static_cast<std::int32_t>(type);
    WriteCounts(message, counts);
  }
}

void WriteQueueBody(CMessage& message, const ServerState& state, const CEntityId& queue,
                    const std::vector<QueueEvent>& events, bool trailer) {
  if (!Exists(state, queue)) {
    message << false;
    return;
  }
  message << true << true;
  WriteStatistics(message, state, queue);
  message << static_cast<std::uint32_t>(events.size());
  for (const QueueEvent& event : events) WriteEvent(message, event);
  if (!trailer) return;
  message << static_cast<unsigned long long>(state.Sequence(queue)) << true;
  WriteStatistics2(message, state, queue);
}

std::vector<QueueEvent> ContentEvents(const ServerState& state, const CEntityId& queue) {
  std::vector<QueueEvent> events;
  const QueueRecord* record = state.FindQueue(queue);
  if (record == nullptr) return events;
  for (const std::uint32_t id : record->members) {
    const InteractionState* interaction = state.FindInteraction(id);
    if (interaction == nullptr) continue;
    events.push_back(QueueEvent{CEntityId(interaction->type, id), true, false,
                                state.MonitoredAttributes(id, queue.QueryObjectType())});
  }
  return events;
}

void WriteQueueSection(CMessage& message, const ServerState& state, const CEntityId& queue,
                       bool trailer) {
  message << static_cast<std::int32_t>(queue.QueryObjectType())
          << static_cast<std::int32_t>(queue.QueryObjectId());
  const std::vector<CQmAttributeName>& names = state.MonitoredNames(queue.QueryObjectType());
  message << static_cast<std::int32_t>(names.size());
  for (const CQmAttributeName& name : names) name.Write(message);
  WriteQueueBody(message, state, queue, ContentEvents(state, queue), trailer);
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

CMessage InteractionNotification(const InteractionRecord& record) {
  CMessage message(
      CEntityId(W4Notifier::eInteractionRequest, record.interaction.QueryObjectId(), 0), 7);
  WriteInteractionRecord(message, record.interaction, false, record.deallocated, record.attributes);
  return message;
}

CMessage QueueNotification(const ServerState& state, const QueueChange& change) {
  CMessage message(change.queue, 0);
  WriteServerTime(message, state);
  if (change.removed) {
    message << false;
    return message;
  }
  WriteQueueBody(message, state, change.queue, change.events, true);
  return message;
}

}  // namespace QueueManager::Emulator
