#include "QueueManager/Emulator/EmulatorClient.h"

#include <cassert>
#include <chrono>
#include <exception>
#include <thread>

#include <fmt/format.h>

#include "ControlWire.h"
#include "Fields.h"
#include "QueueManager/Platform/Simulation.h"
#include "Wire.h"

namespace QueueManager::Emulator {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using namespace fields;

namespace {

// Between the attempts of a request that found nobody to take it.
constexpr std::chrono::milliseconds kRetryPause{200};

// Reads an answer with `read`; what cannot be read is the control's failure.
template <class Read>
auto ReadAnswer(const CMessage& answer, eControl kind, Read read) {
  try {
    auto result = read(answer);
    if (!answer.IsAtEndOfData()) throw Malformed{"fields after the end of the answer"};
    return result;
  } catch (const Malformed& e) {
    throw CEmulatorControlError(
        fmt::format("{}: unreadable answer: {}", ControlName(kind), e.reason));
  } catch (const W4Notifier::CException& e) {
    throw CEmulatorControlError(
        fmt::format("{}: unreadable answer: {}", ControlName(kind), e.what()));
  }
}

CMessage WithId(eControl kind, std::uint32_t id) {
  CMessage request = ControlMessage(kind);
  request << id;
  return request;
}

void WriteEntity(CMessage& out, const CEntityId& entity) {
  out << static_cast<std::int32_t>(entity.QueryObjectType())
      << static_cast<std::int32_t>(entity.QueryObjectId());
}

CMessage WithQueue(eControl kind, const CEntityId& queue) {
  CMessage request = ControlMessage(kind);
  WriteEntity(request, queue);
  return request;
}

bool ReadBool(const CMessage& answer, eControl kind) {
  return ReadAnswer(answer, kind, [](const CMessage& m) { return Bool(m); });
}

}  // namespace

CEmulatorClient::CEmulatorClient(std::shared_ptr<W4Notifier::CNotifierConnection> connection,
                                 std::uint32_t timeoutMs, std::uint32_t unreachablePatienceMs)
    : connection_(std::move(connection)),
      timeoutMs_(timeoutMs),
      unreachablePatienceMs_(unreachablePatienceMs) {
  assert(connection_ != nullptr);
}

CMessage CEmulatorClient::Call(const CMessage& request) const {
  const auto kind = static_cast<eControl>(request.QueryEventId());
  CMessage answer;
  const auto giveUp = W4Os::SteadyNow() + std::chrono::milliseconds(unreachablePatienceMs_);
  W4Notifier::eSendStatus status = connection_->SendRequest(request, &answer, timeoutMs_);
  bool retried = false;
  while ((status == W4Notifier::eSendStatus::kNotConnected ||
          status == W4Notifier::eSendStatus::kNoRoute) &&
         W4Os::SteadyNow() < giveUp) {
    // A pause, not a busy loop: the connection comes back in its own time.
    W4Os::SleepFor(kRetryPause);
    status = connection_->SendRequest(request, &answer, timeoutMs_);
    retried = true;
  }
  if (retried && status != W4Notifier::eSendStatus::kSuccess &&
      status != W4Notifier::eSendStatus::kRejected) {
    throw CEmulatorControlError(fmt::format("{} failed: {}, still after {} ms", ControlName(kind),
                                            W4Notifier::SendStatusName(status),
                                            unreachablePatienceMs_));
  }
  if (status == W4Notifier::eSendStatus::kRejected) {
    std::string reason;
    try {
      answer.Rewind();
      answer >> reason;
    } catch (const W4Notifier::CException&) {
      reason = "no reason given";
    }
    throw CEmulatorControlError(fmt::format("{} rejected: {}", ControlName(kind), reason));
  }
  if (status != W4Notifier::eSendStatus::kSuccess) {
    throw CEmulatorControlError(
        fmt::format("{} failed: {}", ControlName(kind), W4Notifier::SendStatusName(status)));
  }
  answer.Rewind();
  return answer;
}

bool CEmulatorClient::CreateQueue(const CEntityId& queue) {
  return ReadBool(Call(WithQueue(eControl::kCreateQueue, queue)), eControl::kCreateQueue);
}

std::uint32_t CEmulatorClient::AddInteraction(W4Notifier::ObjectTypes type,
                                              const CQmAttributeMap& attributes,
                                              const std::vector<CEntityId>& queues) {
  CMessage request = ControlMessage(eControl::kAddInteraction);
  request << static_cast<std::int32_t>(type);
  attributes.Write(request);
  WriteEntities(request, queues);
  return ReadAnswer(Call(request), eControl::kAddInteraction,
                    [](const CMessage& m) { return Unsigned(m); });
}

bool CEmulatorClient::SetAttributes(std::uint32_t id, const CQmAttributeMap& attributes) {
  CMessage request = WithId(eControl::kSetAttributes, id);
  attributes.Write(request);
  return ReadBool(Call(request), eControl::kSetAttributes);
}

bool CEmulatorClient::Move(std::uint32_t id, const std::vector<CEntityId>& from,
                           const std::vector<CEntityId>& to) {
  CMessage request = WithId(eControl::kMove, id);
  WriteEntities(request, from);
  WriteEntities(request, to);
  return ReadBool(Call(request), eControl::kMove);
}

bool CEmulatorClient::AnswerAlerting(std::uint32_t id, const CEntityId& party) {
  CMessage request = WithId(eControl::kAnswerAlerting, id);
  WriteEntity(request, party);
  return ReadBool(Call(request), eControl::kAnswerAlerting);
}

bool CEmulatorClient::RemoveInteraction(std::uint32_t id) {
  return ReadBool(Call(WithId(eControl::kRemoveInteraction, id)), eControl::kRemoveInteraction);
}

std::vector<CEntityId> CEmulatorClient::Queues(W4Notifier::ObjectTypes type) const {
  CMessage request = ControlMessage(eControl::kQueues);
  request << static_cast<std::int32_t>(type);
  return ReadAnswer(Call(request), eControl::kQueues,
                    [](const CMessage& m) { return Entities(m); });
}

std::optional<std::vector<std::uint32_t>> CEmulatorClient::QueueContents(
    const CEntityId& queue) const {
  return ReadAnswer(Call(WithQueue(eControl::kQueueContents, queue)), eControl::kQueueContents,
                    [](const CMessage& m) -> std::optional<std::vector<std::uint32_t>> {
                      if (!Bool(m)) return std::nullopt;
                      return Ids(m);
                    });
}

std::optional<QueueCounts> CEmulatorClient::Counts(const CEntityId& queue) const {
  return ReadAnswer(Call(WithQueue(eControl::kCounts, queue)), eControl::kCounts,
                    [](const CMessage& m) -> std::optional<QueueCounts> {
                      if (!Bool(m)) return std::nullopt;
                      QueueCounts c;
                      for (std::uint32_t* count : {&c.alerting, &c.connected, &c.disconnected,
                                                   &c.held, &c.messaging, &c.system})
                        *count = Unsigned(m);
                      return c;
                    });
}

std::optional<InteractionState> CEmulatorClient::Interaction(std::uint32_t id) const {
  return ReadAnswer(Call(WithId(eControl::kInteraction, id)), eControl::kInteraction,
                    [](const CMessage& m) -> std::optional<InteractionState> {
                      if (!Bool(m)) return std::nullopt;
                      return ReadInteraction(m);
                    });
}

std::uint64_t CEmulatorClient::MalformedRequests() const {
  return ReadAnswer(Call(ControlMessage(eControl::kRejections)), eControl::kRejections,
                    [](const CMessage& m) {
                      const std::uint64_t count = Unsigned64(m);
                      std::string reason;
                      m >> reason;
                      return count;
                    });
}

std::string CEmulatorClient::LastRejection() const {
  return ReadAnswer(Call(ControlMessage(eControl::kRejections)), eControl::kRejections,
                    [](const CMessage& m) {
                      Unsigned64(m);
                      std::string reason;
                      m >> reason;
                      return reason;
                    });
}

void CEmulatorClient::InjectFault(const RequestFaultPlan& plan) {
  CMessage request = ControlMessage(eControl::kInjectFault);
  WriteRequestFault(request, plan);
  Call(request);
}

void CEmulatorClient::InjectNotificationFault(const NotificationFaultPlan& plan) {
  CMessage request = ControlMessage(eControl::kInjectNotificationFault);
  WriteNotificationFault(request, plan);
  Call(request);
}

void CEmulatorClient::ClearFaults() { Call(ControlMessage(eControl::kClearFaults)); }

void CEmulatorClient::SetNextInteractionId(std::uint32_t id) {
  Call(WithId(eControl::kSetNextInteractionId, id));
}

void CEmulatorClient::ForceRenegotiation() {
  ReadBool(Call(ControlMessage(eControl::kRenegotiateSender)), eControl::kRenegotiateSender);
}

}  // namespace QueueManager::Emulator
