// An in-process bus served to NATS clients.

#include "QueueManager/Platform/NatsNotifier.h"

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

}  // namespace

// Hands NATS requests to the bus and bus notifications to NATS.
class CNatsBusBridge::Forwarder : public IBusObserver {
 public:
  Forwarder(const CNatsOptions& options, std::shared_ptr<CInProcessBus> bus)
      : bus_(std::move(bus)), local_(bus_->Connect()), nats_(ConnectNats(options)) {}

  void Serve(CNatsRequest request) {
    if (!request.ExpectsReply()) {
      local_->SendRequest(request.Message(), nullptr, 0);
      return;
    }
    auto forwarder = std::make_shared<ReplyForwarder>(request);
    const eMsgCode sent = local_->SendAsyncRequest(request.Message(), forwarder.get(), 0,
                                                   CNotifierTimeout::Query(), nullptr, forwarder);
    // Nobody serves the bus: the requester hears so at once.
    if (sent != eMsgSuccess) request.Reply(CMessage(), /*rejected=*/true);
  }

  void OnTraffic(eTraffic kind, const CMessage& message) override {
    if (kind == eTraffic::kNotification) nats_->Publish(message);
  }

  void Close() {
    bus_->RemoveObserver(this);
    local_.reset();
  }

  const std::shared_ptr<CInProcessBus>& Bus() const { return bus_; }

 private:
  std::shared_ptr<CInProcessBus> bus_;
  std::shared_ptr<CInProcessConnection> local_;
  std::shared_ptr<CNotifierConnection> nats_;
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
