// The end of an interaction's life as the server reports it, and the
// notifications that clients hand on to an interaction.
//
// Meanings chosen: a deactivation report goes out on the Queue Manager
// server's entity, event 5 (the number of the request that asks for it), for
// every interaction forgotten while some client has asked for one: the
// interaction's entity, an opaque block of 8 bytes (the server's time of the
// deactivation in 100-nanosecond intervals, low byte first) and the values
// it held of the names that any client asked for (every subscriber receives
// the same report). A forwarded notification is kept with the interaction it
// concerns; one for an interaction the server does not know is dropped.

#include <algorithm>
#include <array>

#include "HandlerParts.h"
#include "Wire.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CMessage;

constexpr int kDeactivationReportEvent = 5;

CMessage ForwardNotification(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  state.Forward(r.id, r.nested);
  return {};
}

}  // namespace

bool ServerState::Forward(std::uint32_t id, const CMessage& notification) {
  InteractionState* interaction = Find(id);
  if (interaction == nullptr) return false;
  std::vector<CMessage>& kept = interaction->forwarded;
  if (kept.size() == InteractionState::kForwardedKept) kept.erase(kept.begin());
  kept.push_back(notification);
  return true;
}

std::vector<CQmAttributeName> ServerState::DeactivationNames() const {
  std::vector<CQmAttributeName> names;
  for (const auto& entry : clients_) {
    for (const CQmAttributeName& name : entry.second.deactivationNames) {
      if (std::ranges::find(names, name) == names.end()) names.push_back(name);
    }
  }
  return names;
}

void ReportDeactivation(const ServerState& state, const InteractionState& interaction,
                        Changes& changes) {
  const std::vector<CQmAttributeName> names = state.DeactivationNames();
  if (names.empty()) return;
  CQmAttributeMap reported;
  for (const CQmAttributeName& name : names) {
    const auto it = interaction.attributes.find(name);
    if (it != interaction.attributes.end()) reported.insert(it->first, it->second);
  }
  const std::uint64_t time = ServerTime(state);
  std::array<std::uint8_t, 8> block{};
  for (std::size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<std::uint8_t>(time >> (8U * i));
  }
  CMessage report(CEntityId(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects, 0),
                  kDeactivationReportEvent);
  report << static_cast<std::int32_t>(interaction.type) << static_cast<std::int32_t>(interaction.id)
         << static_cast<std::uint32_t>(block.size());
  report.Insert(block.data(), static_cast<std::uint32_t>(block.size()));
  reported.Write(report);
  changes.Notify(std::move(report));
}

Handler LifeCycleHandler(eRequest kind) {
  return kind == eRequest::kForwardNotification ? ForwardNotification : nullptr;
}

}  // namespace QueueManager::Emulator
