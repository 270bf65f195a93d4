#include <exception>
#include <set>
#include <variant>

#include "EmulatorImpl.h"
#include "HandlerParts.h"
#include "Truncate.h"
#include "Wire.h"

namespace QueueManager::Emulator {

using W4Notifier::CInboundRequest;
using W4Notifier::CMessage;

CEmulator::Impl::Impl(std::shared_ptr<W4Notifier::CInProcessBus> bus)
    : bus_(std::move(bus)), connection_(bus_->Connect()) {
  bus_->SetRequestHandler(this);
  timer_ = std::thread([this] { EndAlertingsInTime(); });
}

CEmulator::Impl::~Impl() {
  bus_->SetRequestHandler(nullptr);
  stateMutex_.Lock();
  stopping_ = true;
  timerWake_.SignalAll();
  // An alerting still open fails rather than leave its caller waiting.
  std::map<std::uint64_t, CInboundRequest> held = std::move(held_);
  held_.clear();
  stateMutex_.Unlock();
  timer_.join();
  CMessage failed;
  failed << std::int32_t{11};
  for (auto& entry : held) entry.second.Reply(failed);
}

void CEmulator::Impl::EndAlertingsInTime() {
  stateMutex_.Lock();
  while (!stopping_) {
    const std::optional<Clock::time_point> next = NextDeadline(state_);
    if (next) {
      timerWake_.WaitUntil(*next);
    } else {
      timerWake_.Wait();
    }
    if (stopping_) break;
    Changes changes;
    SettleAlertings(state_, changes, Clock::now());
    if (changes.Outcomes().empty()) continue;
    PublishLocked(changes);
    stateMutex_.Unlock();
    Flush();
    stateMutex_.Lock();
  }
  stateMutex_.Unlock();
}

void CEmulator::Impl::OnRequest(CInboundRequest request) {
  std::variant<Request, Rejection> decoded = DecodeRequest(request.Message());
  stateMutex_.Lock();
  if (const Rejection* rejection = std::get_if<Rejection>(&decoded)) {
    ++malformed_;
    RejectLocked(request, rejection->reason);
  } else {
    Serve(request, std::get<Request>(decoded));
  }
  stateMutex_.Unlock();
  Flush();
}

void CEmulator::Impl::Serve(CInboundRequest& request, const Request& decoded) {
  const std::optional<eFault> fault = TakeFault(request.Message());
  if (fault == eFault::kReject) {
    RejectLocked(request, "injected fault");
    return;
  }
  const Handler handler = request.Message().QueryObjectType() == W4Notifier::eInteractionRequest
                              ? InteractionHandler(decoded.kind)
                              : QueueHandler(decoded.kind);
  Changes changes;
  CMessage answer;
  try {
    answer = handler(decoded, request.QuerySender(), state_, changes);
  } catch (const std::exception& e) {
    // What was changed before the failure is published all the same.
    PublishLocked(changes);
    RejectLocked(request, std::string("request failed: ") + e.what());
    return;
  }
  SettleAlertings(state_, changes, Clock::now());
  if (changes.Held()) {
    // An alerting whose answer is to be lost goes on, and ends unanswered.
    if (fault != eFault::kNoReply) held_.emplace(*changes.Held(), std::move(request));
  } else if (request.ExpectsReply() && fault != eFault::kNoReply) {
    if (fault == eFault::kTruncated) answer = WithoutLastField(answer);
    Post(Outgoing{std::move(request), std::move(answer), false});
  }
  PublishLocked(changes);
}

void CEmulator::Impl::RejectLocked(CInboundRequest& request, const std::string& reason) {
  lastRejection_ = reason;
  if (!request.ExpectsReply()) return;
  CMessage body;
  body << reason;
  Post(Outgoing{std::move(request), std::move(body), true});
}

std::optional<eFault> CEmulator::Impl::TakeFault(const CMessage& message) {
  const auto it = faults_.find(
      FaultKey{static_cast<std::int32_t>(message.QueryObjectType()), message.QueryEventId()});
  if (it == faults_.end()) return std::nullopt;
  const eFault fault = it->second.fault;
  if (--it->second.remaining == 0) faults_.erase(it);
  return fault;
}

void CEmulator::Impl::InjectFault(W4Notifier::ObjectTypes type, int eventId, eFault fault,
                                  std::uint32_t count) {
  W4Os::MutexLock lock(&stateMutex_);
  const FaultKey key{static_cast<std::int32_t>(type), eventId};
  if (count == 0) {
    faults_.erase(key);
  } else {
    faults_[key] = FaultPlan{fault, count};
  }
}

std::uint64_t CEmulator::Impl::MalformedRequests() const {
  W4Os::MutexLock lock(&stateMutex_);
  return malformed_;
}

std::string CEmulator::Impl::LastRejection() const {
  W4Os::MutexLock lock(&stateMutex_);
  return lastRejection_;
}

void CEmulator::Impl::PublishLocked(const Changes& changes) {
  std::set<W4Notifier::ObjectTypes> types;
  for (const QueueChange& change : changes.All()) {
    state_.NextSequence(change.queue);
    Post(Outgoing{std::nullopt, QueueNotification(state_, change), false});
    if (!IsView(change.queue)) types.insert(change.queue.QueryObjectType());
  }
  // The all-queues entity of each type touched publishes the type's new sums.
  for (const W4Notifier::ObjectTypes type : types) {
    const CEntityId allQueues(type, W4Notifier::kAllObjects, 0);
    state_.NextSequence(allQueues);
    Post(Outgoing{std::nullopt, QueueNotification(state_, QueueChange{allQueues, false, {}}),
                  false});
  }
  for (const InteractionRecord& record : changes.Records()) {
    Post(Outgoing{std::nullopt, InteractionNotification(record), false});
  }
  for (const CMessage& notification : changes.Notifications()) {
    Post(Outgoing{std::nullopt, notification, false});
  }
  for (const AlertOutcome& outcome : changes.Outcomes()) {
    const auto it = held_.find(outcome.ticket);
    if (it == held_.end()) continue;  // its request was not held (fuzzing, seeding)
    CMessage code;
    code << outcome.code;
    Post(Outgoing{std::move(it->second), std::move(code), false});
    held_.erase(it);
  }
  timerWake_.Signal();
}

void CEmulator::Impl::PublishClock() {
  stateMutex_.Lock();
  Post(Outgoing{std::nullopt, ClockNotification(state_), false});
  stateMutex_.Unlock();
  Flush();
}

void CEmulator::Impl::Post(Outgoing outgoing) {
  W4Os::MutexLock lock(&outboxMutex_);
  outbox_.push_back(std::move(outgoing));
}

void CEmulator::Impl::Flush() {
  outboxMutex_.Lock();
  if (flushing_) {
    outboxMutex_.Unlock();
    return;  // the sending thread sends what was just added too
  }
  flushing_ = true;
  while (!outbox_.empty()) {
    std::deque<Outgoing> batch = std::move(outbox_);
    outbox_.clear();
    outboxMutex_.Unlock();
    for (Outgoing& outgoing : batch) {
      if (outgoing.request) {
        outgoing.request->Reply(outgoing.body, outgoing.rejected);
      } else {
        connection_->Publish(outgoing.body);
      }
    }
    outboxMutex_.Lock();
  }
  flushing_ = false;
  outboxMutex_.Unlock();
}

}  // namespace QueueManager::Emulator
