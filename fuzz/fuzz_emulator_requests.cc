// libFuzzer target: the server emulator's request decoder and handlers read
// arbitrary requests. Decoding never throws: it gives a request or a
// rejection with a reason. A decoded request is applied to a small seeded
// state, which must stay consistent (every queue lists exactly the
// interactions that list it), and its queue and interaction notifications
// are encoded. The state has a media type and an attribute match view open,
// and a client that asked for deactivation reports. The wire log's lines of
// all of it are made too. A request to the control entity goes to the
// control decoder instead, and one it decodes runs on an emulator of its
// own, which must answer it.
//
// Input: the byte form of one request message (header and body), as
// CMessage::Serialize writes it. Seeds: make_seeds.cc.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>

#include "ControlWire.h"
#include "HandlerParts.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Exceptions.h"
#include "RequestDecoder.h"
#include "ServerState.h"
#include "Wire.h"
#include "WireLog.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

ServerState SeededState() {
  ServerState state;
  Changes ignored;
  const CEntityId queue(W4Notifier::eWorkgroupQueue, 1, 0);
  state.RegisterNames(W4Notifier::eWorkgroupQueue, {CQmAttributeName(u"Xan_State")});
  state.RegisterNames(W4Notifier::eObjectTypeEntity, {CQmAttributeName(u"Xan_State")});
  state.OpenView(CEntityId(W4Notifier::eObjectTypeEntity, W4STD::w4idstring(u"6")));
  state.OpenView(CEntityId(W4Notifier::eAttributeMatch, W4STD::w4idstring(u"Xan_State=A")));
  state.Client(1).deactivationNames = {CQmAttributeName(u"Xan_State")};
  for (const char16_t* stateLetter : {u"A", u"C"}) {
    CQmAttributeMap attributes;
    attributes.insert(CQmAttributeName(u"Xan_State"), stateLetter);
    const std::uint32_t id = state.NextFreeId();
    state.AddInteraction(id, static_cast<W4Notifier::ObjectTypes>(6), attributes, ignored);
    state.Join(id, queue, ignored);
  }
  return state;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

void FuzzControl(const CMessage& message) {
  const auto decoded = DecodeControlRequest(message);
  if (const Rejection* rejection = std::get_if<Rejection>(&decoded)) {
    Check(!rejection->reason.empty());
    return;
  }
  const ControlRequest& request = std::get<ControlRequest>(decoded);
  // A fresh emulator each time: a crash then replays from its input alone.
  CEmulator emulator(W4Notifier::CInProcessBus::Create());
  emulator.CreateQueue(CEntityId(W4Notifier::eWorkgroupQueue, 1, 0));
  RunControl(request, emulator);
}

}  // namespace
}  // namespace QueueManager::Emulator

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace QueueManager::Emulator;
  CMessage message;
  try {
    message = CMessage::Parse(std::span<const std::uint8_t>(data, size));
  } catch (const W4Notifier::CException&) {
    return 0;  // not a message at all: the bus never delivers such bytes
  }
  if (message.QueryEntityId() == EmulatorControlEntity()) {
    FuzzControl(message);
    return 0;
  }
  const auto decoded = DecodeRequest(message);
  if (const Rejection* rejection = std::get_if<Rejection>(&decoded)) {
    Check(!rejection->reason.empty());
    Check(!DescribeMalformed(1, message, rejection->reason).empty());
    return 0;
  }
  const Request& request = std::get<Request>(decoded);
  const Handler handler = message.QueryObjectType() == W4Notifier::eInteractionRequest
                              ? InteractionHandler(request.kind)
                              : QueueHandler(request.kind);
  Check(handler != nullptr);
  ServerState state = SeededState();
  Check(!DescribeRequest(1, request).empty());
  Changes changes;
  const CMessage answer = handler(request, 1, state, changes);
  Check(!DescribeAnswer(1, request.kind, answer, false).empty());
  Check(state.IsConsistent());
  const ServerMoment at = TakeMoment(state);
  for (const QueueChange& change : changes.All()) {
    state.NextSequence(change.queue);
    DescribeNotification(QueueNotification(state, change, at));
    DescribeQueueNotification(state, change);
  }
  for (const ServerInteractionRecord& record : changes.Records()) {
    DescribeNotification(InteractionNotification(record));
    DescribeInteractionNotification(record);
  }
  return 0;
}
