// The time statistics of queues and views. Meanings chosen: a connection call
// is a member that has been connected (Xan_State C) at some time of its stay,
// and is a disconnected connection call while it is disconnected (I or E);
// the active time is the sum of the lengths, in seconds of the server's
// clock, of every stay that began on the queue (those still going on counted
// up to now) and the longest is the longest of them. A day never ends: the
// "today" counters count from the server's start.

#include <algorithm>
#include <limits>

#include "QueueManager/Platform/DateTime.h"
#include "ServerState.h"

namespace QueueManager::Emulator {
namespace {

std::uint32_t Clamp(std::int64_t seconds) {
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(seconds, 0, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t AddClamped(std::uint32_t a, std::uint64_t b) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{a} + b, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

std::int64_t ServerState::NowSeconds() const {
  constexpr std::int64_t kIntervalsPerSecond = 10'000'000;
  std::uint64_t now = 0;
  W4Os::CW4DateTime::Now().ToFileTime(now);
  return static_cast<std::int64_t>(now / kIntervalsPerSecond) + clock_.offsetSeconds;
}

void ServerState::BeginStay(QueueRecord& record, const InteractionState& interaction) {
  const bool connected =
      ClassifyState(interaction.attributes.Query(Xan_State)) == eStateClass::kConnected;
  record.stays[interaction.id] = Stay{NowSeconds(), connected};
  CountMember(record, interaction);
}

void ServerState::EndStay(QueueRecord& record, std::uint32_t id) {
  const auto it = record.stays.find(id);
  if (it == record.stays.end()) return;
  if (const InteractionState* interaction = FindInteraction(id))
    UncountMember(record, *interaction);
  const std::uint32_t length = Clamp(NowSeconds() - it->second.since);
  record.closedSeconds += length;
  record.longestClosed = std::max(record.longestClosed, length);
  record.stays.erase(it);
}

void ServerState::MarkConnected(std::uint32_t id) {
  const auto mark = [id](QueueRecord& record) {
    const auto it = record.stays.find(id);
    if (it != record.stays.end()) it->second.connected = true;
  };
  for (auto& entry : queues_) mark(entry.second);
  for (auto& entry : views_) mark(entry.second);
}

StayTotals ServerState::Stays(const CEntityId& entity) const {
  StayTotals totals;
  const std::int64_t now = NowSeconds();
  const auto add = [&](const QueueRecord& record) {
    totals.activeSeconds = AddClamped(totals.activeSeconds, record.closedSeconds);
    totals.longestSeconds = std::max(totals.longestSeconds, record.longestClosed);
    for (const auto& [id, stay] : record.stays) {
      const std::uint32_t length = Clamp(now - stay.since);
      totals.activeSeconds = AddClamped(totals.activeSeconds, length);
      totals.longestSeconds = std::max(totals.longestSeconds, length);
      if (!stay.connected) continue;
      ++totals.connectionCalls;
      const InteractionState* interaction = FindInteraction(id);
      if (interaction != nullptr &&
          ClassifyState(interaction->attributes.Query(Xan_State)) == eStateClass::kDisconnected) {
        ++totals.disconnectedConnectionCalls;
      }
    }
  };
  if (entity.QueryObjectId() != W4Notifier::kAllObjects) {
    if (const QueueRecord* record = FindRecord(entity)) add(*record);
    return totals;
  }
  for (const CEntityId& queue : QueuesOfType(entity.QueryObjectType())) add(*FindQueue(queue));
  return totals;
}

}  // namespace QueueManager::Emulator
