#pragma once

// The handlers of the two request targets, looked up by request kind.

#include <cstdint>
#include <optional>

#include "QueueManager/Platform/Message.h"
#include "RequestDecoder.h"
#include "ServerState.h"

namespace QueueManager::Emulator {

// Applies a request of `client` and returns the answer's fields.
using Handler = W4Notifier::CMessage (*)(const Request& request, std::uint16_t client,
                                         ServerState& state, Changes& changes);

// Null for a kind of the other target.
Handler InteractionHandler(eRequest kind);
Handler QueueHandler(eRequest kind);
// The alerting kinds, which InteractionHandler also gives.
Handler AlertingHandler(eRequest kind);
// The queue object kinds of both targets, which both functions above give.
Handler QueueObjectHandler(eRequest kind);
// The interaction life-cycle kinds (the forwarded notification), which
// InteractionHandler gives.
Handler LifeCycleHandler(eRequest kind);

// Ends the alertings that are over by `now` or by a change of their
// interaction.
void SettleAlertings(ServerState& state, Changes& changes, Clock::time_point now);
// Ends the alerting of `id` as answered by `party`; false when `party` is not
// alerted for it (or nothing alerts).
bool AnswerAlerting(ServerState& state, std::uint32_t id, const W4Notifier::CEntityId& party,
                    Changes& changes);
// The earliest time-out of the alertings in progress.
std::optional<Clock::time_point> NextDeadline(const ServerState& state);

}  // namespace QueueManager::Emulator
