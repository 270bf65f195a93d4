#include "platform/notifier/BusCore.h"

#include <algorithm>
#include <array>

#include "QueueManager/Platform/Thread.h"
#include "QueueManager/Platform/Trace.h"
#include "platform/notifier/InProcessConnectionImpl.h"

namespace W4Notifier::detail {

BusCore::BusCore() = default;

void BusCore::StartThread() {
  server_ = W4Os::StartThread([self = shared_from_this()] { self->RunServer(); });
}

void BusCore::Shutdown() {
  {
    W4Os::MutexLock lock(&mutex_);
    stopping_ = true;
    SignalServer();
  }
  if (!server_.joinable()) return;
  if (server_.get_id() == std::this_thread::get_id()) {
    server_.detach();
  } else {
    W4Os::JoinThread(server_);
  }
}

std::uint16_t BusCore::NextConnectionHandle() {
  W4Os::MutexLock lock(&mutex_);
  if (++nextHandle_ == 0) ++nextHandle_;
  return nextHandle_;
}

void BusCore::AddConnection(const std::shared_ptr<ConnectionCore>& connection) {
  W4Os::MutexLock lock(&mutex_);
  connections_.push_back(connection);
}

void BusCore::RemoveConnection(const ConnectionCore* connection) {
  W4Os::MutexLock lock(&mutex_);
  std::erase_if(connections_, [connection](const std::weak_ptr<ConnectionCore>& c) {
    auto locked = c.lock();
    return !locked || locked.get() == connection;
  });
}

std::shared_ptr<BusCore::ConnectionCore> BusCore::FindConnection(std::uint16_t handle) {
  W4Os::MutexLock lock(&mutex_);
  for (const std::weak_ptr<ConnectionCore>& weak : connections_) {
    std::shared_ptr<ConnectionCore> connection = weak.lock();
    if (connection && connection->Handle() == handle) return connection;
  }
  return nullptr;
}

bool BusCore::Submit(const CMessage& request, std::uint16_t sender,
                     const std::shared_ptr<ConnectionCore>& origin, std::uint32_t requestId,
                     std::uint64_t* tokenOut, bool senderWaits) {
  const std::size_t bytes = request.BodySize();
  std::size_t waiting = 0;
  {
    W4Os::MutexLock lock(&mutex_);
    if (handler_ == nullptr || stopping_) return false;
    waiting = queuedBytes_;
  }
  if (bytes > kMaxQueuedRequestBytes - waiting) {
    // Senders outrun the server (a flood from NATS clients through a bridge,
    // say): refused, as with no server, rather than held without bound.
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, "W4Notifier::CInProcessBus",
             "request refused: {} bytes wait for the server already", waiting);
    return false;
  }
  // Recorded before it is queued, so that observers never see the answer
  // before the request.
  Observe(origin ? IBusObserver::eTraffic::kRequest : IBusObserver::eTraffic::kOneWayRequest,
          request);
  std::uint64_t token = 0;
  {
    W4Os::MutexLock lock(&mutex_);
    if (handler_ == nullptr || stopping_ || bytes > kMaxQueuedRequestBytes - queuedBytes_)
      return false;
    queuedBytes_ += bytes;
    if (origin) {
      token = nextToken_++;
      routes_[token] = Route{origin, requestId};
    }
    queue_.push_back(QueuedRequest{request, token, sender, senderWaits});
    queue_.back().message.Rewind();
    work_->Add();
    SignalServer();
  }
  if (tokenOut != nullptr) *tokenOut = token;
  return true;
}

void BusCore::Forget(std::uint64_t token) {
  W4Os::MutexLock lock(&mutex_);
  routes_.erase(token);
}

std::size_t BusCore::RouteCount() {
  W4Os::MutexLock lock(&mutex_);
  return routes_.size();
}

void BusCore::Reply(std::uint64_t token, const CMessage& body, bool rejected) {
  Route route;
  {
    W4Os::MutexLock lock(&mutex_);
    auto it = routes_.find(token);
    if (it == routes_.end()) return;  // one-way, already answered, or the sender gave up
    route = it->second;
    routes_.erase(it);
  }
  const auto kind =
      rejected ? IBusObserver::eTraffic::kRejection : IBusObserver::eTraffic::kResponse;
  auto connection = route.connection.lock();
  std::optional<Answered> answered;
  if (connection) answered = Answered{connection->Handle(), route.requestId};
  Observe(kind, body, answered);
  if (connection) connection->OnReply(route.requestId, body, rejected);
}

void BusCore::HeldConnections::Add(std::shared_ptr<ConnectionCore> connection) {
  if (count_ < kHeldOnStack) {
    held_[count_++] = std::move(connection);
  } else {
    more_.push_back(std::move(connection));
  }
}

void BusCore::HoldConnections(HeldConnections& held) {
  for (const auto& weak : connections_) {
    if (auto connection = weak.lock()) held.Add(std::move(connection));
  }
}

void BusCore::Publish(const CMessage& notification) {
  Observe(IBusObserver::eTraffic::kNotification, notification);
  HeldConnections held;
  {
    W4Os::MutexLock lock(&mutex_);
    HoldConnections(held);
  }
  held.ForEach([&](ConnectionCore& connection) { connection.OnNotification(notification); });
}

bool BusCore::HasAudience(ObjectTypes type, std::uint32_t objectId, int eventCode) {
  HeldConnections held;
  {
    W4Os::MutexLock lock(&mutex_);
    if (!observers_.empty()) return true;
    HoldConnections(held);
  }
  bool heard = false;
  held.ForEach([&](const ConnectionCore& connection) {
    heard = heard || connection.Receives(type, objectId, eventCode);
  });
  return heard;
}

void BusCore::SetRequestHandler(IRequestHandler* handler) {
  W4Os::MutexLock lock(&mutex_);
  while (handlerBusy_) callsDone_.Wait();
  handler_ = handler;
}

void BusCore::AddObserver(IBusObserver* observer) {
  W4Os::MutexLock lock(&mutex_);
  observers_.push_back(observer);
}

void BusCore::RemoveObserver(IBusObserver* observer) {
  W4Os::MutexLock lock(&mutex_);
  std::erase(observers_, observer);
  while (observerCalls_ != 0) callsDone_.Wait();
}

void BusCore::Observe(IBusObserver::eTraffic kind, const CMessage& message,
                      std::optional<Answered> answered) {
  std::vector<IBusObserver*> observers;
  {
    W4Os::MutexLock lock(&mutex_);
    if (observers_.empty()) return;
    observers = observers_;
    ++observerCalls_;
  }
  CMessage copy = message;
  for (IBusObserver* observer : observers) {
    copy.Rewind();
    observer->OnTraffic(kind, copy);
    if (!answered) continue;
    copy.Rewind();
    observer->OnAnswer(answered->handle, answered->requestId, copy,
                       kind == IBusObserver::eTraffic::kRejection);
  }
  W4Os::MutexLock lock(&mutex_);
  if (--observerCalls_ == 0) callsDone_.SignalAll();
}

void BusCore::RunServer() {
  mutex_.Lock();
  bool answeredWaitingSender = false;
  while (true) {
    if (answeredWaitingSender && queue_.empty() && !stopping_) SpinForWork();
    while (queue_.empty() && !stopping_) serverWork_.Wait();
    if (queue_.empty()) break;  // stopping, and nothing left
    QueuedRequest request = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= request.message.BodySize();
    answeredWaitingSender = request.senderWaits;
    IRequestHandler* handler = handler_;
    handlerBusy_ = handler != nullptr;
    mutex_.Unlock();
    if (handler != nullptr) {
      handler->OnRequest(CInboundRequest(weak_from_this(), request.token, request.sender,
                                         std::move(request.message)));
    }
    mutex_.Lock();
    handlerBusy_ = false;
    callsDone_.SignalAll();
    work_->Done();
  }
  mutex_.Unlock();
}

void BusCore::SpinForWork() {
  const std::uint64_t seen = serverSignals_.load(std::memory_order_relaxed);
  mutex_.Unlock();
  serverSpin_.SpinUntil([&] { return serverSignals_.load(std::memory_order_relaxed) != seen; });
  mutex_.Lock();
}

void BusCore::SignalServer() {
  serverSignals_.fetch_add(1, std::memory_order_relaxed);
  serverWork_.Signal();
}

}  // namespace W4Notifier::detail
