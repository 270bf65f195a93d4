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

std::int64_t ServerState::NowSeconds() const { return NowSeconds(W4Os::CW4DateTime::Now()); }

std::int64_t ServerState::NowSeconds(W4Os::CW4DateTime at) const {
  constexpr std::int64_t kIntervalsPerSecond = 10'000'000;
  std::uint64_t now = 0;
  at.ToFileTime(now);
  const auto real = static_cast<std::int64_t>(now / kIntervalsPerSecond);
  // The control function takes any offset: the far ends of the range stand
  // for the earliest and the latest time there is.
  std::int64_t shifted = 0;
  if (__builtin_add_overflow(real, clock_.offsetSeconds, &shifted)) {
    return clock_.offsetSeconds < 0 ? std::numeric_limits<std::int64_t>::min()
                                    : std::numeric_limits<std::int64_t>::max();
  }
  return shifted;
}

void ServerState::BeginStay(ServerQueue& record, const InteractionState& interaction) {
  const eStateClass state = ClassifyState(interaction.attributes.Query(Xan_State));
  record.stays.Begin(interaction.id, Stay{NowSeconds(), state == eStateClass::kConnected,
                                          state == eStateClass::kDisconnected});
  CountMember(record, interaction);
}

void ServerState::EndStay(ServerQueue& record, std::uint32_t id) {
  if (record.stays.Find(id) == nullptr) return;
  if (const InteractionState* interaction = FindInteraction(id))
    UncountMember(record, *interaction);
  record.stays.End(id, NowSeconds());
}

void ServerState::MarkConnected(std::uint32_t id) {
  for (auto& entry : queues_) entry.second.stays.MarkConnected(id);
  for (auto& entry : views_) entry.second.stays.MarkConnected(id);
}

bool ServerState::HasItsMembersStays(const ServerQueue& record) const {
  if (record.stays.Size() != record.members.size() || !record.stays.IsConsistent()) return false;
  return std::ranges::all_of(record.members, [&](std::uint32_t id) {
    const Stay* stay = record.stays.Find(id);
    const InteractionState* interaction = FindInteraction(id);
    return stay != nullptr && interaction != nullptr &&
           stay->disconnected == (ClassifyState(interaction->attributes.Query(Xan_State)) ==
                                  eStateClass::kDisconnected);
  });
}

StayTotals ServerState::Stays(const CEntityId& entity, std::int64_t now) const {
  StayTotals totals;
  if (entity.QueryObjectId() != W4Notifier::kAllObjects) {
    if (const ServerQueue* record = FindRecord(entity)) record->stays.AddTo(totals, now);
    return totals;
  }
  ForEachQueueOfType(entity.QueryObjectType(),
                     [&](const ServerQueue& record) { record.stays.AddTo(totals, now); });
  return totals;
}

}  // namespace QueueManager::Emulator
