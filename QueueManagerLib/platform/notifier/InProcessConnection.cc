#include <algorithm>
#include <exception>
#include <system_error>

#include "QueueManager/Platform/Thread.h"
#include "platform/notifier/BusCore.h"
#include "platform/notifier/InProcessConnectionImpl.h"

namespace W4Notifier {

using Clock = std::chrono::steady_clock;

CInProcessConnection::Impl::Impl(std::weak_ptr<detail::BusCore> bus,
                                 std::shared_ptr<detail::WorkCounter> work, std::uint16_t handle,
                                 const CInProcessOptions& options)
    : bus_(std::move(bus)),
      work_(std::move(work)),
      handle_(handle),
      laneCount_(std::max(1u, options.deliveryThreads)) {
  W4Os::MutexLock lock(&mutex_);
  lanes_.resize(laneCount_);
  for (Lane& lane : lanes_) {
    lane.work = std::make_unique<W4Os::CondVar>(&mutex_);
    lane.queued = std::make_unique<std::atomic<std::uint64_t>>(0);
    lane.spin = std::make_unique<detail::SpinPolicy>();
  }
}

void CInProcessConnection::Impl::StartThreads() {
  auto self = shared_from_this();
  std::vector<std::thread> threads;
  std::exception_ptr failed;
  try {
    for (std::size_t i = 0; i < laneCount_; ++i) {
      threads.push_back(W4Os::StartThread([self, i] { self->RunLane(i); }));
    }
  } catch (const std::system_error&) {
    failed = std::current_exception();
  }
  {
    // The threads that did start belong to their lanes either way, so that
    // Shutdown ends them when another cannot start.
    W4Os::MutexLock lock(&mutex_);
    for (std::size_t i = 0; i < threads.size(); ++i) {
      lanes_[i].threadId = threads[i].get_id();
      lanes_[i].thread = std::move(threads[i]);
    }
    try {
      if (!failed) timer_ = W4Os::StartThread([self] { self->RunTimer(); });
    } catch (const std::system_error&) {
      failed = std::current_exception();
    }
  }
  if (failed) {
    Shutdown();
    std::rethrow_exception(failed);
  }
}

void CInProcessConnection::Impl::Shutdown() {
  std::vector<std::thread> threads;
  {
    W4Os::MutexLock lock(&mutex_);
    if (shuttingDown_) return;
    FailAllPending();
    connected_ = false;
    shuttingDown_ = true;
    for (const InboxSubscription& s : inboxes_) s.inbox->Close();
    inboxes_.clear();
    for (Lane& lane : lanes_) threads.push_back(std::move(lane.thread));
    for (Lane& lane : lanes_) lane.work->SignalAll();
    timerWake_.SignalAll();
  }
  threads.push_back(std::move(timer_));
  for (std::thread& thread : threads) {
    if (!thread.joinable()) continue;
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // ends by itself once its callback returns
    } else {
      W4Os::JoinThread(thread);
    }
  }
  std::map<SubscriptionKey, std::vector<Subscription>> released;
  {
    W4Os::MutexLock lock(&mutex_);
    released.swap(subscriptions_);
    subscriptionIds_.clear();
  }
  // Keep-alives are released here, outside the lock.
}

bool CInProcessConnection::Impl::IsConnected() const {
  W4Os::MutexLock lock(&mutex_);
  return connected_;
}

const void* CInProcessConnection::Impl::ObjectOf(const IMessageCallback* callback) {
  return dynamic_cast<const void*>(callback);
}

const void* CInProcessConnection::Impl::ObjectOf(const IAsyncResponseCallback* callback) {
  return dynamic_cast<const void*>(callback);
}

CInProcessConnection::Impl::Lane& CInProcessConnection::Impl::LaneOf(const void* object) {
  // Every callback of one object goes to one lane, which keeps them in order.
  const auto bits = reinterpret_cast<std::uintptr_t>(object);
  return lanes_[(bits >> 4) % lanes_.size()];
}

CInProcessConnection::Impl::Lane* CInProcessConnection::Impl::CurrentLane() {
  const auto me = std::this_thread::get_id();
  for (Lane& lane : lanes_) {
    if (lane.threadId == me) return &lane;
  }
  return nullptr;
}

void CInProcessConnection::Impl::Enqueue(Delivery delivery) {
  EnqueueUnsignalled(std::move(delivery)).work->Signal();
}

CInProcessConnection::Impl::Lane& CInProcessConnection::Impl::EnqueueUnsignalled(
    Delivery delivery) {
  Lane& lane = LaneOf(delivery.object);
  lane.queue.push_back(std::move(delivery));
  lane.queued->fetch_add(1, std::memory_order_relaxed);
  work_->Add();
  return lane;
}

void CInProcessConnection::Impl::EnqueueOutcome(std::uint32_t requestId, PendingAsync pending,
                                                DeliveryKind kind, CMessage message) {
  deadlines_.erase({pending.deadline, requestId});
  Delivery delivery;
  delivery.kind = kind;
  delivery.object = ObjectOf(pending.callback);
  delivery.asyncCallback = pending.callback;
  delivery.requestId = requestId;
  delivery.flags = pending.flags;
  delivery.keepAlive = std::move(pending.keepAlive);
  delivery.message = std::move(message);
  Enqueue(std::move(delivery));
}

void CInProcessConnection::Impl::FailAllPending() {
  std::vector<std::uint64_t> tokens;
  for (auto it = pendingAsync_.begin(); it != pendingAsync_.end();) {
    if (!it->second.armed) {
      ++it;  // still being sent: its sender sees the disconnection and fails the send
      continue;
    }
    auto node = pendingAsync_.extract(it++);
    tokens.push_back(node.mapped().busToken);
    EnqueueOutcome(node.key(), std::move(node.mapped()), DeliveryKind::kConnectionLoss);
  }
  deadlines_.clear();
  for (auto& [id, waiter] : syncWaiters_) Finish(*waiter, eSendStatus::kNotConnected);
  syncWaiters_.clear();
  if (auto bus = bus_.lock()) {
    for (std::uint64_t token : tokens) bus->Forget(token);
  }
}

// ---- requests ----

eSendStatus CInProcessConnection::Impl::SendRequest(const CMessage& request, CMessage* response,
                                                    std::uint32_t timeoutMs) {
  auto bus = bus_.lock();
  if (!bus) return eSendStatus::kNotConnected;
  if (response == nullptr) {
    if (!IsConnected()) return eSendStatus::kNotConnected;
    return bus->Submit(request, handle_, nullptr, 0, nullptr) ? eSendStatus::kSuccess
                                                              : eSendStatus::kNoRoute;
  }
  auto waiter = std::make_shared<SyncWaiter>(&mutex_);
  std::uint32_t requestId;
  {
    W4Os::MutexLock lock(&mutex_);
    if (!connected_) return eSendStatus::kNotConnected;
    requestId = nextRequestId_++;
    syncWaiters_[requestId] = waiter;
  }
  std::uint64_t token = 0;
  if (!bus->Submit(request, handle_, shared_from_this(), requestId, &token,
                   /*senderWaits=*/true)) {
    W4Os::MutexLock lock(&mutex_);
    syncWaiters_.erase(requestId);
    return eSendStatus::kNoRoute;
  }
  const auto deadline = W4Os::SteadyNow() + std::chrono::milliseconds(timeoutMs);
  if (!AwaitReply(waiter, requestId, deadline)) {
    bus->Forget(token);
    return eSendStatus::kTimeout;
  }
  if (waiter->status == eSendStatus::kSuccess || waiter->status == eSendStatus::kRejected) {
    *response = std::move(waiter->reply);
    response->Rewind();
  } else {
    bus->Forget(token);  // a disconnection may have failed it before it was routed
  }
  return waiter->status;
}

bool CInProcessConnection::Impl::AwaitReply(const std::shared_ptr<SyncWaiter>& waiter,
                                            std::uint32_t requestId, Clock::time_point deadline) {
  // An in-process answer usually comes within microseconds: wait for it
  // without parking first.
  if (syncSpin_.SpinUntil([&] { return waiter->done.load(std::memory_order_acquire); }))
    return true;
  W4Os::MutexLock lock(&mutex_);
  while (!waiter->done.load(std::memory_order_acquire)) {
    if (!waiter->wake.WaitUntil(deadline) && !waiter->done.load(std::memory_order_acquire)) {
      syncWaiters_.erase(requestId);
      return false;
    }
  }
  return true;
}

void CInProcessConnection::Impl::Finish(SyncWaiter& waiter, eSendStatus status,
                                        const CMessage& reply) {
  waiter.status = status;
  waiter.reply = reply;
  waiter.wake.Signal();  // a parked waiter runs only once `mutex_` is released
  waiter.done.store(true, std::memory_order_release);
}

eMsgCode CInProcessConnection::Impl::SendAsyncRequest(const CMessage& request,
                                                      IAsyncResponseCallback* callback,
                                                      std::uint32_t flags, std::uint32_t timeoutMs,
                                                      std::uint32_t* handleOut,
                                                      const CKeepAlive& keepAlive) {
  if (callback == nullptr) return eMsgInvalidArgument;
  auto bus = bus_.lock();
  if (!bus) return eMsgNotConnected;
  std::uint32_t requestId;
  std::uint64_t disconnections = 0;
  const auto deadline = W4Os::SteadyNow() + std::chrono::milliseconds(timeoutMs);
  {
    W4Os::MutexLock lock(&mutex_);
    if (!connected_) return eMsgNotConnected;
    disconnections = disconnections_;
    requestId = nextRequestId_++;
    // Recorded before it is routed, since its answer may arrive before
    // Submit returns; armed only afterwards (see PendingAsync).
    pendingAsync_[requestId] = PendingAsync{callback, flags, keepAlive, deadline, 0, false};
  }
  std::uint64_t token = 0;
  const bool routed = bus->Submit(request, handle_, shared_from_this(), requestId, &token);
  PendingAsync dropped{};  // released after the lock: it may hold the last keep-alive
  eMsgCode result = eMsgSuccess;
  {
    W4Os::MutexLock lock(&mutex_);
    auto it = pendingAsync_.find(requestId);
    if (it == pendingAsync_.end()) {
      // Nothing but its answer ends an unarmed request, and there is one
      // only when it was routed: that answer is its one callback.
    } else if (!routed || !connected_ || disconnections_ != disconnections) {
      // A disconnection during the send failed no pending request of it, and
      // the answer, if any, was lost with the connection.
      dropped = std::move(it->second);
      pendingAsync_.erase(it);
      result = routed ? eMsgNotConnected : eMsgNoRoute;
    } else {
      it->second.busToken = token;
      it->second.armed = true;
      deadlines_.insert({deadline, requestId});
      // The timer only needs to know when this is now the earliest deadline.
      if (deadlines_.begin()->second == requestId) timerWake_.Signal();
    }
  }
  if (result != eMsgSuccess) {
    if (routed) bus->Forget(token);
    return result;
  }
  if (handleOut != nullptr) *handleOut = requestId;
  return eMsgSuccess;
}

eMsgCode CInProcessConnection::Impl::CancelAsyncRequest(std::uint32_t requestId) {
  std::uint64_t token = 0;
  {
    W4Os::MutexLock lock(&mutex_);
    auto it = pendingAsync_.find(requestId);
    if (it == pendingAsync_.end() || !it->second.armed) return eMsgNotFound;
    PendingAsync pending = std::move(it->second);
    pendingAsync_.erase(it);
    token = pending.busToken;
    EnqueueOutcome(requestId, std::move(pending), DeliveryKind::kCancelled);
  }
  if (auto bus = bus_.lock()) bus->Forget(token);
  return eMsgSuccess;
}

void CInProcessConnection::Impl::OnReply(std::uint32_t requestId, const CMessage& reply,
                                         bool rejected) {
  W4Os::MutexLock lock(&mutex_);
  if (auto it = syncWaiters_.find(requestId); it != syncWaiters_.end()) {
    // Held here: a spinning waiter may return, and drop its share, as soon
    // as it sees the answer.
    const std::shared_ptr<SyncWaiter> waiter = std::move(it->second);
    syncWaiters_.erase(it);
    Finish(*waiter, rejected ? eSendStatus::kRejected : eSendStatus::kSuccess, reply);
    return;
  }
  auto it = pendingAsync_.find(requestId);
  if (it == pendingAsync_.end()) return;  // timed out, cancelled or lost meanwhile
  PendingAsync pending = std::move(it->second);
  pendingAsync_.erase(it);
  EnqueueOutcome(requestId, std::move(pending),
                 rejected ? DeliveryKind::kRejected : DeliveryKind::kSuccess, reply);
}

void CInProcessConnection::Impl::RunTimer() {
  W4Os::MutexLock lock(&mutex_);
  while (!shuttingDown_) {
    if (deadlines_.empty()) {
      timerWake_.Wait();
      continue;
    }
    const auto [deadline, requestId] = *deadlines_.begin();
    if (W4Os::SteadyNow() < deadline) {
      timerWake_.WaitUntil(deadline);
      continue;
    }
    auto it = pendingAsync_.find(requestId);
    if (it == pendingAsync_.end()) {
      deadlines_.erase(deadlines_.begin());
      continue;
    }
    PendingAsync pending = std::move(it->second);
    pendingAsync_.erase(it);
    if (auto bus = bus_.lock()) bus->Forget(pending.busToken);
    EnqueueOutcome(requestId, std::move(pending), DeliveryKind::kTimeout);
  }
}

// ---- notifications ----

eMsgCode CInProcessConnection::Impl::Publish(const CMessage& notification) {
  auto bus = bus_.lock();
  if (!bus || !IsConnected()) return eMsgNotConnected;
  bus->Publish(notification);
  return eMsgSuccess;
}

void CInProcessConnection::Impl::OnNotification(const CMessage& notification) {
  const ObjectTypes type = notification.QueryObjectType();
  const std::uint32_t id = notification.QueryObjectId();
  const int event = notification.QueryEventId();
  LaneWakeList wake;
  {
    W4Os::MutexLock lock(&mutex_);
    if (!connected_) return;
    auto deliverTo = [&](const SubscriptionKey& key) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
      auto it = subscriptions_.find(key);
      if (it == subscriptions_.end()) return;
      for (const Subscription& s : it->second) {
        Delivery delivery;
        delivery.kind = DeliveryKind::kNotification;
        delivery.object = s.object;
        delivery.messageCallback = s.callback;
        delivery.subscriptionId = s.id;
        delivery.message = notification;
        wake.Add(*EnqueueUnsignalled(std::move(delivery)).work);
      }
    };
    deliverTo({type, id, event});
    if (id != kAllObjects) deliverTo({type, kAllObjects, event});
    for (const InboxSubscription& s : inboxes_) {
      if (s.Matches(type, id, event)) s.inbox->Deliver(notification);
    }
  }
  // Woken without the lock: a lane woken under it would at once block on it
  // again, and its release would then have to wake the lane a second time.
  wake.SignalAll();
}

bool CInProcessConnection::Impl::Receives(ObjectTypes type, std::uint32_t objectId,
                                          int eventCode) const {
  W4Os::MutexLock lock(&mutex_);
  if (!connected_) return false;
  const auto subscribed = [this](const SubscriptionKey& key) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    const auto it = subscriptions_.find(key);
    return it != subscriptions_.end() && !it->second.empty();
  };
  if (subscribed({type, objectId, eventCode})) return true;
  if (objectId != kAllObjects && subscribed({type, kAllObjects, eventCode})) return true;
  return std::ranges::any_of(
      inboxes_, [&](const InboxSubscription& s) { return s.Matches(type, objectId, eventCode); });
}

void CInProcessConnection::Impl::LaneWakeList::Add(W4Os::CondVar& work) {
  if (std::find(lanes_.begin(), lanes_.begin() + count_, &work) != lanes_.begin() + count_) return;
  if (count_ == lanes_.size()) {
    work.Signal();  // rarely more lanes than fit: this one is woken at once
    return;
  }
  lanes_[count_++] = &work;
}

void CInProcessConnection::Impl::LaneWakeList::SignalAll() const {
  for (std::size_t i = 0; i < count_; ++i) lanes_[i]->Signal();
}

eMsgCode CInProcessConnection::Impl::StartNotifications(const CEntityId& entity, int eventCode,
                                                        IMessageCallback* callback,
                                                        std::uint32_t* handleOut,
                                                        const CKeepAlive& keepAlive) {
  if (callback == nullptr || !entity.IsSet()) return eMsgInvalidArgument;
  const SubscriptionKey key{entity.QueryObjectType(), entity.QueryObjectId(), eventCode};
  W4Os::MutexLock lock(&mutex_);
  if (shuttingDown_) return eMsgNotConnected;
  std::vector<Subscription>& list = subscriptions_[key];
  auto same = std::find_if(list.begin(), list.end(),
                           [callback](const Subscription& s) { return s.callback == callback; });
  if (same == list.end()) {
    list.push_back(Subscription{nextSubscriptionId_++, callback, ObjectOf(callback), keepAlive});
    subscriptionIds_.insert(list.back().id);
    same = std::prev(list.end());
  }
  if (handleOut != nullptr) *handleOut = static_cast<std::uint32_t>(same->id);
  return eMsgSuccess;
}

bool CInProcessConnection::Impl::WaitWouldCloseCycle(const Lane* self, const Lane& target) const {
  // A thread that is no lane is waited for by no lane.
  if (self == nullptr || self == &target) return false;
  const Lane* lane = target.waitsFor;
  for (std::size_t step = 0; lane != nullptr && step < lanes_.size(); ++step) {
    if (lane == self) return true;
    lane = lane->waitsFor;
  }
  return false;
}

template <class Predicate>
std::size_t CInProcessConnection::Impl::RemoveSubscriptions(const void* object,
                                                            const SubscriptionKey* only,
                                                            Predicate remove) {
  std::vector<CKeepAlive> released;  // dropped after the lock is left
  std::size_t count = 0;
  W4Os::MutexLock lock(&mutex_);
  // Removes the matching subscriptions of `it`'s key; returns the next key.
  auto sweep = [&](auto it) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    auto& list = it->second;
    for (auto s = list.begin(); s != list.end();) {
      if (s->object == object && remove(it->first, *s)) {
        subscriptionIds_.erase(s->id);
        released.push_back(std::move(s->keepAlive));
        s = list.erase(s);
        ++count;
      } else {
        ++s;
      }
    }
    return list.empty() ? subscriptions_.erase(it) : std::next(it);
  };
  if (only != nullptr) {
    if (auto it = subscriptions_.find(*only); it != subscriptions_.end()) sweep(it);
  } else {
    for (auto it = subscriptions_.begin(); it != subscriptions_.end();) it = sweep(it);
  }
  // Wait until no other thread is inside a callback of this object. Its lane
  // checks the subscription before each call, so nothing starts after this.
  Lane& lane = LaneOf(object);
  Lane* const self = CurrentLane();
  if ((self == &lane && lane.current == object) || WaitWouldCloseCycle(self, lane)) {
    // Called from the object's own callback, or from a callback whose lane
    // the object's lane waits for (two callbacks stopping each other's
    // subscriptions): waiting would never end. The object's running callback
    // finishes on its own; the keep-alives must outlive it.
    for (CKeepAlive& k : released) lane.deferredReleases.push_back(std::move(k));
    released.clear();
  } else {
    if (self != nullptr) self->waitsFor = &lane;
    while (lane.current == object) laneIdle_.Wait();
    if (self != nullptr) self->waitsFor = nullptr;
  }
  return count;
}

eMsgCode CInProcessConnection::Impl::StopNotifications(const CEntityId& entity, int eventCode,
                                                       IMessageCallback* callback) {
  if (callback == nullptr) return eMsgInvalidArgument;
  const SubscriptionKey wanted{entity.QueryObjectType(), entity.QueryObjectId(), eventCode};
  const std::size_t removed = RemoveSubscriptions(
      ObjectOf(callback), &wanted,
      [&](const SubscriptionKey&, const Subscription& s) { return s.callback == callback; });
  return removed != 0 ? eMsgSuccess : eMsgNotFound;
}

eMsgCode CInProcessConnection::Impl::StopAllMessages(IMessageCallback* callback) {
  if (callback == nullptr) return eMsgInvalidArgument;
  RemoveSubscriptions(
      ObjectOf(callback), nullptr,
      [&](const SubscriptionKey&, const Subscription& s) { return s.callback == callback; });
  return eMsgSuccess;
}

bool CInProcessConnection::Impl::IsSubscribed(std::uint64_t subscriptionId) const {
  return subscriptionIds_.contains(subscriptionId);
}

bool CInProcessConnection::Impl::HasSubscription(const void* object) const {
  for (const auto& [key, list] : subscriptions_) {
    for (const Subscription& s : list) {
      if (s.object == object) return true;
    }
  }
  return false;
}

eMsgCode CInProcessConnection::Impl::AttachInbox(const std::shared_ptr<CMessageInbox>& inbox,
                                                 const CEntityId& entity, int eventCode) {
  if (!inbox || !entity.IsSet()) return eMsgInvalidArgument;
  W4Os::MutexLock lock(&mutex_);
  if (shuttingDown_) return eMsgNotConnected;
  inboxes_.push_back(
      InboxSubscription{{entity.QueryObjectType(), entity.QueryObjectId(), eventCode}, inbox});
  return eMsgSuccess;
}

void CInProcessConnection::Impl::DetachInbox(const CMessageInbox* inbox) {
  std::vector<InboxSubscription> released;
  W4Os::MutexLock lock(&mutex_);
  for (auto it = inboxes_.begin(); it != inboxes_.end();) {
    if (it->inbox.get() == inbox) {
      released.push_back(std::move(*it));
      it = inboxes_.erase(it);
    } else {
      ++it;
    }
  }
}

// ---- connection state ----

void CInProcessConnection::Impl::Disconnect() {
  W4Os::MutexLock lock(&mutex_);
  if (!connected_) return;
  connected_ = false;
  ++disconnections_;
  FailAllPending();
}

void CInProcessConnection::Impl::Reconnect(bool renegotiate) {
  {
    W4Os::MutexLock lock(&mutex_);
    if (shuttingDown_) return;
    connected_ = true;
  }
  if (renegotiate) Renegotiate();
}

void CInProcessConnection::Impl::Renegotiate() {
  W4Os::MutexLock lock(&mutex_);
  if (!connected_) return;
  std::set<const void*> seen;
  for (const auto& [key, list] : subscriptions_) {
    for (const Subscription& s : list) {
      if (!seen.insert(s.object).second) continue;
      Delivery delivery;
      delivery.kind = DeliveryKind::kRenegotiated;
      delivery.object = s.object;
      delivery.messageCallback = s.callback;
      Enqueue(std::move(delivery));
    }
  }
}

// ---- delivery ----

void CInProcessConnection::Impl::RunLane(std::size_t index) {
  mutex_.Lock();
  while (true) {
    Lane& lane = lanes_[index];
    if (lane.queue.empty() && !shuttingDown_) SpinForDeliveries(lane);
    while (lane.queue.empty() && !shuttingDown_) lane.work->Wait();
    if (lane.queue.empty()) break;  // shutting down, and the queue is drained
    Delivery delivery = std::move(lane.queue.front());
    lane.queue.pop_front();
    bool call = true;
    if (delivery.kind == DeliveryKind::kNotification) {
      call = connected_ && IsSubscribed(delivery.subscriptionId);
    } else if (delivery.kind == DeliveryKind::kRenegotiated) {
      call = connected_ && HasSubscription(delivery.object);
    }
    if (call) lane.current = delivery.object;
    mutex_.Unlock();
    if (call) InvokeGuarded(delivery);
    CKeepAlive keepAlive = std::move(delivery.keepAlive);
    mutex_.Lock();
    lane.current = nullptr;
    std::vector<CKeepAlive> deferred = std::move(lane.deferredReleases);
    lane.deferredReleases.clear();
    laneIdle_.SignalAll();
    mutex_.Unlock();
    // The last references to callback objects may go here, with no lock held.
    keepAlive.Reset();
    deferred.clear();
    delivery = Delivery{};
    work_->Done();
    mutex_.Lock();
  }
  mutex_.Unlock();
}

void CInProcessConnection::Impl::SpinForDeliveries(Lane& lane) {
  // Relaxed: the count is a hint; the queue itself is read under the lock.
  const std::uint64_t seen = lane.queued->load(std::memory_order_relaxed);
  mutex_.Unlock();
  lane.spin->SpinUntil([&] { return lane.queued->load(std::memory_order_relaxed) != seen; });
  mutex_.Lock();
}

void CInProcessConnection::Impl::InvokeGuarded(Delivery& delivery) {
  // An exception must not end a delivery thread; the callback's own code is
  // responsible for its errors, so it is dropped here.
  try {
    Invoke(delivery);
  } catch (...) {
  }
}

void CInProcessConnection::Impl::Invoke(Delivery& delivery) {
  detail::InvokeCallback(delivery.kind, delivery.messageCallback, delivery.asyncCallback,
                         delivery.requestId, delivery.flags, delivery.message);
}

}  // namespace W4Notifier
