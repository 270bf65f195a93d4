// A NATS connection's life: options, connect, connection events, shutdown;
// and the factory functions.

#include "platform/nats/NatsConnection.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/Thread.h"
#include "QueueManager/Platform/Trace.h"
#include "platform/nats/Subjects.h"

namespace W4Notifier::nats {
namespace {

// libnats keeps the closure of the connection events until the connection is
// closed; it names the connection weakly, so an event that comes late finds
// nothing instead of a freed object. Freed by the closed event.
struct ConnectionHooks {
  std::weak_ptr<NatsConnectionImpl> impl;
};

std::shared_ptr<NatsConnectionImpl> Locked(void* closure) {
  return static_cast<ConnectionHooks*>(closure)->impl.lock();
}

void OnDisconnectedEvent(natsConnection*, void* closure) {
  if (auto impl = Locked(closure)) impl->OnDisconnected();
}

void OnReconnectedEvent(natsConnection*, void* closure) {
  if (auto impl = Locked(closure)) impl->OnReconnected();
}

void OnClosedEvent(natsConnection*, void* closure) {
  delete static_cast<ConnectionHooks*>(closure);
}

void OnErrorEvent(natsConnection* connection, natsSubscription*, natsStatus status, void* closure) {
  if (status == NATS_NOT_PERMITTED) {
    // The deployment's permissions refused a publish or subscription: what
    // waits for its answer times out, and whoever runs it wants to know why.
    const char* text = nullptr;
    natsConnection_GetLastError(connection, &text);
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning, "NATS",
             "refused by the NATS server: {}", text != nullptr ? text : "");
  }
  if (status != NATS_SLOW_CONSUMER) return;
  if (auto impl = Locked(closure)) impl->OnSlowConsumer();
}

void OnInboxMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
  if (auto impl = Locked(closure)) {
    impl->OnInboxReply(msg);
  } else {
    natsMsg_Destroy(msg);
  }
}

void OnInstanceMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
  if (auto impl = Locked(closure)) impl->OnInstanceAnnounced(msg);
  natsMsg_Destroy(msg);
}

void OnHooksComplete(void* closure) { delete static_cast<ConnectionHooks*>(closure); }

// Subscribes `handler` to `subject` with a closure naming `impl` weakly.
natsStatus SubscribeHooked(natsSubscription** subscription, natsConnection* connection,
                           const std::string& subject, natsMsgHandler handler,
                           const std::weak_ptr<NatsConnectionImpl>& impl) {
  auto* hooks = new ConnectionHooks{impl};
  natsStatus status =
      natsConnection_Subscribe(subscription, connection, subject.c_str(), handler, hooks);
  if (status != NATS_OK) {
    delete hooks;
    return status;
  }
  return natsSubscription_SetOnCompleteCB(*subscription, OnHooksComplete, hooks);
}

std::uint16_t NextHandle() {
  static std::atomic<std::uint16_t> next{1};
  std::uint16_t handle = next.fetch_add(1);
  while (handle == 0) handle = next.fetch_add(1);
  return handle;
}

}  // namespace

void ThrowConnectTimeout(const CNatsOptions& options) {
  throw CNotifierException("NATS: connect: no server answered within " +
                           std::to_string(ConnectLimit(options).count()) + " ms");
}

void TraceOversized(natsStatus status, std::size_t bytes, std::string_view subject) {
  if (status != NATS_MAX_PAYLOAD) return;
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kTraceFunction,
           "oversized message not sent: {} bytes on {}", bytes, subject);
}

void Check(natsStatus status, const char* what) {
  if (status == NATS_OK) return;
  throw CNotifierException(std::string("NATS: ") + what + ": " + natsStatus_GetText(status));
}

std::chrono::milliseconds ConnectLimit(const CNatsOptions& options) {
  return std::chrono::milliseconds(options.connectTimeoutMs) *
         static_cast<long>(std::max<std::size_t>(1, options.urls.size()));
}

natsStatus ConnectWithin(natsConnection** connection, natsOptions* opts,
                         std::chrono::milliseconds limit, std::function<void(bool made)> abandoned,
                         std::string& lastError) {
  // Shared by the caller and the connecting thread; whichever leaves last
  // frees it.
  struct Attempt {
    W4Os::Mutex mutex;
    W4Os::CondVar finished{&mutex};
    bool done QM_GUARDED_BY(mutex) = false;
    bool givenUp QM_GUARDED_BY(mutex) = false;
    natsStatus status QM_GUARDED_BY(mutex) = NATS_TIMEOUT;
    natsConnection* made QM_GUARDED_BY(mutex) = nullptr;
    std::string lastError QM_GUARDED_BY(mutex);
  };
  auto attempt = std::make_shared<Attempt>();
  try {
    W4Os::StartThread([attempt, opts, abandoned = std::move(abandoned)] {
      natsConnection* made = nullptr;
      const natsStatus status = natsConnection_Connect(&made, opts);
      natsOptions_Destroy(opts);
      const char* last = status != NATS_OK ? nats_GetLastError(nullptr) : nullptr;
      {
        W4Os::MutexLock lock(&attempt->mutex);
        if (!attempt->givenUp) {
          attempt->done = true;
          attempt->status = status;
          attempt->made = made;
          if (last != nullptr) attempt->lastError = last;
          attempt->finished.SignalAll();
          return;
        }
      }
      if (made != nullptr) natsConnection_Destroy(made);
      abandoned(made != nullptr);
    }).detach();
  } catch (const std::system_error& error) {
    natsOptions_Destroy(opts);
    lastError = std::string("no thread to connect on: ") + error.what();
    return NATS_SYS_ERROR;
  }
  W4Os::MutexLock lock(&attempt->mutex);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!attempt->done && std::chrono::steady_clock::now() < deadline)
    attempt->finished.WaitUntil(deadline);
  if (!attempt->done) {
    attempt->givenUp = true;
    return NATS_TIMEOUT;
  }
  *connection = attempt->made;
  lastError = attempt->lastError;
  return attempt->status;
}

void UseOneDeliveryThread() {
  static std::once_flag once;
  std::call_once(once, [] { Check(nats_SetMessageDeliveryPoolSize(1), "delivery pool"); });
}

void ApplyCommonOptions(natsOptions* opts, const CNatsOptions& options) {
  if (!IsValidRoot(options.root)) throw CNotifierException("NATS: invalid root " + options.root);
  ApplyIdentityOptions(opts, options);
  Check(natsOptions_SetTimeout(opts, options.connectTimeoutMs), "timeout");
  Check(natsOptions_SetPingInterval(opts, options.pingIntervalMs), "ping interval");
  Check(natsOptions_SetMaxPingsOut(opts, options.maxPingsOut), "max pings out");
  Check(natsOptions_SetNoRandomize(opts, options.urlsInOrder), "server order");
  Check(natsOptions_SetAllowReconnect(opts, true), "reconnect");
  Check(natsOptions_SetMaxReconnect(opts, -1), "max reconnect");
  Check(natsOptions_SetReconnectWait(opts, options.reconnectWaitMs), "reconnect wait");
  Check(natsOptions_SetReconnectJitter(opts, options.reconnectJitterMs, options.reconnectJitterMs),
        "reconnect jitter");
  // A request has no meaning on a later connection: its answer, if any, went
  // to the old one.
  Check(natsOptions_SetFailRequestsOnDisconnect(opts, true), "fail requests on disconnect");
}

NatsConnectionImpl::NatsConnectionImpl(CNatsOptions options, std::uint16_t handle)
    : options_(ResolvedIdentity(std::move(options))), handle_(handle) {}

NatsConnectionImpl::~NatsConnectionImpl() = default;

void NatsConnectionImpl::Start() {
  UseOneDeliveryThread();
  natsOptions* opts = nullptr;
  Check(natsOptions_Create(&opts), "options");
  auto* hooks = new ConnectionHooks{weak_from_this()};
  try {
    ApplyCommonOptions(opts, options_);
    Check(natsOptions_UseGlobalMessageDelivery(opts, true), "global delivery");
    // Replies to libnats's own requests (the probe) come under the client's inbox too.
    Check(natsOptions_SetCustomInboxPrefix(opts, options_.inboxPrefix.c_str()), "inbox prefix");
    // Requests wait for their reply on the connection's own inbox (a reply
    // in parts needs every part), so they are sent at once, as libnats
    // sends its own requests, rather than when its flusher next runs.
    Check(natsOptions_SetSendAsap(opts, true), "send asap");
    Check(natsOptions_SetDisconnectedCB(opts, OnDisconnectedEvent, hooks), "disconnected");
    Check(natsOptions_SetReconnectedCB(opts, OnReconnectedEvent, hooks), "reconnected");
    Check(natsOptions_SetClosedCB(opts, OnClosedEvent, hooks), "closed");
    Check(natsOptions_SetErrorHandler(opts, OnErrorEvent, hooks), "errors");
  } catch (...) {
    natsOptions_Destroy(opts);
    delete hooks;
    throw;
  }
  // A made connection frees `hooks` as it closes; otherwise no event comes.
  std::string lastError;
  natsStatus status = ConnectWithin(
      &connection_, opts, ConnectLimit(options_),
      [hooks](bool made) {
        if (!made) delete hooks;
      },
      lastError);
  if (status == NATS_TIMEOUT) ThrowConnectTimeout(options_);
  if (status != NATS_OK) {
    delete hooks;  // no connection: no event will come
    CheckConnect(status, options_, lastError);
  }
  inbox_ = options_.inboxPrefix + "." + RandomToken();
  status = SubscribeHooked(&inboxSubscription_, connection_, inbox_ + ".*", OnInboxMessage,
                           weak_from_this());
  if (status == NATS_OK) {
    status = SubscribeHooked(&renegotiatedSubscription_, connection_,
                             RenegotiatedSubject(options_.root, options_.client), OnInboxMessage,
                             weak_from_this());
  }
  if (status == NATS_OK) {
    status = SubscribeHooked(&instanceSubscription_, connection_, InstanceSubject(options_.root),
                             OnInstanceMessage, weak_from_this());
  }
  if (status != NATS_OK) {
    if (inboxSubscription_ != nullptr) natsSubscription_Destroy(inboxSubscription_);
    if (instanceSubscription_ != nullptr) natsSubscription_Destroy(instanceSubscription_);
    if (renegotiatedSubscription_ != nullptr) natsSubscription_Destroy(renegotiatedSubscription_);
    natsConnection_Destroy(connection_);
    connection_ = nullptr;
    Check(status, "reply inbox");
  }
  {
    W4Os::MutexLock lock(&mutex_);
    connected_ = true;
  }
  auto self = shared_from_this();
  try {
    deliveryThread_ = W4Os::StartThread([self] { self->RunDelivery(); });
    deliveryThreadId_ = deliveryThread_.get_id();
    timerThread_ = W4Os::StartThread([self] { self->RunTimer(); });
  } catch (const std::system_error& error) {
    Shutdown();  // ends the thread that did start, and the connection
    throw CNotifierException(std::string("NATS: no thread for the connection: ") + error.what());
  }
}

void NatsConnectionImpl::Shutdown() {
  std::vector<std::shared_ptr<Listener>> listeners;
  {
    W4Os::MutexLock lock(&mutex_);
    if (shuttingDown_) return;
    shuttingDown_ = true;
    connected_ = false;
    FailAllPending();
    for (const auto& listener : listeners_) {
      listener->active = false;
      if (listener->inbox) listener->inbox->Close();
    }
    listeners.swap(listeners_);
    timerWake_.SignalAll();
  }
  {
    // The delivery thread still delivers what is queued, then ends.
    W4Os::MutexLock lock(&queueMutex_);
    deliveryEnding_ = true;
    deliveryWork_.SignalAll();
  }
  for (std::thread* thread : {&deliveryThread_, &timerThread_}) {
    if (!thread->joinable()) continue;
    if (thread->get_id() == std::this_thread::get_id()) {
      thread->detach();  // ends by itself once its callback returns
    } else {
      thread->join();
    }
  }
  if (connection_ != nullptr) {
    // What was published before the end reaches the server, as on the bus:
    // closing drops what libnats has not written yet.
    if (natsConnection_Status(connection_) == NATS_CONN_STATUS_CONNECTED)
      natsConnection_FlushTimeout(connection_,
                                  std::min<std::int64_t>(options_.connectTimeoutMs, 1000));
    natsConnection_Close(connection_);
  }
  Unsubscribe(listeners);
  if (inboxSubscription_ != nullptr) natsSubscription_Destroy(inboxSubscription_);
  if (renegotiatedSubscription_ != nullptr) natsSubscription_Destroy(renegotiatedSubscription_);
  if (instanceSubscription_ != nullptr) natsSubscription_Destroy(instanceSubscription_);
  if (connection_ != nullptr) natsConnection_Destroy(connection_);
  // Keep-alives of the listeners go with `listeners`, outside the lock.
}

bool NatsConnectionImpl::IsConnected() const {
  W4Os::MutexLock lock(&mutex_);
  return connected_;
}

std::uint64_t NatsConnectionImpl::DroppedNotifications() const {
  W4Os::MutexLock lock(&queueMutex_);
  return droppedNotifications_;
}

CNatsStatistics NatsConnectionImpl::Statistics(bool measureRoundTrip) const {
  CNatsStatistics figures;
  {
    W4Os::MutexLock lock(&queueMutex_);
    figures.droppedNotifications = droppedNotifications_;
    figures.pendingMessages = queuedNotifications_;
    figures.pendingBytes = queuedBytes_;
  }
  natsStatistics* stats = nullptr;
  if (natsStatistics_Create(&stats) == NATS_OK) {
    if (natsConnection_GetStats(connection_, stats) == NATS_OK) {
      natsStatistics_GetCounts(stats, &figures.messagesIn, &figures.bytesIn, &figures.messagesOut,
                               &figures.bytesOut, &figures.reconnects);
    }
    natsStatistics_Destroy(stats);
  }
  std::int64_t nanoseconds = 0;
  if (measureRoundTrip && IsConnected() &&
      natsConnection_GetRTT(connection_, &nanoseconds) == NATS_OK)
    figures.roundTripMicroseconds = nanoseconds / 1000;
  return figures;
}

void NatsConnectionImpl::OnDisconnected() {
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kTraceFunction,
           "disconnected from the NATS server");
  W4Os::MutexLock lock(&mutex_);
  connected_ = false;
  FailAllPending();
}

void NatsConnectionImpl::OnReconnected() {
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kTraceFunction,
           "reconnected to the NATS server");
  W4Os::MutexLock lock(&mutex_);
  if (shuttingDown_) return;
  Delivery delivery;
  delivery.finishReconnect = true;
  Enqueue(std::move(delivery));
}

void NatsConnectionImpl::FinishReconnect() {
  {
    // Ended from a callback on this thread: the connection is gone.
    W4Os::MutexLock lock(&mutex_);
    if (shuttingDown_) return;
  }
  // Subscriptions were sent again on reconnection; once the server answered
  // the flush it has them all, so a subscriber that reloads its state after
  // the callback misses nothing published after the reload.
  if (natsConnection_FlushTimeout(connection_, options_.connectTimeoutMs) != NATS_OK) return;
  if (natsConnection_Status(connection_) != NATS_CONN_STATUS_CONNECTED) return;
  W4Os::MutexLock lock(&mutex_);
  if (shuttingDown_) return;
  connected_ = true;
  EnqueueRenegotiations();
}

void NatsConnectionImpl::OnRenegotiatedByServer() {
  // The server (through a bridge) renegotiated what stands for this
  // connection: what it kept for it may be gone, as after a lost connection.
  W4Os::MutexLock lock(&mutex_);
  if (connected_ && !shuttingDown_) EnqueueRenegotiations();
}

void NatsConnectionImpl::OnInstanceAnnounced(natsMsg* msg) { NoteInstance(msg); }

void NatsConnectionImpl::NoteInstance(natsMsg* msg) {
  const std::optional<std::uint64_t> instance = InstanceOf(msg);
  if (!instance || lastInstance_.load(std::memory_order_relaxed) == *instance) return;
  lastInstance_.store(*instance, std::memory_order_relaxed);
  W4Os::MutexLock lock(&mutex_);
  if (std::find(knownInstances_.begin(), knownInstances_.end(), *instance) != knownInstances_.end())
    return;
  const bool first = knownInstances_.empty();
  // Responders sharing the requests alternate; a few more than any
  // deployment runs are remembered.
  if (knownInstances_.size() == kKnownInstances) knownInstances_.erase(knownInstances_.begin());
  knownInstances_.push_back(*instance);
  if (first || shuttingDown_) return;
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning, "W4Notifier::nats",
           "Server instance {} is new: renegotiating", FormatInstance(*instance));
  EnqueueRenegotiations();
}

void NatsConnectionImpl::OnSlowConsumer() {
  // libnats dropped messages of a subscription: its subscriber's state may
  // be stale, as after a lost connection.
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kTraceFunction,
           "slow consumer: the NATS client library dropped notifications");
  W4Os::MutexLock lock(&mutex_);
  if (shuttingDown_) return;
  EnqueueRenegotiations();
}

}  // namespace W4Notifier::nats

namespace W4Notifier {

bool IsNatsAvailable() { return true; }

std::shared_ptr<CNotifierConnection> ConnectNats(const CNatsOptions& options) {
  auto impl = std::make_shared<nats::NatsConnectionImpl>(options, nats::NextHandle());
  impl->Start();
  return std::make_shared<nats::NatsConnection>(std::move(impl));
}

std::uint64_t DroppedNotifications(const CNotifierConnection& connection) {
  const auto* nats = dynamic_cast<const nats::NatsConnection*>(&connection);
  return nats != nullptr ? nats->Impl().DroppedNotifications() : 0;
}

CNatsStatistics NatsStatistics(const CNotifierConnection& connection, bool measureRoundTrip) {
  const auto* nats = dynamic_cast<const nats::NatsConnection*>(&connection);
  return nats != nullptr ? nats->Impl().Statistics(measureRoundTrip) : CNatsStatistics{};
}

bool IsValidNatsRoot(std::string_view root) { return nats::IsValidRoot(root); }

std::shared_ptr<CNotifierConnection> ConnectConfiguredDefault() {
  CNatsOptions options;
  std::shared_ptr<CNotifierConnection> connection;
  if (NatsOptionsFromEnvironment(options)) {
    connection = ConnectNats(options);
    SetDefaultConnection(connection);
  } else {
    connection = ConnectDefault();
  }
  return connection;
}

}  // namespace W4Notifier
