// Requests on a NATS connection: synchronous ones by libnats request/reply,
// asynchronous ones through the connection's reply inbox with a pending
// table and a timer.

#include <charconv>

#include "QueueManager/Platform/Exceptions.h"
#include "platform/nats/NatsConnection.h"
#include "platform/nats/Subjects.h"

namespace W4Notifier::nats {
namespace {

using Clock = std::chrono::steady_clock;

bool IsRejection(natsMsg* msg) {
  const char* value = nullptr;
  return natsMsgHeader_Get(msg, kRejectedHeader, &value) == NATS_OK;
}

// The reply's body; a reply that is not a message reads as empty.
CMessage ReplyBody(natsMsg* msg, bool& malformed) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
  const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
  malformed = false;
  try {
    return CMessage::Parse(std::span<const std::uint8_t>(data, size));
  } catch (const CNotifierException&) {
    malformed = true;
    return CMessage();
  }
}

std::optional<std::uint32_t> RequestIdOf(std::string_view subject, std::string_view inbox) {
  if (!subject.starts_with(inbox) || subject.size() <= inbox.size() + 1 ||
      subject[inbox.size()] != '.')
    return std::nullopt;
  const std::string_view digits = subject.substr(inbox.size() + 1);
  std::uint32_t id = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
  if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
  return id;
}

}  // namespace

natsMsg* NatsConnectionImpl::BuildMessage(const CMessage& message, const std::string& subject,
                                          const char* reply) const {
  const std::vector<std::uint8_t> bytes = message.Serialize();
  natsMsg* msg = nullptr;
  Check(natsMsg_Create(&msg, subject.c_str(), reply, reinterpret_cast<const char*>(bytes.data()),
                       static_cast<int>(bytes.size())),
        "message");
  return msg;
}

natsMsg* NatsConnectionImpl::BuildRequest(const CMessage& request, const char* reply,
                                          std::uint32_t waitMs) const {
  const std::string subject = RequestSubject(options_.root, request.QueryObjectType(),
                                             request.QueryObjectId(), request.QueryEventId());
  natsMsg* msg = BuildMessage(request, subject, reply);
  // The server tells its clients apart by this: every request of this
  // connection names the same sender, and no other connection names it.
  natsStatus status = natsMsgHeader_Set(msg, kSenderHeader, inbox_.c_str());
  // A server in between (a bus bridge) waits for the answer as long as the
  // requester does, not for its own default.
  if (status == NATS_OK && waitMs != 0)
    status = natsMsgHeader_Set(msg, kWaitHeader, std::to_string(waitMs).c_str());
  if (status != NATS_OK) natsMsg_Destroy(msg);
  Check(status, "sender header");
  return msg;
}

eSendStatus NatsConnectionImpl::SendRequest(const CMessage& request, CMessage* response,
                                            std::uint32_t timeoutMs) {
  if (!IsConnected()) return eSendStatus::kNotConnected;
  natsMsg* msg = BuildRequest(request, nullptr, response != nullptr ? timeoutMs : 0);
  const auto bytes = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
  const std::string subject = natsMsg_GetSubject(msg);
  if (response == nullptr) {
    const natsStatus status = natsConnection_PublishMsg(connection_, msg);
    natsMsg_Destroy(msg);
    TraceOversized(status, bytes, subject);
    return status == NATS_OK ? eSendStatus::kSuccess : eSendStatus::kNotConnected;
  }
  natsMsg* reply = nullptr;
  const natsStatus status = natsConnection_RequestMsg(&reply, connection_, msg, timeoutMs);
  natsMsg_Destroy(msg);
  TraceOversized(status, bytes, subject);
  switch (status) {
    case NATS_OK:
      break;
    case NATS_TIMEOUT:
      return eSendStatus::kTimeout;
    case NATS_NO_RESPONDERS:
      // Nobody serves the subject: known at once, like a request to an
      // entity without a server on the in-process bus.
      NoteServerMissing();
      return eSendStatus::kNoRoute;
    default:
      return eSendStatus::kNotConnected;
  }
  bool malformed = false;
  *response = ReplyBody(reply, malformed);
  const bool rejected = malformed || IsRejection(reply);
  natsMsg_Destroy(reply);
  response->Rewind();
  return rejected ? eSendStatus::kRejected : eSendStatus::kSuccess;
}

eMsgCode NatsConnectionImpl::SendAsyncRequest(const CMessage& request,
                                              IAsyncResponseCallback* callback, std::uint32_t flags,
                                              std::uint32_t timeoutMs, std::uint32_t* handleOut,
                                              const CKeepAlive& keepAlive) {
  if (callback == nullptr) return eMsgInvalidArgument;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint32_t requestId = 0;
  {
    W4Os::MutexLock lock(&mutex_);
    if (!connected_) return eMsgNotConnected;
    requestId = nextRequestId_++;
    if (nextRequestId_ == 0) nextRequestId_ = 1;
    // Recorded before it is sent: the answer may come before Publish returns.
    pendingAsync_[requestId] = PendingAsync{callback, flags, keepAlive, deadline};
    deadlines_.insert({deadline, requestId});
    if (deadlines_.begin()->second == requestId) timerWake_.Signal();
  }
  const std::string reply = inbox_ + "." + std::to_string(requestId);
  natsMsg* msg = BuildRequest(request, reply.c_str(), timeoutMs);
  const natsStatus status = natsConnection_PublishMsg(connection_, msg);
  TraceOversized(status, static_cast<std::size_t>(natsMsg_GetDataLength(msg)),
                 natsMsg_GetSubject(msg));
  natsMsg_Destroy(msg);
  if (status != NATS_OK) {
    PendingAsync dropped;  // released after the lock: it may hold the last keep-alive
    W4Os::MutexLock lock(&mutex_);
    auto it = pendingAsync_.find(requestId);
    if (it != pendingAsync_.end()) {
      // Not sent, so no outcome will come: the caller learns it here.
      deadlines_.erase({it->second.deadline, requestId});
      dropped = std::move(it->second);
      pendingAsync_.erase(it);
      return eMsgNotConnected;
    }
    // A disconnection ended it meanwhile and its outcome is queued: it
    // counts as sent, so that exactly one outcome reaches the caller.
  }
  if (handleOut != nullptr) *handleOut = requestId;
  return eMsgSuccess;
}

eMsgCode NatsConnectionImpl::CancelAsyncRequest(std::uint32_t requestId) {
  W4Os::MutexLock lock(&mutex_);
  auto it = pendingAsync_.find(requestId);
  if (it == pendingAsync_.end()) return eMsgNotFound;
  PendingAsync pending = std::move(it->second);
  pendingAsync_.erase(it);
  EnqueueOutcome(requestId, std::move(pending), DeliveryKind::kCancelled);
  return eMsgSuccess;
}

void NatsConnectionImpl::OnInboxReply(natsMsg* msg) {
  if (natsMsg_GetSubject(msg) == inbox_ + "." + kRenegotiatedToken) {
    natsMsg_Destroy(msg);
    OnRenegotiatedByServer();
    return;
  }
  const auto requestId = RequestIdOf(natsMsg_GetSubject(msg), inbox_);
  if (!requestId) {
    natsMsg_Destroy(msg);
    return;
  }
  bool malformed = false;
  CMessage body = ReplyBody(msg, malformed);
  // No responders, a rejection header or a body that is not a message: the
  // request failed, and the caller hears so now rather than at its time-out.
  const bool missing = natsMsg_IsNoResponders(msg);
  const bool rejected = malformed || missing || IsRejection(msg);
  natsMsg_Destroy(msg);
  if (missing) NoteServerMissing();
  W4Os::MutexLock lock(&mutex_);
  auto it = pendingAsync_.find(*requestId);
  if (it == pendingAsync_.end()) return;  // timed out, cancelled or lost meanwhile
  PendingAsync pending = std::move(it->second);
  pendingAsync_.erase(it);
  EnqueueOutcome(*requestId, std::move(pending),
                 rejected ? DeliveryKind::kRejected : DeliveryKind::kSuccess, std::move(body));
}

void NatsConnectionImpl::EnqueueOutcome(std::uint32_t requestId, PendingAsync pending,
                                        DeliveryKind kind, CMessage message) {
  deadlines_.erase({pending.deadline, requestId});
  Delivery delivery;
  delivery.kind = kind;
  delivery.object = dynamic_cast<const void*>(pending.callback);
  delivery.asyncCallback = pending.callback;
  delivery.requestId = requestId;
  delivery.flags = pending.flags;
  delivery.keepAlive = std::move(pending.keepAlive);
  delivery.message = std::move(message);
  Enqueue(std::move(delivery));
}

void NatsConnectionImpl::FailAllPending() {
  while (!pendingAsync_.empty()) {
    auto node = pendingAsync_.extract(pendingAsync_.begin());
    EnqueueOutcome(node.key(), std::move(node.mapped()), DeliveryKind::kConnectionLoss);
  }
  deadlines_.clear();
}

}  // namespace W4Notifier::nats
