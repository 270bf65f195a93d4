// Subscriptions, notifications and the delivery thread of a NATS connection.

#include <algorithm>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/Trace.h"
#include "platform/nats/NatsConnection.h"
#include "platform/nats/Subjects.h"

namespace W4Notifier::nats {
namespace {

// libnats holds this closure until the subscription is closed and its
// handler has returned for the last time (OnListenerComplete frees it).
using ListenerRef = std::shared_ptr<Listener>;

void OnListenerMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
  const ListenerRef& listener = *static_cast<ListenerRef*>(closure);
  if (auto owner = listener->owner.lock()) {
    owner->OnSubscriptionMessage(listener, msg);
  } else {
    natsMsg_Destroy(msg);
  }
}

void OnListenerComplete(void* closure) { delete static_cast<ListenerRef*>(closure); }

// The notification of `msg`, its header taken from the subject it came on,
// so that a subscriber never sees an entity or event it did not subscribe to.
std::optional<CMessage> NotificationOf(std::string_view root, const Arrival& arrival) {
  const auto subject = ParseSubject(root, natsMsg_GetSubject(arrival.msg.get()));
  if (!subject || subject->kind != eSubjectKind::kNotification) return std::nullopt;
  try {
    CMessage message = CMessage::Parse(arrival.Data());
    message.SetEntity(CEntityId(subject->type, subject->objectId));
    message.SetEventId(subject->eventCode);
    message.SetEventName(subject->name);
    return message;
  } catch (const CNotifierException&) {
    return std::nullopt;  // not a notification of ours
  }
}

}  // namespace

eMsgCode NatsConnectionImpl::Publish(const CMessage& notification) {
  if (!IsConnected()) return eMsgNotConnected;
  const std::string subject = NotificationSubject(
      options_.root, notification.QueryObjectType(), notification.QueryObjectId(),
      notification.QueryEventId(), notification.QueryEventName());
  const std::vector<std::uint8_t> bytes = notification.Serialize();
  const natsStatus status = PublishInParts(connection_, subject.c_str(), nullptr, {}, bytes);
  TraceOversized(status, bytes.size(), subject);
  if (status == NATS_MAX_PAYLOAD) return eMsgInvalidArgument;
  return status == NATS_OK ? eMsgSuccess : eMsgNotConnected;
}

void NatsConnectionImpl::OnSubscriptionMessage(const std::shared_ptr<Listener>& listener,
                                               natsMsg* msg) {
  // Every subscription gets its own copy of each part, and each sender
  // numbers its messages apart.
  auto stream = [&] {
    const std::optional<std::uint64_t> instance = InstanceOf(msg);
    return std::to_string(reinterpret_cast<std::uintptr_t>(listener.get())) + ' ' +
           (instance ? FormatInstance(*instance) : std::string("-")) + ' ' +
           natsMsg_GetSubject(msg);
  };
  Arrival arrival;
  std::vector<PartJoiner::Dropped> dropped;
  const bool whole = parts_.Take(msg, stream, arrival, dropped);
  // A notification that will not come whole is lost, as one dropped for want
  // of room; the inbox's reader is not told of either.
  if (!dropped.empty() && !listener->inbox) DropNotification();
  if (!whole) return;
  NoteInstance(arrival.msg.get());
  if (listener->inbox) {
    std::optional<CMessage> message = NotificationOf(options_.root, arrival);
    // Never blocks; the inbox's reader takes it.
    if (message) listener->inbox->Deliver(*message);
    return;
  }
  // Queued without looking whether the listener was stopped meanwhile: the
  // delivery thread looks before the call, which is the look that counts.
  Delivery delivery;
  delivery.kind = DeliveryKind::kNotification;
  delivery.listener = listener;
  delivery.received = std::move(arrival);
  EnqueueNotification(std::move(delivery));
}

std::shared_ptr<Listener> NatsConnectionImpl::Subscribe(std::shared_ptr<Listener> listener) {
  const std::string subject =
      SubscriptionSubject(options_.root, listener->type, listener->objectId, listener->eventCode);
  auto* closure = new ListenerRef(listener);
  natsStatus status = natsConnection_Subscribe(&listener->subscription, connection_,
                                               subject.c_str(), OnListenerMessage, closure);
  if (status != NATS_OK) {
    delete closure;
    return nullptr;
  }
  status = natsSubscription_SetOnCompleteCB(listener->subscription, OnListenerComplete, closure);
  if (status != NATS_OK) {
    // Closed meanwhile (the connection is going): its handler no longer runs.
    natsSubscription_Destroy(listener->subscription);
    delete closure;
    return nullptr;
  }
  return listener;
}

eMsgCode NatsConnectionImpl::StartNotifications(const CEntityId& entity, int eventCode,
                                                IMessageCallback* callback,
                                                std::uint32_t* handleOut,
                                                const CKeepAlive& keepAlive) {
  if (callback == nullptr || !entity.IsSet()) return eMsgInvalidArgument;
  auto same = [&](const std::shared_ptr<Listener>& l) {
    return l->callback == callback && l->type == entity.QueryObjectType() &&
           l->objectId == entity.QueryObjectId() && l->eventCode == eventCode;
  };
  {
    W4Os::MutexLock lock(&mutex_);
    if (shuttingDown_) return eMsgNotConnected;
    auto existing = std::find_if(listeners_.begin(), listeners_.end(), same);
    if (existing != listeners_.end()) {
      if (handleOut != nullptr) *handleOut = (*existing)->id;
      return eMsgSuccess;
    }
  }
  auto listener = std::make_shared<Listener>();
  listener->owner = weak_from_this();
  listener->type = entity.QueryObjectType();
  listener->objectId = entity.QueryObjectId();
  listener->eventCode = eventCode;
  listener->callback = callback;
  listener->object = dynamic_cast<const void*>(callback);
  listener->keepAlive = keepAlive;
  if (!Subscribe(listener)) return eMsgNotConnected;
  std::shared_ptr<Listener> extra;  // a twin subscribed meanwhile by another thread
  {
    W4Os::MutexLock lock(&mutex_);
    if (shuttingDown_ || std::any_of(listeners_.begin(), listeners_.end(), same)) {
      listener->active = false;
      extra = listener;
    } else {
      listener->id = nextSubscriptionId_++;
      listeners_.push_back(listener);
    }
  }
  if (extra) {
    Unsubscribe({extra});
  } else {
    AwaitServer();
  }
  if (handleOut != nullptr) *handleOut = listener->id;
  return eMsgSuccess;
}

void NatsConnectionImpl::AwaitServer() {
  // A subscription is in force once the server has it: what is published
  // after StartNotifications returns, from any process, reaches it. Without
  // a connection libnats sends it again on reconnection, which renegotiates.
  natsConnection_FlushTimeout(connection_, options_.connectTimeoutMs);
}

template <class Predicate>
std::size_t NatsConnectionImpl::RemoveListeners(const void* object, Predicate remove) {
  std::vector<std::shared_ptr<Listener>> removed;
  {
    W4Os::MutexLock lock(&mutex_);
    for (auto it = listeners_.begin(); it != listeners_.end();) {
      if ((*it)->object == object && remove(**it)) {
        (*it)->active = false;
        removed.push_back(std::move(*it));
        it = listeners_.erase(it);
      } else {
        ++it;
      }
    }
    // Wait until no other thread is inside a callback of these listeners;
    // the delivery thread checks `active` before each call, so nothing starts
    // after this. From inside its own callback the wait would never end.
    const auto me = std::this_thread::get_id();
    for (const auto& listener : removed) {
      if (listener->inFlight > 0 && listener->thread == me) {
        deferredReleases_.push_back(std::move(listener->keepAlive));
        continue;
      }
      while (listener->inFlight > 0) listenerIdle_.Wait();
    }
  }
  Unsubscribe(removed);
  return removed.size();
}

void NatsConnectionImpl::Unsubscribe(const std::vector<std::shared_ptr<Listener>>& listeners) {
  for (const auto& listener : listeners) {
    if (listener->subscription == nullptr) continue;
    natsSubscription_Unsubscribe(listener->subscription);
    natsSubscription_Destroy(listener->subscription);
    listener->subscription = nullptr;
  }
}

eMsgCode NatsConnectionImpl::StopNotifications(const CEntityId& entity, int eventCode,
                                               IMessageCallback* callback) {
  if (callback == nullptr) return eMsgInvalidArgument;
  const std::size_t removed =
      RemoveListeners(dynamic_cast<const void*>(callback), [&](const Listener& l) {
        return l.callback == callback && l.type == entity.QueryObjectType() &&
               l.objectId == entity.QueryObjectId() && l.eventCode == eventCode;
      });
  return removed != 0 ? eMsgSuccess : eMsgNotFound;
}

eMsgCode NatsConnectionImpl::StopAllMessages(IMessageCallback* callback) {
  if (callback == nullptr) return eMsgInvalidArgument;
  RemoveListeners(dynamic_cast<const void*>(callback),
                  [&](const Listener& l) { return l.callback == callback; });
  return eMsgSuccess;
}

eMsgCode NatsConnectionImpl::AttachInbox(const std::shared_ptr<CMessageInbox>& inbox,
                                         const CEntityId& entity, int eventCode) {
  if (!inbox || !entity.IsSet()) return eMsgInvalidArgument;
  auto listener = std::make_shared<Listener>();
  listener->owner = weak_from_this();
  listener->type = entity.QueryObjectType();
  listener->objectId = entity.QueryObjectId();
  listener->eventCode = eventCode;
  listener->object = inbox.get();
  listener->inbox = inbox;
  {
    W4Os::MutexLock lock(&mutex_);
    if (shuttingDown_) return eMsgNotConnected;
  }
  if (!Subscribe(listener)) return eMsgNotConnected;
  {
    W4Os::MutexLock lock(&mutex_);
    listeners_.push_back(listener);
  }
  AwaitServer();
  return eMsgSuccess;
}

void NatsConnectionImpl::DetachInbox(const CMessageInbox* inbox) {
  RemoveListeners(inbox, [&](const Listener& l) { return l.inbox.get() == inbox; });
}

// ---- delivery ----

void NatsConnectionImpl::Enqueue(Delivery delivery) {
  W4Os::MutexLock lock(&queueMutex_);
  // Once the connection ends only notifications of its stopped listeners
  // come, and nobody is called for those.
  if (deliveryEnding_) return;
  queue_.push_back(std::move(delivery));
  // The delivery thread sleeps only on an empty queue and takes all it
  // finds when it wakes: one wake-up per batch is enough.
  if (queue_.size() == 1) deliveryWork_.Signal();
}

void NatsConnectionImpl::EnqueueNotification(Delivery delivery) {
  const std::string_view subject = natsMsg_GetSubject(delivery.received.msg.get());
  delivery.bytes = delivery.received.Data().size() + subject.size();
  const std::size_t bytes = delivery.bytes;
  {
    W4Os::MutexLock lock(&queueMutex_);
    if (deliveryEnding_) return;
    // queuedBytes_ never exceeds the bound, so the difference cannot wrap.
    if (queuedNotifications_ < options_.maxQueuedNotifications &&
        bytes <= options_.maxQueuedBytes - queuedBytes_) {
      ++queuedNotifications_;
      queuedBytes_ += bytes;
      queue_.push_back(std::move(delivery));
      if (queue_.size() == 1) deliveryWork_.Signal();
      return;
    }
  }
  if (bytes > options_.maxQueuedBytes) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kTraceFunction,
             "oversized notification dropped: {} bytes on {} (bound {} bytes)", bytes, subject,
             options_.maxQueuedBytes);
  }
  DropNotification();
}

void NatsConnectionImpl::DropNotification() {
  bool renegotiate = false;
  std::uint64_t dropped = 0;
  {
    W4Os::MutexLock lock(&queueMutex_);
    dropped = ++droppedNotifications_;
    // A renegotiation not yet taken serves this drop too: its subscribers
    // reload after every dropped notification came.
    renegotiate = !renegotiationQueued_;
  }
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kTraceFunction,
           "notification dropped ({} so far)", dropped);
  if (!renegotiate) return;
  W4Os::MutexLock lock(&mutex_);
  EnqueueRenegotiations();
}

bool NatsConnectionImpl::EnqueueRenegotiations() {
  std::vector<Delivery> renegotiations;
  for (const auto& listener : listeners_) {
    if (listener->callback == nullptr ||
        std::any_of(renegotiations.begin(), renegotiations.end(),
                    [&](const Delivery& d) { return d.object == listener->object; }))
      continue;
    Delivery delivery;
    delivery.kind = DeliveryKind::kRenegotiated;
    delivery.object = listener->object;
    delivery.messageCallback = listener->callback;
    renegotiations.push_back(std::move(delivery));
  }
  if (renegotiations.empty()) return false;
  W4Os::MutexLock lock(&queueMutex_);
  if (deliveryEnding_ || renegotiationQueued_) return true;
  renegotiationQueued_ = true;
  const bool wasEmpty = queue_.empty();
  for (Delivery& delivery : renegotiations) queue_.push_back(std::move(delivery));
  if (wasEmpty) deliveryWork_.Signal();
  return true;
}

std::shared_ptr<Listener> NatsConnectionImpl::ActiveListenerOf(const void* object) const {
  for (const auto& listener : listeners_) {
    if (listener->object == object && listener->active && listener->callback != nullptr)
      return listener;
  }
  return nullptr;
}

bool NatsConnectionImpl::TakeDeliveries(std::deque<Delivery>& batch) {
  W4Os::MutexLock lock(&queueMutex_);
  while (queue_.empty() && !deliveryEnding_) deliveryWork_.Wait();
  batch.swap(queue_);
  for (const Delivery& delivery : batch) {
    if (delivery.finishReconnect) continue;
    if (delivery.kind == DeliveryKind::kNotification) {
      --queuedNotifications_;
      queuedBytes_ -= delivery.bytes;
    }
    // A reason to renegotiate from now on needs another renegotiation.
    if (delivery.kind == DeliveryKind::kRenegotiated) renegotiationQueued_ = false;
  }
  return !batch.empty();
}

void NatsConnectionImpl::RunDelivery() {
  std::deque<Delivery> batch;
  while (TakeDeliveries(batch)) {
    while (!batch.empty()) {
      // Each delivery ends (with its keep-alive) before the next is made.
      Delivery delivery = std::move(batch.front());
      batch.pop_front();
      if (delivery.finishReconnect) {
        FinishReconnect();
      } else {
        Deliver(delivery);
      }
    }
  }
}

void NatsConnectionImpl::Deliver(Delivery& delivery) {
  if (delivery.received.msg) {
    std::optional<CMessage> message = NotificationOf(options_.root, delivery.received);
    delivery.received = {};
    if (!message) return;
    delivery.message = std::move(*message);
  }
  // Calls to a subscriber go through one of its listeners, so that a Stop
  // waits for them; outcomes of requests need no guard (the keep-alive holds
  // their object).
  std::shared_ptr<Listener> guard = std::move(delivery.listener);
  bool call = true;
  std::vector<CKeepAlive> deferred;
  {
    W4Os::MutexLock lock(&mutex_);
    if (delivery.kind == DeliveryKind::kRenegotiated) guard = ActiveListenerOf(delivery.object);
    if (delivery.kind == DeliveryKind::kNotification ||
        delivery.kind == DeliveryKind::kRenegotiated)
      call = guard && guard->active;
    if (call && guard) {
      ++guard->inFlight;
      guard->thread = std::this_thread::get_id();
      if (delivery.kind == DeliveryKind::kNotification) delivery.messageCallback = guard->callback;
    }
  }
  if (call) {
    // An exception must not end the delivery thread; the callback's own code
    // is responsible for its errors, so it is dropped here.
    try {
      detail::InvokeCallback(delivery.kind, delivery.messageCallback, delivery.asyncCallback,
                             delivery.requestId, delivery.flags, delivery.message);
    } catch (...) {
    }
  }
  {
    W4Os::MutexLock lock(&mutex_);
    if (call && guard) {
      --guard->inFlight;
      listenerIdle_.SignalAll();
    }
    deferred.swap(deferredReleases_);
  }
  // The last references to callback objects may go here, with no lock held.
}

}  // namespace W4Notifier::nats
