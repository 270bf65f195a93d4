#pragma once

// The inside of an in-process connection: subscriptions, pending requests,
// delivery lanes and the time-out timer.
//
// Locking: one mutex per connection (`mutex_`) guards every table and every
// lane queue. It is never held while a callback, an observer or the request
// handler runs. The bus's mutex may be taken after it (lock order: connection
// mutex, then bus mutex); the bus never calls a connection while holding its
// own mutex.

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <unordered_set>
#include <vector>

#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/MessageServer.h"
#include "QueueManager/Platform/Sync.h"
#include "platform/notifier/CallbackKind.h"
#include "platform/notifier/SpinWait.h"
#include "platform/notifier/WorkCounter.h"

namespace W4Notifier::detail {
class BusCore;
}

namespace W4Notifier {

class CInProcessConnection::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(std::weak_ptr<detail::BusCore> bus, std::shared_ptr<detail::WorkCounter> work,
       std::uint16_t handle, const CInProcessOptions& options);
  void StartThreads();
  // Takes the connection down for good and joins its threads (a thread of
  // its own that ends it is detached and finishes by itself).
  void Shutdown();

  std::uint16_t Handle() const { return handle_; }
  const std::weak_ptr<detail::BusCore>& Bus() const { return bus_; }
  bool IsConnected() const;
  eSendStatus SendRequest(const CMessage& request, CMessage* response, std::uint32_t timeoutMs);
  eMsgCode SendAsyncRequest(const CMessage& request, IAsyncResponseCallback* callback,
                            std::uint32_t flags, std::uint32_t timeoutMs, std::uint32_t* handleOut,
                            const CKeepAlive& keepAlive);
  eMsgCode CancelAsyncRequest(std::uint32_t requestId);
  eMsgCode Publish(const CMessage& notification);
  eMsgCode StartNotifications(const CEntityId& entity, int eventCode, IMessageCallback* callback,
                              std::uint32_t* handleOut, const CKeepAlive& keepAlive);
  eMsgCode StopNotifications(const CEntityId& entity, int eventCode, IMessageCallback* callback);
  eMsgCode StopAllMessages(IMessageCallback* callback);
  eMsgCode AttachInbox(const std::shared_ptr<CMessageInbox>& inbox, const CEntityId& entity,
                       int eventCode);
  void DetachInbox(const CMessageInbox* inbox);
  void Disconnect();
  void Reconnect(bool renegotiate);
  void Renegotiate();

  // Called by the bus.
  void OnNotification(const CMessage& notification);
  // Whether OnNotification would hand a notification of that entity and
  // event to a subscription or an inbox now.
  bool Receives(ObjectTypes type, std::uint32_t objectId, int eventCode) const;
  void OnReply(std::uint32_t requestId, const CMessage& reply, bool rejected);

 private:
  using DeliveryKind = detail::eCallbackKind;
  struct Delivery {
    DeliveryKind kind;
    const void* object = nullptr;  // the callback's most-derived object
    IMessageCallback* messageCallback = nullptr;
    std::uint64_t subscriptionId = 0;
    IAsyncResponseCallback* asyncCallback = nullptr;
    std::uint32_t requestId = 0;
    std::uint32_t flags = 0;
    CKeepAlive keepAlive;
    CMessage message;
  };
  struct Lane {
    std::deque<Delivery> queue;
    const void* current = nullptr;  // object being called back, if any
    // The lane this lane's thread waits for, inside a stop, to finish a
    // callback; null when it waits for none.
    const Lane* waitsFor = nullptr;
    std::thread::id threadId;
    std::unique_ptr<W4Os::CondVar> work;  // signalled when `queue` gains an item
    // Counts the items `queue` gained: a lane that ran dry watches it without
    // the lock for a moment before it parks (see SpinForDeliveries).
    std::unique_ptr<std::atomic<std::uint64_t>> queued;
    std::unique_ptr<detail::SpinPolicy> spin;
    std::vector<CKeepAlive> deferredReleases;
    std::thread thread;
  };
  // The lanes that deliveries were queued for, to be woken once the lock is
  // released, each once. Not thread-safe; lives on one caller's stack. The
  // lanes' conditions outlive it: lanes are never removed.
  class LaneWakeList {
   public:
    void Add(W4Os::CondVar& work);
    void SignalAll() const;

   private:
    std::array<W4Os::CondVar*, 4> lanes_{};
    std::size_t count_ = 0;
  };
  struct SubscriptionKey {
    ObjectTypes type;
    std::uint32_t objectId;
    int eventCode;
    auto operator<=>(const SubscriptionKey&) const = default;
  };
  struct Subscription {
    std::uint64_t id;
    IMessageCallback* callback;
    const void* object;
    CKeepAlive keepAlive;
  };
  struct InboxSubscription {
    SubscriptionKey key;
    std::shared_ptr<CMessageInbox> inbox;
    bool Matches(ObjectTypes type, std::uint32_t objectId, int eventCode) const {
      return key.type == type && key.eventCode == eventCode &&
             (key.objectId == objectId || key.objectId == kAllObjects);
    }
  };
  // An asynchronous request from the moment it has an id. Until it is armed
  // (routed on the bus, token known, deadline set) only its sender or its
  // answer may end it: the timer cannot see it, and a disconnect leaves it
  // to the sender, which then reports the failure instead of a callback.
  struct PendingAsync {
    IAsyncResponseCallback* callback;
    std::uint32_t flags;
    CKeepAlive keepAlive;
    std::chrono::steady_clock::time_point deadline;
    std::uint64_t busToken = 0;
    bool armed = false;
  };
  // A synchronous request's rendezvous with its answer. The answer (or the
  // failure) is written under `mutex_` and then published by `done`; nothing
  // writes `status` or `reply` after that, so a waiter that saw `done` reads
  // them without the lock. Each waiter has its own condition, so an answer
  // wakes its own waiter only.
  struct SyncWaiter {
    explicit SyncWaiter(W4Os::Mutex* mutex) : wake(mutex) {}
    std::atomic<bool> done{false};
    eSendStatus status = eSendStatus::kTimeout;
    CMessage reply;
    W4Os::CondVar wake;
  };

  static const void* ObjectOf(const IMessageCallback* callback);
  static const void* ObjectOf(const IAsyncResponseCallback* callback);
  Lane& LaneOf(const void* object) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  Lane* CurrentLane() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // True when `self` (the calling thread's lane, or null) waiting for
  // `target` would close a cycle: `target` waits, directly or through other
  // lanes, for `self`.
  bool WaitWouldCloseCycle(const Lane* self, const Lane& target) const
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void Enqueue(Delivery delivery) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Queues `delivery` without waking its lane, which the caller wakes;
  // returns the lane.
  Lane& EnqueueUnsignalled(Delivery delivery) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void EnqueueOutcome(std::uint32_t requestId, PendingAsync pending, DeliveryKind kind,
                      CMessage message = {}) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void FailAllPending() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void Finish(SyncWaiter& waiter, eSendStatus status, const CMessage& reply = {})
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Waits for the answer of `waiter`'s request until `deadline`; false when
  // it did not come in time (the request then no longer has a waiter).
  bool AwaitReply(const std::shared_ptr<SyncWaiter>& waiter, std::uint32_t requestId,
                  std::chrono::steady_clock::time_point deadline);
  // Removes subscriptions for which `remove` holds (only those of `only`,
  // when given: a stop of one subscription looks at its key alone, not at
  // every subscription); waits until no other thread is calling the
  // callback's object; releases keep-alives safely.
  template <class Predicate>
  std::size_t RemoveSubscriptions(const void* object, const SubscriptionKey* only,
                                  Predicate remove);
  bool IsSubscribed(std::uint64_t subscriptionId) const QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  bool HasSubscription(const void* object) const QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void RunLane(std::size_t index);
  // Leaves the lock for a short spin while `lane` has nothing queued. A
  // publisher that sends a stream of notifications wakes a parked lane for
  // each of them (a system call and a thread switch each way); a lane that
  // waits a moment finds the next one queued, and its publisher signals no
  // sleeper. The spin policy turns spinning off where it does not pay.
  void SpinForDeliveries(Lane& lane) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void RunTimer();
  void InvokeGuarded(Delivery& delivery);
  static void Invoke(Delivery& delivery);

  // The bus's core, not the bus: releasing a locked core never runs the
  // bus's destructor (which joins its server thread), so it is safe to lock
  // it while holding `mutex_`.
  const std::weak_ptr<detail::BusCore> bus_;
  const std::shared_ptr<detail::WorkCounter> work_;
  const std::uint16_t handle_;
  const unsigned laneCount_;

  mutable W4Os::Mutex mutex_;
  W4Os::CondVar laneIdle_{&mutex_};
  W4Os::CondVar timerWake_{&mutex_};
  bool connected_ QM_GUARDED_BY(mutex_) = true;
  // Counts the disconnections: a request whose send saw one began before it,
  // even when the connection is back by the time the send ends.
  std::uint64_t disconnections_ QM_GUARDED_BY(mutex_) = 0;
  bool shuttingDown_ QM_GUARDED_BY(mutex_) = false;
  std::vector<Lane> lanes_ QM_GUARDED_BY(mutex_);
  std::thread timer_;
  std::uint64_t nextSubscriptionId_ QM_GUARDED_BY(mutex_) = 1;
  std::uint32_t nextRequestId_ QM_GUARDED_BY(mutex_) = 1;
  std::map<SubscriptionKey, std::vector<Subscription>> subscriptions_ QM_GUARDED_BY(mutex_);
  // The ids in `subscriptions_`: a lane checks each notification's
  // subscription before the call, and a scan of every subscription there
  // would cost a process that watches thousands of interactions more than
  // the delivery itself.
  std::unordered_set<std::uint64_t> subscriptionIds_ QM_GUARDED_BY(mutex_);
  std::vector<InboxSubscription> inboxes_ QM_GUARDED_BY(mutex_);
  std::map<std::uint32_t, PendingAsync> pendingAsync_ QM_GUARDED_BY(mutex_);
  std::set<std::pair<std::chrono::steady_clock::time_point, std::uint32_t>> deadlines_
      QM_GUARDED_BY(mutex_);
  std::map<std::uint32_t, std::shared_ptr<SyncWaiter>> syncWaiters_ QM_GUARDED_BY(mutex_);
  detail::SpinPolicy syncSpin_;
};

}  // namespace W4Notifier
