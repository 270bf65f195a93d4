#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "HandlerParts.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Sync.h"
#include "RequestDecoder.h"
#include "ServerState.h"

namespace QueueManager::Emulator {

// Serves the bus's requests on its server thread and the control functions
// on the callers' threads.
//
// Locks, in the order they may be taken: `stateMutex_`, then `outboxMutex_`.
// Neither is held while the bus is called. Every answer and notification is
// put into the outbox under the state lock, in the order of the changes, and
// one thread at a time sends the outbox in that order: an answer (a snapshot
// included) reaches its client before any later change is published.
//
// An alerting's reply is held (by ticket) until the alerting ends: by a
// request, a control function or the time-out thread, which wakes at the
// earliest time-out and whenever something was published. Every operation
// ends the alertings its changes ended before it publishes.
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
    SettleAlertings(state_, changes, Clock::now());
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

  void InjectFault(W4Notifier::ObjectTypes type, int eventId, eFault fault, std::uint32_t count);
  // Publishes the server clock notification.
  void PublishClock();
  std::uint64_t MalformedRequests() const;
  std::string LastRejection() const;

 private:
  struct Outgoing {
    std::optional<W4Notifier::CInboundRequest> request;  // a reply to it, else a notification
    W4Notifier::CMessage body;
    bool rejected = false;
  };
  using FaultKey = std::pair<std::int32_t, int>;
  struct FaultPlan {
    eFault fault = eFault::kReject;
    std::uint32_t remaining = 0;
  };

  void Serve(W4Notifier::CInboundRequest& request, const Request& decoded)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  void RejectLocked(W4Notifier::CInboundRequest& request, const std::string& reason)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  std::optional<eFault> TakeFault(const W4Notifier::CMessage& message)
      QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // Sequences and queues the notifications of `changes`.
  void PublishLocked(const Changes& changes) QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  void Post(Outgoing outgoing) QM_EXCLUSIVE_LOCKS_REQUIRED(stateMutex_);
  // The time-out thread's loop.
  void EndAlertingsInTime();
  // Sends what the outbox holds, unless another thread is sending it.
  void Flush();

  const std::shared_ptr<W4Notifier::CInProcessBus> bus_;
  // The server's own connection, through which it publishes.
  const std::shared_ptr<W4Notifier::CInProcessConnection> connection_;
  mutable W4Os::Mutex stateMutex_;
  ServerState state_ QM_GUARDED_BY(stateMutex_);
  std::map<FaultKey, FaultPlan> faults_ QM_GUARDED_BY(stateMutex_);
  std::uint64_t malformed_ QM_GUARDED_BY(stateMutex_) = 0;
  std::string lastRejection_ QM_GUARDED_BY(stateMutex_);
  std::map<std::uint64_t, W4Notifier::CInboundRequest> held_ QM_GUARDED_BY(stateMutex_);
  bool stopping_ QM_GUARDED_BY(stateMutex_) = false;
  W4Os::CondVar timerWake_{&stateMutex_};
  W4Os::Mutex outboxMutex_;
  std::deque<Outgoing> outbox_ QM_GUARDED_BY(outboxMutex_);
  bool flushing_ QM_GUARDED_BY(outboxMutex_) = false;
  std::thread timer_;  // started last, joined first
};

}  // namespace QueueManager::Emulator
