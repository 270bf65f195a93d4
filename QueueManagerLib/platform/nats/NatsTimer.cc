// The timer thread of a NATS connection: time-outs of asynchronous requests,
// and the watch for a server that went missing.

#include <optional>

#include "platform/nats/NatsConnection.h"
#include "platform/nats/Subjects.h"

namespace W4Notifier::nats {

void NatsConnectionImpl::NoteServerMissing() {
  W4Os::MutexLock lock(&mutex_);
  if (serverMissing_) return;
  serverMissing_ = true;
  nextProbe_ = Clock::now() + std::chrono::milliseconds(options_.reconnectWaitMs);
  timerWake_.Signal();
}

void NatsConnectionImpl::RunTimer() {
  W4Os::MutexLock lock(&mutex_);
  while (!shuttingDown_) {
    const Clock::time_point now = Clock::now();
    const bool probing = serverMissing_ && connected_;
    if (probing && now >= nextProbe_) {
      ProbeServer();
      continue;
    }
    if (ExpireFirst(now)) continue;
    std::optional<Clock::time_point> wake;
    if (!deadlines_.empty()) wake = deadlines_.begin()->first;
    if (probing && (!wake || nextProbe_ < *wake)) wake = nextProbe_;
    if (wake) {
      timerWake_.WaitUntil(*wake);
    } else {
      timerWake_.Wait();
    }
  }
}

bool NatsConnectionImpl::ExpireFirst(Clock::time_point now) {
  while (!deadlines_.empty()) {
    const auto [deadline, requestId] = *deadlines_.begin();
    if (now < deadline) return false;
    auto it = pendingAsync_.find(requestId);
    if (it == pendingAsync_.end()) {
      deadlines_.erase(deadlines_.begin());
      continue;
    }
    PendingAsync pending = std::move(it->second);
    pendingAsync_.erase(it);
    EnqueueOutcome(requestId, std::move(pending), DeliveryKind::kTimeout);
    return true;
  }
  return false;
}

void NatsConnectionImpl::ProbeServer() {
  mutex_.Unlock();
  const bool back = ServerAnswers();
  mutex_.Lock();
  if (shuttingDown_) return;
  nextProbe_ = Clock::now() + std::chrono::milliseconds(options_.reconnectWaitMs);
  if (!back || !connected_) return;
  // What the server published while it was away is lost, and requests sent
  // then were refused: its subscribers reload, as after a reconnection.
  serverMissing_ = false;
  EnqueueRenegotiations();
}

bool NatsConnectionImpl::ServerAnswers() {
  // A responder answers a subject under the root that names no request with
  // a rejection of its own, without handing it on; only "no responders"
  // means nobody serves. Any other outcome, a time-out included, means
  // somebody is subscribed.
  const std::string subject = ProbeSubject(options_.root, options_.client);
  natsMsg* reply = nullptr;
  const natsStatus status = natsConnection_Request(&reply, connection_, subject.c_str(), nullptr, 0,
                                                   options_.reconnectWaitMs);
  if (reply != nullptr) natsMsg_Destroy(reply);
  return status != NATS_NO_RESPONDERS && status != NATS_CONNECTION_CLOSED &&
         natsConnection_Status(connection_) == NATS_CONN_STATUS_CONNECTED;
}

}  // namespace W4Notifier::nats
