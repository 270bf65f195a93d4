#pragma once

// The inside of a NATS connection: listeners (one per subscription), pending
// asynchronous requests with their timer, and the delivery thread that makes
// every callback.
//
// Threads: libnats calls OnSubscriptionMessage, OnInboxReply and the
// connection events on its own threads (message delivery is libnats's global
// pool, set to one thread); they only queue work. The delivery thread calls
// the application; the timer thread ends overdue requests.
//
// Locking: `mutex_` guards every table; `queueMutex_` guards the delivery
// queue alone, so that libnats's delivery thread hands a notification over
// without contending with the delivery thread's bookkeeping. Lock order:
// `mutex_`, then `queueMutex_`; `parts_` has a lock of its own, taken with
// neither held. None is held while the application or libnats is called:
// libnats takes its own locks before calling us back, so calling it under
// ours could deadlock against those callbacks.

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QueueManager/Platform/MessageServer.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Sync.h"
#include "platform/nats/Framing.h"
#include "platform/notifier/CallbackKind.h"

namespace W4Notifier::nats {

class NatsConnectionImpl;

// The function name of the connection's traces.
inline constexpr const char* kTraceFunction = "W4Notifier::NatsConnection";

// One subscription: a NATS subscription plus the state that lets Stop wait
// for a callback in progress. `active`, `inFlight` and `thread` are guarded
// by the connection's mutex.
struct Listener {
  std::weak_ptr<NatsConnectionImpl> owner;
  std::uint32_t id = 0;  // the subscription's handle (set once it is listed)
  ObjectTypes type = eObjectTypeNone;
  std::uint32_t objectId = 0;
  int eventCode = 0;
  IMessageCallback* callback = nullptr;  // null for an inbox
  const void* object = nullptr;          // the callback's most-derived object
  std::shared_ptr<CMessageInbox> inbox;  // set for a private inbox
  CKeepAlive keepAlive;
  natsSubscription* subscription = nullptr;
  bool active = true;
  int inFlight = 0;
  std::thread::id thread;
};

class NatsConnectionImpl : public std::enable_shared_from_this<NatsConnectionImpl> {
 public:
  using Clock = std::chrono::steady_clock;
  NatsConnectionImpl(CNatsOptions options, std::uint16_t handle);
  ~NatsConnectionImpl();
  // Connects and starts the threads. Throws CNotifierException.
  void Start();
  // Ends the connection for good; joins its threads (a thread of its own
  // that ends it is detached and finishes by itself).
  void Shutdown();

  std::uint16_t Handle() const { return handle_; }
  bool IsConnected() const;
  std::uint64_t DroppedNotifications() const;
  CNatsStatistics Statistics(bool measureRoundTrip) const;
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

  // libnats callbacks (closures: see NatsConnection.cc).
  void OnSubscriptionMessage(const std::shared_ptr<Listener>& listener, natsMsg* msg);
  void OnInboxReply(natsMsg* msg);
  // A responder's announcement of its instance.
  void OnInstanceAnnounced(natsMsg* msg);
  void OnDisconnected();
  void OnReconnected();
  void OnSlowConsumer();
  // A request found nobody serving the root: the timer thread looks for the
  // server's return, which renegotiates.
  void NoteServerMissing();
  // A notice on "<inbox>.renegotiated" (kRenegotiatedToken).
  void OnRenegotiatedByServer();

 private:
  using DeliveryKind = detail::eCallbackKind;
  struct Delivery {
    DeliveryKind kind = DeliveryKind::kNotification;
    // A notification as it came, read into `message` by the delivery
    // thread: libnats's delivery thread, shared by every connection of the
    // process, only hands it over.
    Arrival received;
    std::size_t bytes = 0;  // what `received` counts against maxQueuedBytes
    // Not a callback: flush, then renegotiate (run by the delivery thread).
    bool finishReconnect = false;
    std::shared_ptr<Listener> listener;  // notification
    const void* object = nullptr;        // renegotiation
    IMessageCallback* messageCallback = nullptr;
    IAsyncResponseCallback* asyncCallback = nullptr;
    std::uint32_t requestId = 0;
    std::uint32_t flags = 0;
    CKeepAlive keepAlive;
    CMessage message;
  };
  // A synchronous request waiting for its reply on the inbox; guarded by
  // `mutex_`.
  struct PendingSync {
    bool done = false;
    eSendStatus status = eSendStatus::kTimeout;
    CMessage reply;
  };
  struct PendingAsync {
    IAsyncResponseCallback* callback = nullptr;
    std::uint32_t flags = 0;
    CKeepAlive keepAlive;
    std::chrono::steady_clock::time_point deadline;
  };

  void Enqueue(Delivery delivery) QM_LOCKS_EXCLUDED(queueMutex_);
  void EnqueueOutcome(std::uint32_t requestId, PendingAsync pending, DeliveryKind kind,
                      CMessage message = {}) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void FailAllPending() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Queues a renegotiation for every subscriber, unless one that has not
  // been taken yet is queued: that one serves every later reason too, so
  // however many notices arrive, one waits. False when there was nobody to
  // tell.
  bool EnqueueRenegotiations() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Queues a notification when there is room; otherwise drops it and
  // makes sure a renegotiation follows it.
  void EnqueueNotification(Delivery delivery) QM_LOCKS_EXCLUDED(mutex_, queueMutex_);
  // A notification that will not be delivered: counted, and its subscribers
  // renegotiated.
  void DropNotification() QM_LOCKS_EXCLUDED(mutex_, queueMutex_);
  // Renegotiates when `msg` names a server instance never heard of before
  // (the first one heard of is taken as it is): a server that restarted
  // behind a running NATS server has lost what it kept for this connection.
  void NoteInstance(natsMsg* msg) QM_LOCKS_EXCLUDED(mutex_);
  // Ends a request whose reply came in parts that could not be joined.
  void FailParted(const std::vector<PartJoiner::Dropped>& dropped) QM_LOCKS_EXCLUDED(mutex_);
  // Ends the pending request `requestId` with `kind`; false when none waits.
  bool Complete(std::uint32_t requestId, DeliveryKind kind, CMessage body)
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  std::shared_ptr<Listener> Subscribe(std::shared_ptr<Listener> listener);
  void AwaitServer();
  template <class Predicate>
  std::size_t RemoveListeners(const void* object, Predicate remove);
  static void Unsubscribe(const std::vector<std::shared_ptr<Listener>>& listeners);
  std::shared_ptr<Listener> ActiveListenerOf(const void* object) const
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Sends a request to its subject, under this connection's client token,
  // naming `waitMs` as the wait for its answer (0: none expected).
  natsStatus PublishRequest(const CMessage& request, const char* reply, std::uint32_t waitMs);
  void RunDelivery();
  // Waits for deliveries and takes all that are queued; false once the
  // connection ends with nothing left to deliver.
  bool TakeDeliveries(std::deque<Delivery>& batch) QM_LOCKS_EXCLUDED(queueMutex_);
  void RunTimer();
  // Ends the first pending request if overdue; false when none is.
  bool ExpireFirst(Clock::time_point now) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Asks whether anybody serves the root, with `mutex_` released meanwhile;
  // renegotiates when somebody does.
  void ProbeServer() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  bool ServerAnswers();
  void Deliver(Delivery& delivery);
  void FinishReconnect();

  const CNatsOptions options_;
  const std::uint16_t handle_;
  natsConnection* connection_ = nullptr;  // set by Start, destroyed by Shutdown
  natsSubscription* inboxSubscription_ = nullptr;
  natsSubscription* renegotiatedSubscription_ = nullptr;
  natsSubscription* instanceSubscription_ = nullptr;
  // Joins notifications (by listener and sender) and replies (by subject).
  PartReceiver parts_;
  // The last server instance heard of, for the common case of no change.
  std::atomic<std::uint64_t> lastInstance_{0};
  std::string inbox_;  // "<inbox>" of the asynchronous replies "<inbox>.<request id>"

  mutable W4Os::Mutex mutex_;
  W4Os::CondVar listenerIdle_{&mutex_};
  W4Os::CondVar timerWake_{&mutex_};
  bool connected_ QM_GUARDED_BY(mutex_) = false;
  bool shuttingDown_ QM_GUARDED_BY(mutex_) = false;
  // A request found nobody serving; the next probe is due at `nextProbe_`.
  bool serverMissing_ QM_GUARDED_BY(mutex_) = false;
  Clock::time_point nextProbe_ QM_GUARDED_BY(mutex_);
  std::vector<CKeepAlive> deferredReleases_ QM_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<Listener>> listeners_ QM_GUARDED_BY(mutex_);
  std::uint32_t nextRequestId_ QM_GUARDED_BY(mutex_) = 1;
  std::uint32_t nextSubscriptionId_ QM_GUARDED_BY(mutex_) = 1;
  std::map<std::uint32_t, PendingAsync> pendingAsync_ QM_GUARDED_BY(mutex_);
  std::map<std::uint32_t, std::shared_ptr<PendingSync>> pendingSync_ QM_GUARDED_BY(mutex_);
  W4Os::CondVar syncDone_{&mutex_};
  // The server instances heard of, oldest first (several responders may
  // share the requests); bounded.
  static constexpr std::size_t kKnownInstances = 16;
  std::vector<std::uint64_t> knownInstances_ QM_GUARDED_BY(mutex_);
  std::set<std::pair<std::chrono::steady_clock::time_point, std::uint32_t>> deadlines_
      QM_GUARDED_BY(mutex_);
  mutable W4Os::Mutex queueMutex_ QM_ACQUIRED_AFTER(mutex_);
  W4Os::CondVar deliveryWork_{&queueMutex_};
  std::deque<Delivery> queue_ QM_GUARDED_BY(queueMutex_);
  bool deliveryEnding_ QM_GUARDED_BY(queueMutex_) = false;
  std::size_t queuedNotifications_ QM_GUARDED_BY(queueMutex_) = 0;
  std::size_t queuedBytes_ QM_GUARDED_BY(queueMutex_) = 0;
  std::uint64_t droppedNotifications_ QM_GUARDED_BY(queueMutex_) = 0;
  // Set while a renegotiation is queued and not yet taken by the delivery
  // thread.
  bool renegotiationQueued_ QM_GUARDED_BY(queueMutex_) = false;
  std::thread deliveryThread_;
  std::thread timerThread_;
  std::thread::id deliveryThreadId_;
};

// The public face: forwards to the impl, ends it when dropped.
class NatsConnection final : public CNotifierConnection {
 public:
  explicit NatsConnection(std::shared_ptr<NatsConnectionImpl> impl) : impl_(std::move(impl)) {}
  ~NatsConnection() override { impl_->Shutdown(); }

  std::uint16_t QueryHandle() const override { return impl_->Handle(); }
  bool IsConnected() const override { return impl_->IsConnected(); }
  eSendStatus SendRequest(const CMessage& request, CMessage* response,
                          std::uint32_t timeoutMs) override {
    return impl_->SendRequest(request, response, timeoutMs);
  }
  eMsgCode SendAsyncRequest(const CMessage& request, IAsyncResponseCallback* callback,
                            std::uint32_t flags, std::uint32_t timeoutMs,
                            std::uint32_t* handleOut = nullptr,
                            const CKeepAlive& keepAlive = {}) override {
    return impl_->SendAsyncRequest(request, callback, flags, timeoutMs, handleOut, keepAlive);
  }
  eMsgCode CancelAsyncRequest(std::uint32_t requestId) override {
    return impl_->CancelAsyncRequest(requestId);
  }
  eMsgCode Publish(const CMessage& notification) override { return impl_->Publish(notification); }
  eMsgCode StartNotifications(const CEntityId& entity, int eventCode, IMessageCallback* callback,
                              std::uint32_t /*flags*/, std::uint32_t* handleOut = nullptr,
                              const CKeepAlive& keepAlive = {},
                              std::u16string_view /*name*/ = {}) override {
    return impl_->StartNotifications(entity, eventCode, callback, handleOut, keepAlive);
  }
  eMsgCode StopNotifications(const CEntityId& entity, int eventCode, IMessageCallback* callback,
                             std::uint32_t /*flags*/) override {
    return impl_->StopNotifications(entity, eventCode, callback);
  }
  eMsgCode StopAllMessages(IMessageCallback* callback) override {
    return impl_->StopAllMessages(callback);
  }
  eMsgCode AttachInbox(const std::shared_ptr<CMessageInbox>& inbox, const CEntityId& entity,
                       int eventCode) override {
    return impl_->AttachInbox(inbox, entity, eventCode);
  }
  void DetachInbox(const CMessageInbox* inbox) override { impl_->DetachInbox(inbox); }
  const NatsConnectionImpl& Impl() const { return *impl_; }

 private:
  std::shared_ptr<NatsConnectionImpl> impl_;
};

// Applies the settings shared by every connection (ping, reconnection,
// servers, identity) to `opts`. Throws CNotifierException on invalid options.
void ApplyCommonOptions(natsOptions* opts, const CNatsOptions& options);
// The servers (checked, without their credentials), authentication, TLS and
// name of `options`, applied to `opts`. Throws CNotifierException.
void ApplyIdentityOptions(natsOptions* opts, const CNatsOptions& options);
// `options` with its client token (a random one when empty) and inbox prefix
// filled in. Throws CNotifierException when they are invalid.
CNatsOptions ResolvedIdentity(CNatsOptions options);
// A fresh random subject token.
std::string RandomToken();
// Throws CNotifierException naming the servers (without credentials) and
// libnats's reason (`lastError`, as nats_GetLastError gave it on the thread
// that connected) when `status` is not NATS_OK.
void CheckConnect(natsStatus status, const CNatsOptions& options, std::string_view lastError);
// Makes libnats deliver messages of the connections that ask for it on one
// shared thread (done once per process).
void UseOneDeliveryThread();
// Traces a message that the server's payload limit kept from being sent.
void TraceOversized(natsStatus status, std::size_t bytes, std::string_view subject);
// Throws CNotifierException naming `what` when `status` is not NATS_OK.
void Check(natsStatus status, const char* what);
// natsConnection_Connect with `opts` (taken over), given up after `limit`:
// libnats's own time-out does not cover a server that accepts and then says
// nothing. An abandoned connect finishes on a thread of its own, which
// destroys what it made and then runs `abandoned` (frees the closures of
// `opts` when no connection was made: a made one frees them as it closes).
// Returns NATS_TIMEOUT when it was abandoned; `lastError` receives libnats's
// reason for a failure, which it keeps per thread.
natsStatus ConnectWithin(natsConnection** connection, natsOptions* opts,
                         std::chrono::milliseconds limit, std::function<void(bool made)> abandoned,
                         std::string& lastError);
// Throws the CNotifierException of a connect given up after its time.
[[noreturn]] void ThrowConnectTimeout(const CNatsOptions& options);
// How long a connect with `options` may take in all.
std::chrono::milliseconds ConnectLimit(const CNatsOptions& options);

}  // namespace W4Notifier::nats
