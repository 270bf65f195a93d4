#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Faults.h"
#include "HandlerParts.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Sync.h"
#include "RequestDecoder.h"
#include "ServerState.h"

namespace QueueManager::Emulator {

// Serves the bus's requests on its server thread and the control functions
// on the callers' threads.
//
// Locks, in the order they may be taken: `stateMutex_`, then `outboxMutex_`,
// then `logMutex_`. None is held while the bus or the wire log's sink is
// called, but for the bus's HasAudience (which calls nothing out). Every answer and notification is
// put into the outbox under the state lock, in the order of the changes, and one thread at a time
// sends the outbox in that order: an answer (a snapshot included) reaches its client before any
// later change is published.
//
// Faults bend that order only as their kinds say: an answer delayed by a
// fault holds back the answers to its client and every notification behind it
// until it is due (answers to other clients pass it); a delayed notification
// holds back nothing. The time-out thread also wakes when the earliest
// delayed message is due, and sends the outbox.
//
// An alerting's reply is held (by ticket) until the alerting ends: by a
// request, a control function or the time-out thread, which wakes at the
// earliest time-out or delayed message, and is woken only by a change that
// brings that time forward (not by every publication: waking it costs two
// thread switches). Every operation ends the alertings its changes ended
// before it publishes.
class CEmulator::Impl : public W4Notifier::IRequestHandler {
 public:
  explicit Impl(std::shared_ptr<W4Notifier::CInProcessBus> bus);
  ~Impl() override;

  void OnRequest(W4Notifier::CInboundRequest request) override;

  // Runs `change` on the state and publishes what it changed; returns its
  // result.
  template <class Change>
  auto Mutate(Change change) {
    Changes changes;
    stateMutex_.Lock();
    auto result = change(state_, changes);
    if (!state_.Alertings().empty()) SettleAlertings(state_, changes, W4Os::SteadyNow());
    PublishLocked(changes);
    stateMutex_.Unlock();
    Flush();
    return result;
  }
  // Runs `read` on the state under the state lock.
  template <class Read>
  auto Inspect(Read read) const {
    W4Os::MutexLock lock(&stateMutex_);
    return read(std::as_const(state_));
  }

  void InjectFault(const RequestFaultPlan& plan);
  void InjectNotificationFault(const NotificationFaultPlan& plan);
  void ClearFaults();
  void SetWireLog(WireLogSink sink);
  // The control functions that serve the control entity's requests; null:
  // not served. REQUIRES: `control` outlives this, or is unset first.
  void ServeControl(IEmulatorControl* control) { control_.store(control); }
  // Publishes the server clock notification.
  void PublishClock();
  std::uint64_t MalformedRequests() const;
  std::string LastRejection() const;

 private:
  struct Outgoing {
    Outgoing(std::optional<W4Notifier::CInboundRequest> to, W4Notifier::CMessage message,
             bool rejection = false)
        : request(std::move(to)), body(std::move(message)), rejected(rejection) {}
    std::optional<W4Notifier::CInboundRequest> request;  // a reply to it, else a notification
    W4Notifier::CMessage body;
    bool rejected = false;
    bool logOnly = false;                  // a wire log line, nothing to send
    std::optional<Clock::time_point> due;  // held by a fault until then
    bool gate = false;                     // holds back what follows (a delayed answer)
    std::string line;                      // the wire log's line; empty when not logging
  };
  using FaultKey = std::pair<std::int32_t, int>;

  // Serves a request to the control entity with `control`, with no lock held.
  void ServeControlRequest(W4Notifier::CInboundRequest request, IEmulatorControl& control);
  // Serves a decoded request; true when its sender's connection is to drop.
  bool Serve(W4Notifier::CInboundRequest& request, const Request& decoded)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  void RejectLocked(W4Notifier::CInboundRequest& request, std::optional<eRequest> kind,
                    const std::string& reason) QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // Queues the answer `body` to `request`, delayed by `delay` when set.
  void Answer(W4Notifier::CInboundRequest request, eRequest kind, W4Notifier::CMessage body,
              std::optional<std::chrono::milliseconds> delay = std::nullopt)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  std::optional<RequestFaultPlan> TakeFault(const W4Notifier::CMessage& message)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // Sequences and queues the notifications of `changes`.
  void PublishLocked(const Changes& changes) QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  void Post(Outgoing outgoing) QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // Whether a notification of `entity` would reach no one, and nothing else
  // would see it: the type sums that no client watches are then not built.
  // A client that subscribes later asks for the state after that, and
  // finds the sequence numbers counted on as if it had been sent.
  bool Unheard(const CEntityId& entity) const QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // Queues a notification as the notification fault plans say; `describe`
  // makes its log line.
  template <class Describe>
  void PostNotification(W4Notifier::CMessage message, Describe describe)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_) {
    PostNotification(std::move(message), logging_ ? describe() : std::string());
  }
  void PostNotification(W4Notifier::CMessage message, std::string line)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // The first notification plan that matches `entity` and hits.
  std::optional<NotificationFaultPlan> TakeNotificationFault(const W4Notifier::CEntityId& entity)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // Queues the notifications of `entity` held for reordering.
  void ReleaseReordered(const W4Notifier::CEntityId& entity)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // The time-out thread's loop.
  void EndAlertingsInTime();
  // Wakes the time-out thread when it sleeps past `due`.
  void WakeTimerFor(std::optional<Clock::time_point> due) QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // The earliest time a held message of the outbox is due, after `now`.
  std::optional<Clock::time_point> NextDue(Clock::time_point now);
  // Sends what the outbox holds that is not held back; returns once what was
  // posted before the call was sent or is held back.
  void Flush();
  // Moves out of the outbox into `sending_`, in order, what may be sent now.
  void TakeSendable() QM_EXCLUSIVE_LOCKS_REQUIRED(outboxMutex_);
  void Send(Outgoing& outgoing);
  void Log(const std::string& line);

  const std::shared_ptr<W4Notifier::CInProcessBus> bus_;
  // The server's own connection, through which it publishes.
  const std::shared_ptr<W4Notifier::CInProcessConnection> connection_;
  mutable W4Os::Mutex stateMutex_;
  ServerState state_ QM_GUARDED_BY(stateMutex_);
  std::map<FaultKey, RequestFault> faults_ QM_GUARDED_BY(stateMutex_);
  std::vector<NotificationFault> notificationFaults_ QM_GUARDED_BY(stateMutex_);
  // Notifications held by a reorder fault until the next one of their entity.
  std::map<std::pair<std::int32_t, std::uint32_t>, std::vector<Outgoing>> reordered_
      QM_GUARDED_BY(stateMutex_);
  std::uint64_t malformed_ QM_GUARDED_BY(stateMutex_) = 0;
  // PublishLocked's scratch list of the queue types an operation touched.
  std::vector<W4Notifier::ObjectTypes> touchedTypes_ QM_GUARDED_BY(stateMutex_);
  std::string lastRejection_ QM_GUARDED_BY(stateMutex_);
  std::map<std::uint64_t, W4Notifier::CInboundRequest> held_ QM_GUARDED_BY(stateMutex_);
  bool stopping_ QM_GUARDED_BY(stateMutex_) = false;
  W4Os::CondVar timerWake_{&stateMutex_};
  // Whether the time-out thread sleeps, and until when (forever when unset).
  bool timerAsleep_ QM_GUARDED_BY(stateMutex_) = false;
  std::optional<Clock::time_point> timerWakesAt_ QM_GUARDED_BY(stateMutex_);
  W4Os::Mutex outboxMutex_;
  std::deque<Outgoing> outbox_ QM_GUARDED_BY(outboxMutex_);
  // The messages of the outbox that a fault delays or that hold others back:
  // while there are none, the whole outbox is sent at once.
  std::size_t delayed_ QM_GUARDED_BY(outboxMutex_) = 0;
  // What the flushing thread sends now, outside the lock. Only the thread
  // that set `flushing_` touches it; kept, with its storage, from one flush
  // to the next.
  std::deque<Outgoing> sending_;
  // One thread at a time sends; the others wait until it is done.
  bool flushing_ QM_GUARDED_BY(outboxMutex_) = false;
  std::thread::id flusher_ QM_GUARDED_BY(outboxMutex_);
  W4Os::CondVar flushDone_{&outboxMutex_};
  // Set when the log has a sink: the log lines are made only then.
  std::atomic<bool> logging_{false};
  W4Os::Mutex logMutex_;
  std::shared_ptr<const WireLogSink> sink_ QM_GUARDED_BY(logMutex_);
  std::atomic<IEmulatorControl*> control_{nullptr};
  std::thread timer_;  // started last, joined first
};

}  // namespace QueueManager::Emulator
