#pragma once

// The control functions as requests to the control entity: the client
// writes them and reads their answers, the emulator decodes them and writes
// the answers. One event per function; its fields in the order of the
// function's parameters. Decoding reads a request whole, and checks it ends
// where its last field ends, before anything acts on it.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Message.h"
#include "RequestDecoder.h"

namespace QueueManager::Emulator {

enum class eControl : std::int32_t {
  kCreateQueue = 1,               // queue → bool
  kAddInteraction = 2,            // type, map, entities → id
  kSetAttributes = 3,             // id, map → bool
  kMove = 4,                      // id, entities (from), entities2 (to) → bool
  kAnswerAlerting = 5,            // id, queue (the party) → bool
  kRemoveInteraction = 6,         // id → bool
  kQueues = 7,                    // type → entities
  kQueueContents = 8,             // queue → found, ids
  kCounts = 9,                    // queue → found, the six counts
  kInteraction = 10,              // id → found, type, map, queues, forwarded
  kRejections = 11,               // nothing → malformed count, last reason
  kInjectFault = 12,              // request fault plan
  kInjectNotificationFault = 13,  // notification fault plan
  kClearFaults = 14,              // nothing
  kSetNextInteractionId = 15,     // id
  kRenegotiateSender = 16,  // nothing → the sender's connection is renegotiated after the answer
};

// A decoded control request: the fields its kind uses, the rest empty.
struct ControlRequest {
  eControl kind{};
  std::uint32_t id = 0;
  W4Notifier::ObjectTypes type = W4Notifier::eObjectTypeNone;
  W4Notifier::CEntityId queue;
  CQmAttributeMap map;
  std::vector<W4Notifier::CEntityId> entities;
  std::vector<W4Notifier::CEntityId> entities2;
  RequestFaultPlan requestFault;
  NotificationFaultPlan notificationFault;
};

// The request to the control entity with the event of `kind`.
W4Notifier::CMessage ControlMessage(eControl kind);
// The name of `kind` for the wire log.
const char* ControlName(eControl kind);

void WriteRequestFault(W4Notifier::CMessage& out, const RequestFaultPlan& plan);
void WriteNotificationFault(W4Notifier::CMessage& out, const NotificationFaultPlan& plan);
void WriteInteraction(W4Notifier::CMessage& out, const InteractionState& interaction);
// Read what the writers above wrote; throw fields::Malformed or the message's
// extraction error on anything else.
InteractionState ReadInteraction(const W4Notifier::CMessage& in);

// Never throws for any message.
std::variant<ControlRequest, Rejection> DecodeControlRequest(const W4Notifier::CMessage& message);

// Runs `request` on `control` and writes its answer. May throw what the
// control function throws.
W4Notifier::CMessage RunControl(const ControlRequest& request, IEmulatorControl& control);

}  // namespace QueueManager::Emulator
