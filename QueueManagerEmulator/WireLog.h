#pragma once

// The readable lines of the emulator's wire log: one per message in or out.
// Requests are shown by their decoded fields, whatever their kind; answers
// and unknown notifications by their fields as the message describes them,
// cut at a readable length.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "QueueManager/Platform/Message.h"
#include "RequestDecoder.h"
#include "ServerState.h"

namespace QueueManager::Emulator {

// "Workgroup/1", "Workgroup/*" for the all-queues entity of a type.
std::string DescribeEntity(const W4Notifier::CEntityId& entity);
// "→ client 3 req QueryAttributes interaction 12 names=[Xan_State,Custom]".
std::string DescribeRequest(std::uint16_t client, const Request& request);
// "→ client 3 req Interaction/12 event 7 (<why it was not decoded>)".
std::string DescribeMalformed(std::uint16_t client, const W4Notifier::CMessage& message,
                              std::string_view reason);
// "← client 3 ans QueryAttributes: int 1, …" or "← client 3 rej …: <reason>".
std::string DescribeAnswer(std::uint16_t client, std::optional<eRequest> kind,
                           const W4Notifier::CMessage& body, bool rejected);
// "⇢ notify queue Workgroup/1 seq=41 +1 -0 ~0" (additions, removals,
// updates), or "⇢ notify queue Workgroup/1 seq=42 removed".
std::string DescribeQueueNotification(const ServerState& state, const QueueChange& change);
// "⇢ notify interaction 12 {Xan_State=C}" or "… deallocated".
std::string DescribeInteractionNotification(const ServerInteractionRecord& record);
// "⇢ notify Server/* event 3: …" for any other notification.
std::string DescribeNotification(const W4Notifier::CMessage& message);
// The name of a request kind: "QueryAttributes".
std::string_view RequestName(eRequest kind);

}  // namespace QueueManager::Emulator
