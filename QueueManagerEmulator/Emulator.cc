#include <algorithm>
#include <exception>
#include <variant>

#include "ControlWire.h"
#include "EmulatorImpl.h"
#include "HandlerParts.h"
#include "QueueManager/Platform/Thread.h"
#include "Truncate.h"
#include "Wire.h"
#include "WireLog.h"

namespace QueueManager::Emulator {

using W4Notifier::CInboundRequest;
using W4Notifier::CMessage;

CEmulator::Impl::Impl(std::shared_ptr<W4Notifier::CInProcessBus> bus)
    : bus_(std::move(bus)), connection_(bus_->Connect()) {
  bus_->SetRequestHandler(this);
  timer_ = W4Os::StartThread([this] { EndAlertingsInTime(); });
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
  W4Os::JoinThread(timer_);
  CMessage failed;
  failed << std::int32_t{11};
  for (auto& entry : held) entry.second.Reply(failed);
  // What a fault still delays goes now, rather than never.
  outboxMutex_.Lock();
  for (Outgoing& outgoing : outbox_) outgoing.due.reset();
  delayed_ = 0;
  outboxMutex_.Unlock();
  Flush();
}

void CEmulator::Impl::EndAlertingsInTime() {
  stateMutex_.Lock();
  while (!stopping_) {
    std::optional<Clock::time_point> next = NextDeadline(state_);
    const std::optional<Clock::time_point> due = NextDue(W4Os::SteadyNow());
    if (due && (!next || *due < *next)) next = due;
    timerAsleep_ = true;
    timerWakesAt_ = next;
    if (next) {
      timerWake_.WaitUntil(*next);
    } else {
      timerWake_.Wait();
    }
    timerAsleep_ = false;
    if (stopping_) break;
    Changes changes;
    SettleAlertings(state_, changes, W4Os::SteadyNow());
    if (!changes.Outcomes().empty()) PublishLocked(changes);
    stateMutex_.Unlock();
    Flush();  // also what came due
    stateMutex_.Lock();
  }
  stateMutex_.Unlock();
}

void CEmulator::Impl::OnRequest(CInboundRequest request) {
  IEmulatorControl* control = control_.load();
  if (control != nullptr && request.Message().QueryEntityId() == EmulatorControlEntity()) {
    ServeControlRequest(std::move(request), *control);
    return;
  }
  std::variant<Request, Rejection> decoded = DecodeRequest(request.Message());
  const std::uint16_t sender = request.QuerySender();
  if (logging_) {
    const Rejection* rejection = std::get_if<Rejection>(&decoded);
    Log(rejection != nullptr ? DescribeMalformed(sender, request.Message(), rejection->reason)
                             : DescribeRequest(sender, std::get<Request>(decoded)));
  }
  bool drop = false;
  stateMutex_.Lock();
  if (const Rejection* rejection = std::get_if<Rejection>(&decoded)) {
    ++malformed_;
    RejectLocked(request, std::nullopt, rejection->reason);
  } else {
    drop = Serve(request, std::get<Request>(decoded));
  }
  stateMutex_.Unlock();
  Flush();
  if (!drop) return;
  bus_->DropConnection(sender);
  if (logging_) Log(fmt::format("✂ client {} connection dropped and renegotiated", sender));
}

void CEmulator::Impl::ServeControlRequest(CInboundRequest request, IEmulatorControl& control) {
  const std::uint16_t sender = request.QuerySender();
  const std::variant<ControlRequest, Rejection> decoded = DecodeControlRequest(request.Message());
  std::string failure;
  if (const Rejection* rejection = std::get_if<Rejection>(&decoded)) {
    if (logging_) Log(DescribeMalformed(sender, request.Message(), rejection->reason));
    failure = rejection->reason;
  } else {
    const ControlRequest& order = std::get<ControlRequest>(decoded);
    if (logging_) Log(fmt::format("→ client {} control {}", sender, ControlName(order.kind)));
    try {
      // Its changes are published before it returns: the answer comes after them.
      if (request.ExpectsReply())
        request.Reply(RunControl(order, control));
      else
        RunControl(order, control);
      if (order.kind == eControl::kRenegotiateSender) bus_->RenegotiateConnection(sender);
      return;
    } catch (const std::exception& e) {
      failure = std::string("control request failed: ") + e.what();
    }
  }
  stateMutex_.Lock();
  if (std::holds_alternative<Rejection>(decoded)) ++malformed_;
  RejectLocked(request, std::nullopt, failure);
  stateMutex_.Unlock();
  Flush();
}

bool CEmulator::Impl::Serve(CInboundRequest& request, const Request& decoded) {
  const std::optional<RequestFaultPlan> fault = TakeFault(request.Message());
  const auto suffers = [&fault](eFault kind) { return fault && fault->fault == kind; };
  if (suffers(eFault::kReject)) {
    RejectLocked(request, decoded.kind, "injected fault");
    return false;
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
    RejectLocked(request, decoded.kind, std::string("request failed: ") + e.what());
    return false;
  }
  SettleAlertings(state_, changes, W4Os::SteadyNow());
  const bool answered = !suffers(eFault::kNoReply) && !suffers(eFault::kDropConnection);
  if (changes.Held()) {
    // An alerting whose answer is to be lost goes on, and ends unanswered.
    if (answered) held_.emplace(*changes.Held(), std::move(request));
  } else if (request.ExpectsReply() && answered) {
    if (suffers(eFault::kTruncated)) answer = WithoutLastField(answer);
    Answer(std::move(request), decoded.kind, std::move(answer),
           suffers(eFault::kDelay) ? std::optional(fault->delay) : std::nullopt);
  }
  PublishLocked(changes);
  return suffers(eFault::kDropConnection);
}

void CEmulator::Impl::Answer(CInboundRequest request, eRequest kind, CMessage body,
                             std::optional<std::chrono::milliseconds> delay) {
  Outgoing outgoing{std::move(request), std::move(body)};
  if (logging_)
    outgoing.line = DescribeAnswer(outgoing.request->QuerySender(), kind, outgoing.body, false);
  if (delay) {
    outgoing.due = W4Os::SteadyNow() + *delay;
    outgoing.gate = true;
    outgoing.line += fmt::format(" [delayed {} ms]", delay->count());
  }
  Post(std::move(outgoing));
}

void CEmulator::Impl::RejectLocked(CInboundRequest& request, std::optional<eRequest> kind,
                                   const std::string& reason) {
  lastRejection_ = reason;
  if (!request.ExpectsReply()) return;
  CMessage body;
  body << reason;
  Outgoing outgoing{std::move(request), std::move(body), true};
  if (logging_)
    outgoing.line = DescribeAnswer(outgoing.request->QuerySender(), kind, outgoing.body, true);
  Post(std::move(outgoing));
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
  // Few: a vector, kept in order and kept from one call to the next,
  // allocates less than a set.
  std::vector<W4Notifier::ObjectTypes>& types = touchedTypes_;
  types.clear();
  const std::optional<ServerMoment> at =
      changes.All().empty() ? std::nullopt : std::optional(TakeMoment(state_));
  for (const QueueChange& change : changes.All()) {
    state_.NextSequence(change.queue);
    PostNotification(QueueNotification(state_, change, *at),
                     logging_ ? DescribeQueueNotification(state_, change) : std::string());
    const W4Notifier::ObjectTypes type = change.queue.QueryObjectType();
    const auto where = std::ranges::lower_bound(types, type);
    if (!IsView(change.queue) && (where == types.end() || *where != type))
      types.insert(where, type);
  }
  // The all-queues entity of each type touched publishes the type's new sums.
  for (const W4Notifier::ObjectTypes type : types) {
    const QueueChange sums{CEntityId(type, W4Notifier::kAllObjects, 0), false, {}};
    state_.NextSequence(sums.queue);
    if (Unheard(sums.queue)) continue;
    PostNotification(QueueNotification(state_, sums, *at),
                     logging_ ? DescribeQueueNotification(state_, sums) : std::string());
  }
  for (const ServerInteractionRecord& record : changes.Records()) {
    PostNotification(InteractionNotification(record),
                     [&] { return DescribeInteractionNotification(record); });
  }
  for (const CMessage& notification : changes.Notifications()) {
    PostNotification(notification, [&] { return DescribeNotification(notification); });
  }
  for (const AlertOutcome& outcome : changes.Outcomes()) {
    const auto it = held_.find(outcome.ticket);
    if (it == held_.end()) continue;  // its request was not held (fuzzing, seeding)
    CMessage code;
    code << outcome.code;
    Answer(std::move(it->second), eRequest::kPerformAlerting, std::move(code));
    held_.erase(it);
  }
  WakeTimerFor(NextDeadline(state_));
}

bool CEmulator::Impl::Unheard(const CEntityId& entity) const {
  // What the wire log or a fault plan would see is sent all the same.
  if (logging_ || !notificationFaults_.empty() || !reordered_.empty()) return false;
  return !bus_->HasAudience(entity, 0);
}

void CEmulator::Impl::WakeTimerFor(std::optional<Clock::time_point> due) {
  if (due && timerAsleep_ && (!timerWakesAt_ || *due < *timerWakesAt_)) timerWake_.Signal();
}

void CEmulator::Impl::PublishClock() {
  stateMutex_.Lock();
  const CMessage clock = ClockNotification(state_);
  PostNotification(clock, [&] { return DescribeNotification(clock); });
  stateMutex_.Unlock();
  Flush();
}

}  // namespace QueueManager::Emulator
