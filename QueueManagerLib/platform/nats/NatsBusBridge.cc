// An in-process bus served to NATS clients.

#include <algorithm>
#include <chrono>
#include <list>
#include <map>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Trace.h"

namespace W4Notifier {
namespace {

// What the requests waiting for the bus's answer may hold, at most: clients
// that send faster than the server answers are refused beyond it.
constexpr std::size_t kMaxHeldBytes = std::size_t{64} << 20;
// The longest a request is held for its answer, whatever its sender says.
constexpr std::uint32_t kMaxWaitMs = 10 * 60 * 1000;

// The NATS requests waiting for the bus's answer, by the bus connection and
// request id they were handed on with. Thread-safe.
class PendingAnswers {
 public:
  // Hands `request` on through `connection`; false when the bus refused it
  // or too much is held already.
  // Lock order: `mutex_` before the bus's locks.
  bool Send(CInProcessConnection& connection, CNatsRequest& request,
            IAsyncResponseCallback* callback, std::uint32_t waitMs, const CKeepAlive& keepAlive) {
    const std::size_t bytes = request.Message().BodySize();
    // Held across the send: the answer may come before the send returns, and
    // its Take must find the request.
    W4Os::MutexLock lock(&mutex_);
    if (bytes > kMaxHeldBytes - heldBytes_) return false;
    std::uint32_t requestId = 0;
    if (connection.SendAsyncRequest(request.Message(), callback, 0, std::min(waitMs, kMaxWaitMs),
                                    &requestId, keepAlive) != eMsgSuccess)
      return false;
    heldBytes_ += bytes;
    held_.emplace(Key{connection.QueryHandle(), requestId}, std::move(request));
    return true;
  }
  std::optional<CNatsRequest> Take(std::uint16_t handle, std::uint32_t requestId) {
    W4Os::MutexLock lock(&mutex_);
    auto node = held_.extract(Key{handle, requestId});
    if (node.empty()) return std::nullopt;
    heldBytes_ -= node.mapped().Message().BodySize();
    return std::move(node.mapped());
  }

 private:
  using Key = std::pair<std::uint16_t, std::uint32_t>;
  W4Os::Mutex mutex_;
  std::map<Key, CNatsRequest> held_ QM_GUARDED_BY(mutex_);
  std::size_t heldBytes_ QM_GUARDED_BY(mutex_) = 0;
};

// The bus connection's callback for one NATS client's requests. Their
// answers go out as the bus routes them (CNatsBusBridge::Forwarder::OnAnswer),
// in the server's order with its notifications; the connection's later
// delivery of them finds nothing left. What ends a request without an
// answer is handled here.
class ReplyForwarder : public IAsyncResponseCallback {
 public:
  ReplyForwarder(std::shared_ptr<PendingAnswers> pending, std::uint16_t handle)
      : pending_(std::move(pending)), handle_(handle) {}

  void OnAsyncResponseSuccess(std::uint32_t requestId, CMessage& response) override {
    if (auto request = pending_->Take(handle_, requestId)) request->Reply(response);
  }
  void OnAsyncResponseRejected(std::uint32_t requestId, CMessage& rejection) override {
    if (auto request = pending_->Take(handle_, requestId)) request->Reply(rejection, true);
  }
  // Unanswered on the bus: the NATS requester's own timer ends it.
  void OnAsyncResponseTimeout(std::uint32_t requestId) override {
    pending_->Take(handle_, requestId);
  }
  void OnAsyncResponseCancelled(std::uint32_t requestId) override {
    pending_->Take(handle_, requestId);
  }
  // The bus connection went down under it: no answer will come, and the
  // requester hears so now rather than at its time-out.
  void OnAsyncResponseConnectionLoss(std::uint32_t requestId) override {
    if (auto request = pending_->Take(handle_, requestId)) request->Reply(CMessage(), true);
  }

 private:
  const std::shared_ptr<PendingAnswers> pending_;
  const std::uint16_t handle_;
};

// A bus connection standing for NATS clients, with its callback.
struct BusClient {
  std::shared_ptr<CInProcessConnection> connection;
  std::shared_ptr<ReplyForwarder> replies;
};

// Tells a NATS client when the server renegotiates the bus connection that
// stands for it. Called on that connection's delivery thread; touches nothing
// but its link.
class RenegotiationRelay : public IMessageCallback {
 public:
  explicit RenegotiationRelay(CNatsSenderLink link) : link_(std::move(link)) {}
  void OnMessageReceived(CMessage&) override {}
  void OnConnectionRenegotiated() override { link_.TellRenegotiated(); }

 private:
  const CNatsSenderLink link_;
};

// Nothing publishes on it: the relay's subscription is there so that a
// renegotiation of the client's bus connection reaches the relay.
const CEntityId kRelayEntity(static_cast<ObjectTypes>(0x7FFFFFFF), 0u);

}  // namespace

// Hands NATS requests to the bus and bus notifications to NATS.
class CNatsBusBridge::Forwarder : public IBusObserver {
 public:
  explicit Forwarder(std::shared_ptr<CInProcessBus> bus) : bus_(std::move(bus)) {
    W4Os::MutexLock lock(&mutex_);
    try {
      local_ = NewClient();
    } catch (const std::system_error& error) {
      throw CNotifierException(std::string("NATS bridge: no bus connection: ") + error.what());
    }
  }

  // Starts publishing the bus's notifications through `responder`.
  // REQUIRES: `responder` outlives Close.
  void PublishThrough(CNatsResponder* responder) {
    bus_->AddObserver(this);
    W4Os::MutexLock lock(&mutex_);
    responder_ = responder;
    publishing_.SignalAll();
  }

  void Serve(CNatsRequest request) {
    const std::optional<BusClient> client = ClientOf(request);
    if (!client) return;  // closed
    if (!client->connection) {
      // Served from another client's connection it would be mistaken for
      // that client: refused.
      request.Reply(CMessage(), /*rejected=*/true);
      return;
    }
    if (!request.ExpectsReply()) {
      client->connection->SendRequest(request.Message(), nullptr, 0);
      return;
    }
    // Held as long as the requester waits: an alerting order, say, is
    // answered long after the default time-out.
    const std::uint32_t waitMs =
        request.WaitMilliseconds() != 0 ? request.WaitMilliseconds() : CNotifierTimeout::Query();
    // Nobody serves the bus, or too much waits already: the requester hears
    // so at once.
    if (!pending_->Send(*client->connection, request, client->replies.get(), waitMs,
                        client->replies))
      request.Reply(CMessage(), /*rejected=*/true);
  }

  void OnAnswer(std::uint16_t handle, std::uint32_t requestId, const CMessage& body,
                bool rejected) override {
    if (auto request = pending_->Take(handle, requestId)) request->Reply(body, rejected);
  }

  void OnTraffic(eTraffic kind, const CMessage& message) override {
    if (kind != eTraffic::kNotification) return;
    CNatsResponder* responder = nullptr;
    {
      W4Os::MutexLock lock(&mutex_);
      responder = responder_;
    }
    // Valid here: Close waits for the observer calls in progress before the
    // responder goes.
    if (responder != nullptr) responder->Publish(message);
  }

  // Stops publishing; returns once no notification is being published.
  void StopPublishing() { bus_->RemoveObserver(this); }

  void Close() {
    StopPublishing();
    BusClient shared;
    Clients clients;
    {
      W4Os::MutexLock lock(&mutex_);
      shared = std::move(local_);
      clients = std::move(clients_);
      recent_.clear();
      closed_ = true;
      publishing_.SignalAll();
    }
    // Released after the lock: a bus connection's end waits for its deliveries.
  }

  const std::shared_ptr<CInProcessBus>& Bus() const { return bus_; }

 private:
  using Clock = std::chrono::steady_clock;
  using Recent = std::list<std::string>;
  struct Client {
    BusClient bus;
    Recent::iterator recent;
    Clock::time_point lastUse;
  };
  using Clients = std::unordered_map<std::string, Client>;

  // The bus connection that stands for the NATS client that sent `request`
  // (none named: the shared one; none to be had: one without a connection);
  // nothing once closed.
  std::optional<BusClient> ClientOf(const CNatsRequest& request) {
    const std::string& sender = request.SenderName();
    std::vector<BusClient> released;  // after the lock: each end joins threads
    W4Os::MutexLock lock(&mutex_);
    // A request served before the notifications go out could answer a state
    // whose later changes its client never hears of.
    while (responder_ == nullptr && !closed_) publishing_.Wait();
    if (closed_) return std::nullopt;
    if (sender.empty()) return local_;
    const auto now = Clock::now();
    ExpireIdle(now, released);
    auto it = clients_.find(sender);
    if (it != clients_.end()) {
      recent_.splice(recent_.begin(), recent_, it->second.recent);
      it->second.lastUse = now;
      return it->second.bus;
    }
    if (clients_.size() >= CNatsBusBridge::kMaxClients) Forget(recent_.back(), released);
    BusClient client;
    try {
      client = NewClient();
    } catch (const std::system_error& error) {
      QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, "W4Notifier::CNatsBusBridge",
               "no bus connection for a NATS client, its request is refused: {}", error.what());
      return client;
    }
    auto relay = std::make_shared<RenegotiationRelay>(request.SenderLink());
    client.connection->StartNotifications(kRelayEntity, 0, relay.get(), 0, nullptr,
                                          CKeepAlive(relay));
    recent_.push_front(sender);
    clients_.emplace(sender, Client{client, recent_.begin(), now});
    return client;
  }

  // Frees the clients that sent nothing for kClientIdleSeconds: a client
  // process that ended says nothing, and its bus connection holds threads.
  void ExpireIdle(Clock::time_point now, std::vector<BusClient>& released)
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    while (!recent_.empty() && now - clients_.at(recent_.back()).lastUse >
                                   std::chrono::seconds(CNatsBusBridge::kClientIdleSeconds))
      Forget(recent_.back(), released);
  }

  void Forget(std::string sender, std::vector<BusClient>& released)
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    auto it = clients_.find(sender);
    released.push_back(std::move(it->second.bus));
    recent_.erase(it->second.recent);
    clients_.erase(it);
  }

  // Throws std::system_error when the connection's threads cannot start.
  BusClient NewClient() {
    BusClient client;
    // One delivery thread: a client's callbacks are the bridge's own and
    // brief, and threads are what bounds the number of clients.
    client.connection = bus_->Connect(CInProcessOptions{.deliveryThreads = 1});
    client.replies = std::make_shared<ReplyForwarder>(pending_, client.connection->QueryHandle());
    return client;
  }

  const std::shared_ptr<CInProcessBus> bus_;
  const std::shared_ptr<PendingAnswers> pending_ = std::make_shared<PendingAnswers>();
  // Taken before the bus's own locks (Connect), never while calling the bus
  // with a request or notification, nor NATS.
  W4Os::Mutex mutex_;
  W4Os::CondVar publishing_{&mutex_};
  CNatsResponder* responder_ QM_GUARDED_BY(mutex_) = nullptr;
  BusClient local_ QM_GUARDED_BY(mutex_);
  // The clients by sender name; `recent_` lists them, most recent first.
  Clients clients_ QM_GUARDED_BY(mutex_);
  Recent recent_ QM_GUARDED_BY(mutex_);
  bool closed_ QM_GUARDED_BY(mutex_) = false;
};

CNatsBusBridge::CNatsBusBridge(const CNatsOptions& options, const std::string& queueGroup,
                               std::shared_ptr<CInProcessBus> bus)
    : forwarder_(std::make_shared<Forwarder>(std::move(bus))) {
  try {
    responder_ = std::make_unique<CNatsResponder>(
        options, queueGroup,
        [forwarder = forwarder_](CNatsRequest request) { forwarder->Serve(std::move(request)); });
  } catch (...) {
    forwarder_->Close();
    throw;
  }
  forwarder_->PublishThrough(responder_.get());
}

CNatsBusBridge::~CNatsBusBridge() {
  forwarder_->StopPublishing();  // before the responder it publishes through goes
  responder_.reset();            // no request is handed on after this
  forwarder_->Close();
}

}  // namespace W4Notifier
