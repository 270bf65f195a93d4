// An in-process bus served to NATS clients.

#include <list>
#include <unordered_map>

#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Sync.h"

namespace W4Notifier {
namespace {

// Carries the bus's answer to one NATS request back; held by the bus
// connection until its outcome has been delivered.
class ReplyForwarder : public IAsyncResponseCallback {
 public:
  explicit ReplyForwarder(CNatsRequest request) : request_(std::move(request)) {}
  void OnAsyncResponseSuccess(std::uint32_t, CMessage& response) override {
    request_.Reply(response);
  }
  void OnAsyncResponseRejected(std::uint32_t, CMessage& rejection) override {
    request_.Reply(rejection, /*rejected=*/true);
  }
  // Unanswered on the bus: the NATS requester's own timer ends it.
  void OnAsyncResponseTimeout(std::uint32_t) override {}

 private:
  CNatsRequest request_;
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
  Forwarder(const CNatsOptions& options, std::shared_ptr<CInProcessBus> bus)
      : bus_(std::move(bus)), nats_(ConnectNats(options)), local_(bus_->Connect()) {}

  void Serve(CNatsRequest request) {
    const std::shared_ptr<CInProcessConnection> local = ConnectionOf(request);
    if (!local) return;  // closed
    if (!request.ExpectsReply()) {
      local->SendRequest(request.Message(), nullptr, 0);
      return;
    }
    auto forwarder = std::make_shared<ReplyForwarder>(request);
    // Held as long as the requester waits: an alerting order, say, is
    // answered long after the default time-out.
    const std::uint32_t waitMs =
        request.WaitMilliseconds() != 0 ? request.WaitMilliseconds() : CNotifierTimeout::Query();
    const eMsgCode sent =
        local->SendAsyncRequest(request.Message(), forwarder.get(), 0, waitMs, nullptr, forwarder);
    // Nobody serves the bus: the requester hears so at once.
    if (sent != eMsgSuccess) request.Reply(CMessage(), /*rejected=*/true);
  }

  void OnTraffic(eTraffic kind, const CMessage& message) override {
    if (kind == eTraffic::kNotification) nats_->Publish(message);
  }

  void Close() {
    bus_->RemoveObserver(this);
    std::shared_ptr<CInProcessConnection> shared;
    Clients clients;
    {
      W4Os::MutexLock lock(&mutex_);
      shared = std::move(local_);
      clients = std::move(clients_);
      recent_.clear();
      closed_ = true;
    }
    // Released after the lock: a bus connection's end waits for its deliveries.
  }

  const std::shared_ptr<CInProcessBus>& Bus() const { return bus_; }

 private:
  using Recent = std::list<std::string>;
  struct Client {
    std::shared_ptr<CInProcessConnection> connection;
    Recent::iterator recent;
  };
  using Clients = std::unordered_map<std::string, Client>;

  // The bus connection that stands for the NATS client that sent `request`
  // (none named: the shared one); null once closed.
  std::shared_ptr<CInProcessConnection> ConnectionOf(const CNatsRequest& request) {
    const std::string& sender = request.SenderName();
    std::shared_ptr<CInProcessConnection> evicted;  // released after the lock
    W4Os::MutexLock lock(&mutex_);
    if (closed_) return nullptr;
    if (sender.empty()) return local_;
    auto it = clients_.find(sender);
    if (it != clients_.end()) {
      recent_.splice(recent_.begin(), recent_, it->second.recent);
      return it->second.connection;
    }
    if (clients_.size() >= CNatsBusBridge::kMaxClients) {
      auto oldest = clients_.find(recent_.back());
      evicted = std::move(oldest->second.connection);
      clients_.erase(oldest);
      recent_.pop_back();
    }
    recent_.push_front(sender);
    auto connection = bus_->Connect();
    auto relay = std::make_shared<RenegotiationRelay>(request.SenderLink());
    connection->StartNotifications(kRelayEntity, 0, relay.get(), 0, nullptr, CKeepAlive(relay));
    clients_.emplace(sender, Client{connection, recent_.begin()});
    return connection;
  }

  const std::shared_ptr<CInProcessBus> bus_;
  const std::shared_ptr<CNotifierConnection> nats_;
  // Taken before the bus's own locks (Connect), never while calling the bus
  // with a request or notification.
  W4Os::Mutex mutex_;
  std::shared_ptr<CInProcessConnection> local_ QM_GUARDED_BY(mutex_);
  // The clients by sender name; `recent_` lists them, most recent first.
  Clients clients_ QM_GUARDED_BY(mutex_);
  Recent recent_ QM_GUARDED_BY(mutex_);
  bool closed_ QM_GUARDED_BY(mutex_) = false;
};

CNatsBusBridge::CNatsBusBridge(const CNatsOptions& options, const std::string& queueGroup,
                               std::shared_ptr<CInProcessBus> bus)
    : forwarder_(std::make_shared<Forwarder>(options, std::move(bus))) {
  forwarder_->Bus()->AddObserver(forwarder_.get());
  try {
    responder_ = std::make_unique<CNatsResponder>(
        options, queueGroup,
        [forwarder = forwarder_](CNatsRequest request) { forwarder->Serve(std::move(request)); });
  } catch (...) {
    forwarder_->Close();
    throw;
  }
}

CNatsBusBridge::~CNatsBusBridge() {
  responder_.reset();  // no request is handed on after this
  forwarder_->Close();
}

}  // namespace W4Notifier
