// An in-process bus served to NATS clients.

#include <list>
#include <optional>
#include <unordered_map>

#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Sync.h"

namespace W4Notifier {
namespace {

// Carries the bus's answers back to one NATS client. One object per client:
// the bus calls a callback object on one thread, in the order its answers
// came, so the client gets them in the order the server gave them.
// Thread-safe; held by the bus connection while an outcome is pending.
class ReplyForwarder : public IAsyncResponseCallback {
 public:
  // A ticket for `request`, handed to the bus as the request's flags.
  std::uint32_t Hold(CNatsRequest request) {
    W4Os::MutexLock lock(&mutex_);
    const std::uint32_t ticket = next_++;
    held_.emplace(ticket, std::move(request));
    return ticket;
  }
  std::optional<CNatsRequest> Take(std::uint32_t ticket) {
    W4Os::MutexLock lock(&mutex_);
    auto node = held_.extract(ticket);
    if (node.empty()) return std::nullopt;
    return std::move(node.mapped());
  }

  void OnAsyncResponseSuccess_Ex(std::uint32_t, CMessage& response, std::uint32_t ticket) override {
    if (auto request = Take(ticket)) request->Reply(response);
  }
  void OnAsyncResponseRejected_Ex(std::uint32_t, CMessage& rejection,
                                  std::uint32_t ticket) override {
    if (auto request = Take(ticket)) request->Reply(rejection, /*rejected=*/true);
  }
  // Unanswered on the bus: the NATS requester's own timer ends it.
  void OnAsyncResponseTimeout_Ex(std::uint32_t, std::uint32_t ticket) override { Take(ticket); }
  void OnAsyncResponseCancelled_Ex(std::uint32_t, std::uint32_t ticket) override { Take(ticket); }
  // The bus connection went down under it: no answer will come, and the
  // requester hears so now rather than at its time-out.
  void OnAsyncResponseConnectionLoss_Ex(std::uint32_t, std::uint32_t ticket) override {
    if (auto request = Take(ticket)) request->Reply(CMessage(), /*rejected=*/true);
  }
  // The notifier calls the forms above.
  void OnAsyncResponseSuccess(std::uint32_t, CMessage&) override {}
  void OnAsyncResponseRejected(std::uint32_t, CMessage&) override {}
  void OnAsyncResponseTimeout(std::uint32_t) override {}

 private:
  W4Os::Mutex mutex_;
  std::uint32_t next_ QM_GUARDED_BY(mutex_) = 0;
  std::unordered_map<std::uint32_t, CNatsRequest> held_ QM_GUARDED_BY(mutex_);
};

// A bus connection standing for NATS clients, with the forwarder of its
// answers.
struct BusClient {
  std::shared_ptr<CInProcessConnection> connection;
  std::shared_ptr<ReplyForwarder> replies = std::make_shared<ReplyForwarder>();
};

}  // namespace

// Hands NATS requests to the bus and bus notifications to NATS.
class CNatsBusBridge::Forwarder : public IBusObserver {
 public:
  explicit Forwarder(std::shared_ptr<CInProcessBus> bus)
      : bus_(std::move(bus)), local_{bus_->Connect()} {}

  // Starts publishing the bus's notifications through `responder`.
  // REQUIRES: `responder` outlives Close.
  void PublishThrough(CNatsResponder* responder) {
    bus_->AddObserver(this);
    W4Os::MutexLock lock(&mutex_);
    responder_ = responder;
    publishing_.SignalAll();
  }

  void Serve(CNatsRequest request) {
    const std::optional<BusClient> client = ClientOf(request.SenderName());
    if (!client) return;  // closed
    if (!request.ExpectsReply()) {
      client->connection->SendRequest(request.Message(), nullptr, 0);
      return;
    }
    // Held as long as the requester waits: an alerting order, say, is
    // answered long after the default time-out.
    const std::uint32_t waitMs =
        request.WaitMilliseconds() != 0 ? request.WaitMilliseconds() : CNotifierTimeout::Query();
    const CMessage message = request.Message();
    const std::uint32_t ticket = client->replies->Hold(std::move(request));
    const eMsgCode sent = client->connection->SendAsyncRequest(
        message, client->replies.get(), ticket, waitMs, nullptr, client->replies);
    // Nobody serves the bus: the requester hears so at once.
    if (sent != eMsgSuccess) {
      if (auto unsent = client->replies->Take(ticket)) unsent->Reply(CMessage(), /*rejected=*/true);
    }
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
  using Recent = std::list<std::string>;
  struct Client {
    BusClient bus;
    Recent::iterator recent;
  };
  using Clients = std::unordered_map<std::string, Client>;

  // The bus connection that stands for the NATS client `sender` (empty: the
  // shared one); nothing once closed.
  std::optional<BusClient> ClientOf(const std::string& sender) {
    BusClient evicted;  // released after the lock
    W4Os::MutexLock lock(&mutex_);
    // A request served before the notifications go out could answer a state
    // whose later changes its client never hears of.
    while (responder_ == nullptr && !closed_) publishing_.Wait();
    if (closed_) return std::nullopt;
    if (sender.empty()) return local_;
    auto it = clients_.find(sender);
    if (it != clients_.end()) {
      recent_.splice(recent_.begin(), recent_, it->second.recent);
      return it->second.bus;
    }
    if (clients_.size() >= CNatsBusBridge::kMaxClients) {
      auto oldest = clients_.find(recent_.back());
      evicted = std::move(oldest->second.bus);
      clients_.erase(oldest);
      recent_.pop_back();
    }
    recent_.push_front(sender);
    BusClient client{bus_->Connect()};
    clients_.emplace(sender, Client{client, recent_.begin()});
    return client;
  }

  const std::shared_ptr<CInProcessBus> bus_;
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
