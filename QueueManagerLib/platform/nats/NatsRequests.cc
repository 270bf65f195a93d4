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
CMessage ReplyBody(std::span<const std::uint8_t> data, bool& malformed) {
  malformed = false;
  try {
    return CMessage::Parse(data);
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

natsStatus NatsConnectionImpl::PublishRequest(const CMessage& request, const char* reply,
                                              std::uint32_t waitMs) {
  // The server tells its clients apart by the client token of the subject,
  // which the NATS server's permissions vouch for.
  const std::string subject =
      RequestSubject(options_.root, options_.client, request.QueryObjectType(),
                     request.QueryObjectId(), request.QueryEventId());
  Headers headers;
  // A server in between (a bus bridge) waits for the answer as long as the
  // requester does, not for its own default.
  if (waitMs != 0) headers.emplace_back(kWaitHeader, std::to_string(waitMs));
  const std::vector<std::uint8_t> bytes = request.Serialize();
  const natsStatus status = PublishInParts(connection_, subject.c_str(), reply, headers, bytes);
  TraceOversized(status, bytes.size(), subject);
  return status;
}

eSendStatus NatsConnectionImpl::SendRequest(const CMessage& request, CMessage* response,
                                            std::uint32_t timeoutMs) {
  if (!IsConnected()) return eSendStatus::kNotConnected;
  if (response == nullptr) {
    const natsStatus status = PublishRequest(request, nullptr, 0);
    if (status == NATS_MAX_PAYLOAD) return eSendStatus::kRejected;
    return status == NATS_OK ? eSendStatus::kSuccess : eSendStatus::kNotConnected;
  }
  // Through the connection's own inbox rather than libnats's request: a
  // reply in parts needs every part, and libnats keeps only the first.
  auto pending = std::make_shared<PendingSync>();
  std::uint32_t requestId = 0;
  {
    W4Os::MutexLock lock(&mutex_);
    if (!connected_) return eSendStatus::kNotConnected;
    requestId = nextRequestId_++;
    if (nextRequestId_ == 0) nextRequestId_ = 1;
    pendingSync_[requestId] = pending;
  }
  const std::string reply = inbox_ + "." + std::to_string(requestId);
  const natsStatus status = PublishRequest(request, reply.c_str(), timeoutMs);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  W4Os::MutexLock lock(&mutex_);
  if (status != NATS_OK && !pending->done) {
    pending->done = true;
    pending->status =
        status == NATS_MAX_PAYLOAD ? eSendStatus::kRejected : eSendStatus::kNotConnected;
  }
  while (!pending->done) {
    if (!syncDone_.WaitUntil(deadline)) break;
  }
  pendingSync_.erase(requestId);
  if (!pending->done) return eSendStatus::kTimeout;
  *response = std::move(pending->reply);
  response->Rewind();
  return pending->status;
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
  const natsStatus status = PublishRequest(request, reply.c_str(), timeoutMs);
  if (status != NATS_OK) {
    PendingAsync dropped;  // released after the lock: it may hold the last keep-alive
    W4Os::MutexLock lock(&mutex_);
    auto it = pendingAsync_.find(requestId);
    if (it != pendingAsync_.end()) {
      // Not sent, so no outcome will come: the caller learns it here.
      deadlines_.erase({it->second.deadline, requestId});
      dropped = std::move(it->second);
      pendingAsync_.erase(it);
      return status == NATS_MAX_PAYLOAD ? eMsgInvalidArgument : eMsgNotConnected;
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
  const std::string_view subject = natsMsg_GetSubject(msg);
  if (subject == RenegotiatedSubject(options_.root, options_.client)) {
    natsMsg_Destroy(msg);
    OnRenegotiatedByServer();
    return;
  }
  const auto requestId = RequestIdOf(subject, inbox_);
  if (!requestId) {
    natsMsg_Destroy(msg);
    return;
  }
  Arrival arrival;
  std::vector<PartJoiner::Dropped> dropped;
  const bool whole = parts_.Take(
      msg, [&] { return std::string(subject); }, arrival, dropped);
  FailParted(dropped);
  if (!whole) return;
  NoteInstance(arrival.msg.get());
  bool malformed = false;
  CMessage body = ReplyBody(arrival.Data(), malformed);
  // No responders, a rejection header or a body that is not a message: the
  // request failed, and the caller hears so now rather than at its time-out.
  const bool missing = natsMsg_IsNoResponders(arrival.msg.get());
  const bool rejected = malformed || missing || IsRejection(arrival.msg.get());
  arrival = {};
  if (missing) NoteServerMissing();
  W4Os::MutexLock lock(&mutex_);
  if (auto sync = pendingSync_.find(*requestId); sync != pendingSync_.end()) {
    PendingSync& pending = *sync->second;
    if (pending.done) return;
    pending.done = true;
    pending.status = missing    ? eSendStatus::kNoRoute
                     : rejected ? eSendStatus::kRejected
                                : eSendStatus::kSuccess;
    pending.reply = std::move(body);
    syncDone_.SignalAll();
    return;
  }
  Complete(*requestId, rejected ? DeliveryKind::kRejected : DeliveryKind::kSuccess,
           std::move(body));
}

bool NatsConnectionImpl::Complete(std::uint32_t requestId, DeliveryKind kind, CMessage body) {
  auto it = pendingAsync_.find(requestId);
  if (it == pendingAsync_.end()) return false;  // timed out, cancelled or lost meanwhile
  PendingAsync pending = std::move(it->second);
  pendingAsync_.erase(it);
  EnqueueOutcome(requestId, std::move(pending), kind, std::move(body));
  return true;
}

void NatsConnectionImpl::FailParted(const std::vector<PartJoiner::Dropped>& dropped) {
  if (dropped.empty()) return;
  // Its reply will never be whole: the requester hears so now.
  W4Os::MutexLock lock(&mutex_);
  for (const PartJoiner::Dropped& join : dropped) {
    const auto requestId = RequestIdOf(join.stream, inbox_);
    if (!requestId) continue;
    if (auto sync = pendingSync_.find(*requestId); sync != pendingSync_.end()) {
      if (!sync->second->done) {
        sync->second->done = true;
        sync->second->status = eSendStatus::kRejected;
        syncDone_.SignalAll();
      }
      continue;
    }
    Complete(*requestId, DeliveryKind::kRejected, CMessage());
  }
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
  for (auto& [requestId, sync] : pendingSync_) {
    if (sync->done) continue;
    sync->done = true;
    sync->status = eSendStatus::kNotConnected;
  }
  syncDone_.SignalAll();
  while (!pendingAsync_.empty()) {
    auto node = pendingAsync_.extract(pendingAsync_.begin());
    EnqueueOutcome(node.key(), std::move(node.mapped()), DeliveryKind::kConnectionLoss);
  }
  deadlines_.clear();
}

}  // namespace W4Notifier::nats
