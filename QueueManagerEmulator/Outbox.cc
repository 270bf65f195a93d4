// The emulator's outbox (what it sends, in order, with the delays that faults
// add), the fault plans and the wire log.

#include <fmt/format.h>

#include <set>

#include "EmulatorImpl.h"

namespace QueueManager::Emulator {

using W4Notifier::CMessage;

namespace {

std::pair<std::int32_t, std::uint32_t> KeyOf(const CEntityId& entity) {
  return {static_cast<std::int32_t>(entity.QueryObjectType()), entity.QueryObjectId()};
}

}  // namespace

// ---- fault plans ----

void CEmulator::Impl::InjectFault(const RequestFaultPlan& plan) {
  W4Os::MutexLock lock(&stateMutex_);
  const FaultKey key{static_cast<std::int32_t>(plan.targetType), plan.eventId};
  faults_.erase(key);
  const bool none =
      plan.selection.form == FaultSelection::eForm::kNext && plan.selection.count == 0;
  if (!none)
    faults_.emplace(key, RequestFault{plan, FaultSelector(plan.selection, W4Os::SteadyNow())});
}

void CEmulator::Impl::InjectNotificationFault(const NotificationFaultPlan& plan) {
  W4Os::MutexLock lock(&stateMutex_);
  notificationFaults_.push_back(
      NotificationFault{plan, FaultSelector(plan.selection, W4Os::SteadyNow())});
}

void CEmulator::Impl::ClearFaults() {
  W4Os::MutexLock lock(&stateMutex_);
  faults_.clear();
  notificationFaults_.clear();
}

std::optional<RequestFaultPlan> CEmulator::Impl::TakeFault(const CMessage& message) {
  // A test's synchronisation point is never a fault's target.
  if (message.QueryObjectType() == W4Notifier::eQueueManagerServer &&
      message.QueryEventId() == kSyncEvent)
    return std::nullopt;
  const auto it = faults_.find(
      FaultKey{static_cast<std::int32_t>(message.QueryObjectType()), message.QueryEventId()});
  if (it == faults_.end()) return std::nullopt;
  const Clock::time_point now = W4Os::SteadyNow();
  const bool hit = it->second.selector.Hit(now);
  const RequestFaultPlan plan = it->second.plan;
  if (it->second.selector.Spent(now)) faults_.erase(it);
  return hit ? std::optional(plan) : std::nullopt;
}

std::optional<NotificationFaultPlan> CEmulator::Impl::TakeNotificationFault(
    const CEntityId& entity) {
  if (notificationFaults_.empty()) return std::nullopt;
  const Clock::time_point now = W4Os::SteadyNow();
  std::optional<NotificationFaultPlan> taken;
  for (NotificationFault& fault : notificationFaults_) {
    if (fault.Matches(entity) && fault.selector.Hit(now)) {
      taken = fault.plan;
      break;
    }
  }
  std::erase_if(notificationFaults_,
                [now](const NotificationFault& fault) { return fault.selector.Spent(now); });
  return taken;
}

// ---- posting ----

void CEmulator::Impl::Post(Outgoing outgoing) {
  WakeTimerFor(outgoing.due);
  W4Os::MutexLock lock(&outboxMutex_);
  if (outgoing.due) ++delayed_;
  outbox_.push_back(std::move(outgoing));
}

void CEmulator::Impl::PostNotification(CMessage message, std::string line) {
  const CEntityId entity = message.QueryEntityId();
  const std::optional<NotificationFaultPlan> fault = TakeNotificationFault(entity);
  Outgoing outgoing{std::nullopt, std::move(message)};
  outgoing.line = std::move(line);
  if (!fault) {
    Post(std::move(outgoing));
    ReleaseReordered(entity);
    return;
  }
  switch (fault->fault) {
    case eNotificationFault::kDrop:
      outgoing.logOnly = true;
      outgoing.line += " [dropped]";
      Post(std::move(outgoing));
      return;
    case eNotificationFault::kDelay:
      outgoing.due = W4Os::SteadyNow() + fault->delay;
      outgoing.line += fmt::format(" [delayed {} ms]", fault->delay.count());
      Post(std::move(outgoing));
      return;
    case eNotificationFault::kDuplicate: {
      Outgoing again = outgoing;
      again.line += " [duplicate]";
      Post(std::move(outgoing));
      Post(std::move(again));
      ReleaseReordered(entity);
      return;
    }
    case eNotificationFault::kReorder:
      outgoing.line += " [reordered]";
      reordered_[KeyOf(entity)].push_back(std::move(outgoing));
      return;
  }
}

void CEmulator::Impl::ReleaseReordered(const CEntityId& entity) {
  const auto it = reordered_.find(KeyOf(entity));
  if (it == reordered_.end()) return;
  for (Outgoing& outgoing : it->second) Post(std::move(outgoing));
  reordered_.erase(it);
}

// ---- sending ----

std::optional<Clock::time_point> CEmulator::Impl::NextDue(Clock::time_point now) {
  W4Os::MutexLock lock(&outboxMutex_);
  std::optional<Clock::time_point> next;
  for (const Outgoing& outgoing : outbox_) {
    if (outgoing.due && *outgoing.due > now && (!next || *outgoing.due < *next)) {
      next = outgoing.due;
    }
  }
  return next;
}

void CEmulator::Impl::TakeSendable() {
  if (delayed_ == 0) {
    sending_.swap(outbox_);
    return;
  }
  const Clock::time_point now = W4Os::SteadyNow();
  std::set<std::uint16_t> heldClients;  // their answers wait behind a delayed one
  bool notificationsHeld = false;
  for (auto it = outbox_.begin(); it != outbox_.end();) {
    const bool waiting = it->due && *it->due > now;
    const bool behind =
        it->request ? heldClients.contains(it->request->QuerySender()) : notificationsHeld;
    if (!waiting && !behind) {
      if (it->due) --delayed_;
      sending_.push_back(std::move(*it));
      it = outbox_.erase(it);
      continue;
    }
    if (it->gate) {
      heldClients.insert(it->request->QuerySender());
      notificationsHeld = true;
    }
    ++it;
  }
}

void CEmulator::Impl::Flush() {
  outboxMutex_.Lock();
  if (flushing_ && flusher_ == std::this_thread::get_id()) {
    outboxMutex_.Unlock();
    return;  // called from the wire log's sink: the loop below sends it
  }
  // What the caller posted is sent when this returns: a thread that sends
  // now may have taken its batch before the caller's messages came.
  while (flushing_) flushDone_.Wait();
  flushing_ = true;
  flusher_ = std::this_thread::get_id();
  while (true) {
    TakeSendable();
    if (sending_.empty()) break;
    outboxMutex_.Unlock();
    for (Outgoing& outgoing : sending_) Send(outgoing);
    sending_.clear();
    outboxMutex_.Lock();
  }
  flushing_ = false;
  flusher_ = std::thread::id();
  flushDone_.SignalAll();
  outboxMutex_.Unlock();
}

void CEmulator::Impl::Send(Outgoing& outgoing) {
  if (!outgoing.line.empty()) Log(outgoing.line);
  if (outgoing.logOnly) return;
  if (outgoing.request) {
    outgoing.request->Reply(outgoing.body, outgoing.rejected);
  } else {
    connection_->Publish(outgoing.body);
  }
}

// ---- wire log ----

void CEmulator::Impl::SetWireLog(WireLogSink sink) {
  W4Os::MutexLock lock(&logMutex_);
  logging_ = static_cast<bool>(sink);
  sink_ = sink ? std::make_shared<const WireLogSink>(std::move(sink)) : nullptr;
}

void CEmulator::Impl::Log(const std::string& line) {
  logMutex_.Lock();
  const std::shared_ptr<const WireLogSink> sink = sink_;
  logMutex_.Unlock();
  if (sink) (*sink)(line);
}

}  // namespace QueueManager::Emulator
