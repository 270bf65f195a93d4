#include "ControlWire.h"

#include <bit>
#include <cmath>
#include <exception>

#include <fmt/format.h>

#include "Fields.h"
#include "Wire.h"

namespace QueueManager::Emulator {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using namespace fields;

namespace {

// Signed and floating values travel as their 64 bits (the message's 64-bit
// field is an unsigned long long, not a std::uint64_t, which is a long here).
unsigned long long Bits(std::int64_t value) { return std::bit_cast<unsigned long long>(value); }
unsigned long long Bits(double value) { return std::bit_cast<unsigned long long>(value); }
std::int64_t Signed64(const CMessage& m) { return std::bit_cast<std::int64_t>(Unsigned64(m)); }
double Double(const CMessage& m) { return std::bit_cast<double>(Unsigned64(m)); }

// Times of fault plans are added to clock readings in nanoseconds: bounded
// so that no sum overflows.
constexpr std::int64_t kLongestFaultMs = 24LL * 3600 * 1000;

std::chrono::milliseconds Duration(const CMessage& m) {
  const std::int64_t ms = Signed64(m);
  if (ms < -kLongestFaultMs || ms > kLongestFaultMs)
    throw Malformed{fmt::format("a fault time of {} ms, beyond a day", ms)};
  return std::chrono::milliseconds(ms);
}

std::chrono::milliseconds Delay(const CMessage& m) {
  const std::chrono::milliseconds delay = Duration(m);
  if (delay.count() < 0) throw Malformed{"negative delay"};
  return delay;
}

template <class Enum>
Enum EnumUpTo(const CMessage& m, Enum last, const char* what) {
  const std::int32_t value = Int(m);
  if (value < 0 || value > static_cast<std::int32_t>(last))
    throw Malformed{fmt::format("no {} {}", what, value)};
  return static_cast<Enum>(value);
}

void WriteSelection(CMessage& out, const FaultSelection& s) {
  out << static_cast<std::int32_t>(s.form) << s.count << Bits(s.probability)
      << static_cast<unsigned long long>(s.seed) << Bits(std::int64_t{s.windowStart.count()})
      << Bits(std::int64_t{s.windowLength.count()});
}

FaultSelection ReadSelection(const CMessage& m) {
  FaultSelection s;
  s.form = EnumUpTo(m, FaultSelection::eForm::kWindow, "fault selection");
  s.count = Unsigned(m);
  s.probability = Double(m);
  // Written so that a value that is not a number fails too.
  if (!(s.probability >= 0 && s.probability <= 1)) throw Malformed{"probability outside [0, 1]"};
  s.seed = Unsigned64(m);
  s.windowStart = Duration(m);
  s.windowLength = Delay(m);
  return s;
}

RequestFaultPlan ReadRequestFault(const CMessage& m) {
  RequestFaultPlan plan;
  plan.targetType = static_cast<W4Notifier::ObjectTypes>(Int(m));
  plan.eventId = Int(m);
  plan.fault = EnumUpTo(m, eFault::kDropConnection, "request fault");
  plan.selection = ReadSelection(m);
  plan.delay = Delay(m);
  return plan;
}

NotificationFaultPlan ReadNotificationFault(const CMessage& m) {
  NotificationFaultPlan plan;
  plan.entityType = static_cast<W4Notifier::ObjectTypes>(Int(m));
  if (Bool(m)) plan.objectId = Unsigned(m);
  plan.fault = EnumUpTo(m, eNotificationFault::kReorder, "notification fault");
  plan.selection = ReadSelection(m);
  plan.delay = Delay(m);
  return plan;
}

std::uint32_t NewNextId(const CMessage& m) {
  const std::uint32_t id = Unsigned(m);
  if (id == 0 || id == W4Notifier::kAllObjects) throw Malformed{fmt::format("no next id {}", id)};
  return id;
}

void DecodeFields(const CMessage& m, ControlRequest& r) {
  switch (r.kind) {
    case eControl::kCreateQueue:
    case eControl::kQueueContents:
    case eControl::kCounts:
      r.queue = Queue(m);
      break;
    case eControl::kAddInteraction:
      r.type = static_cast<W4Notifier::ObjectTypes>(Int(m));
      r.map.Read(m);
      r.entities = Entities(m);
      break;
    case eControl::kSetAttributes:
      r.id = Unsigned(m);
      r.map.Read(m);
      break;
    case eControl::kMove:
      r.id = Unsigned(m);
      r.entities = Entities(m);
      r.entities2 = Entities(m);
      break;
    case eControl::kAnswerAlerting:
      r.id = Unsigned(m);
      r.queue = Queue(m);
      break;
    case eControl::kRemoveInteraction:
    case eControl::kInteraction:
      r.id = Unsigned(m);
      break;
    case eControl::kQueues:
      r.type = static_cast<W4Notifier::ObjectTypes>(Int(m));
      break;
    case eControl::kInjectFault:
      r.requestFault = ReadRequestFault(m);
      break;
    case eControl::kInjectNotificationFault:
      r.notificationFault = ReadNotificationFault(m);
      break;
    case eControl::kSetNextInteractionId:
      r.id = NewNextId(m);
      break;
    case eControl::kRejections:
    case eControl::kClearFaults:
    case eControl::kRenegotiateSender:
      break;
  }
}

}  // namespace

CEntityId EmulatorControlEntity() {
  return CEntityId(kEmulatorControlType, W4Notifier::kAllObjects, 0);
}

CMessage ControlMessage(eControl kind) {
  CMessage message;
  message.SetEntity(EmulatorControlEntity());
  message.SetEventId(static_cast<int>(kind));
  return message;
}

const char* ControlName(eControl kind) {
  static constexpr const char* kNames[] = {"?",
                                           "CreateQueue",
                                           "AddInteraction",
                                           "SetAttributes",
                                           "Move",
                                           "AnswerAlerting",
                                           "RemoveInteraction",
                                           "Queues",
                                           "QueueContents",
                                           "Counts",
                                           "Interaction",
                                           "Rejections",
                                           "InjectFault",
                                           "InjectNotificationFault",
                                           "ClearFaults",
                                           "SetNextInteractionId",
                                           "RenegotiateSender"};
  const auto index = static_cast<std::size_t>(kind);
  return index < std::size(kNames) ? kNames[index] : "?";
}

void WriteRequestFault(CMessage& out, const RequestFaultPlan& plan) {
  out << static_cast<std::int32_t>(plan.targetType) << std::int32_t{plan.eventId}
      << static_cast<std::int32_t>(plan.fault);
  WriteSelection(out, plan.selection);
  out << Bits(std::int64_t{plan.delay.count()});
}

void WriteNotificationFault(CMessage& out, const NotificationFaultPlan& plan) {
  out << static_cast<std::int32_t>(plan.entityType) << plan.objectId.has_value();
  if (plan.objectId) out << *plan.objectId;
  out << static_cast<std::int32_t>(plan.fault);
  WriteSelection(out, plan.selection);
  out << Bits(std::int64_t{plan.delay.count()});
}

void WriteInteraction(CMessage& out, const InteractionState& interaction) {
  out << interaction.id << static_cast<std::int32_t>(interaction.type);
  interaction.attributes.Write(out);
  WriteEntities(out, interaction.queues);
  out << static_cast<std::int32_t>(interaction.forwarded.size());
  for (const CMessage& forwarded : interaction.forwarded) out << forwarded;
}

InteractionState ReadInteraction(const CMessage& in) {
  InteractionState interaction;
  interaction.id = Unsigned(in);
  interaction.type = static_cast<W4Notifier::ObjectTypes>(Int(in));
  interaction.attributes.Read(in);
  interaction.queues = Entities(in);
  for (std::uint32_t i = Count(in); i > 0; --i) {
    CMessage forwarded;
    in >> forwarded;
    interaction.forwarded.push_back(std::move(forwarded));
  }
  return interaction;
}

std::variant<ControlRequest, Rejection> DecodeControlRequest(const CMessage& message) {
  const int event = message.QueryEventId();
  if (message.QueryEntityId() != EmulatorControlEntity() ||
      event < static_cast<int>(eControl::kCreateQueue) ||
      event > static_cast<int>(eControl::kRenegotiateSender)) {
    return Rejection{fmt::format("no control request {}", event)};
  }
  ControlRequest request;
  request.kind = static_cast<eControl>(event);
  const std::size_t start = message.QueryReadPosition();
  message.Rewind();
  std::string reason;
  try {
    DecodeFields(message, request);
    if (!message.IsAtEndOfData()) reason = "fields after the end of the request";
  } catch (const Malformed& e) {
    reason = e.reason;
  } catch (const std::exception& e) {
    reason = e.what();
  }
  message.RestoreReadPosition(start);
  if (!reason.empty())
    return Rejection{
        fmt::format("malformed control request {}: {}", ControlName(request.kind), reason)};
  return request;
}

}  // namespace QueueManager::Emulator
