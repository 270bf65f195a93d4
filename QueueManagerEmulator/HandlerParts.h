#pragma once

// The handlers of the two request targets, looked up by request kind.

#include <cstdint>

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

}  // namespace QueueManager::Emulator
