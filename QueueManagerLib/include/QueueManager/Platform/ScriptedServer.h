#pragma once

// A scripted server for tests: it plays the server's part on an in-process
// bus, answering requests as a test tells it and recording all traffic.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Sync.h"

namespace W4Notifier {

/// How the server answers one request.
struct QM_EXPORT CScriptedReply {
  /// Answer with `body`, reject with `body`, or say nothing.
  ///@{
  enum class eKind : std::uint8_t { kRespond, kReject, kSilence };
  eKind kind = eKind::kRespond;
  CMessage body;

  static CScriptedReply Respond(CMessage body = {}) { return {eKind::kRespond, std::move(body)}; }
  static CScriptedReply Reject(CMessage body = {}) { return {eKind::kReject, std::move(body)}; }
  static CScriptedReply Silence() { return {eKind::kSilence, {}}; }
  ///@}
};

/// One message that crossed the bus, in the order the server saw them.
struct QM_EXPORT CTrafficRecord {
  /// What crossed the bus.
  ///@{
  IBusObserver::eTraffic kind;
  ///@}
  CMessage message;  ///< read position at the first field

  /// "request (29, 4294967295) event 4: int 3, ..." for failure messages.
  std::string Describe() const;
};

/// Plays the server on a bus. Thread-safe: scripts may change while requests
/// arrive. Requests are answered on the bus's server thread.
///
/// Rules match a request by its target entity (exactly, or every id of an
/// object type) and event id; the rule added last wins. A request that no rule
/// matches is rejected with an empty body. A one-way request runs its rule's
/// handler as well (so that a script can act on it, for example publish); its
/// answer goes nowhere. Requests are handled one at a time, and an answer is
/// on its way before the next request is handled: what a handler publishes
/// reaches subscribers in order with the answers around it.
class QM_EXPORT CScriptedServer : public IRequestHandler, public IBusObserver {
 public:
  /// Computes the answer to one request.
  ///@{
  using Handler = std::function<CScriptedReply(const CMessage& request)>;
  ///@}

  /// Attaches to `bus` as its request handler and observer.
  explicit CScriptedServer(std::shared_ptr<CInProcessBus> bus);
  /// Detaches; returns once no call into this server is running.
  ~CScriptedServer() override;
  CScriptedServer(const CScriptedServer&) = delete;
  CScriptedServer& operator=(const CScriptedServer&) = delete;

  /// Fixed answers to requests to one entity.
  ///@{
  void Respond(const CEntityId& target, int eventId, const CMessage& body = {});
  void Reject(const CEntityId& target, int eventId, const CMessage& body = {});
  void Silence(const CEntityId& target, int eventId);
  ///@}
  /// Computed answers, to one entity or to every id of an object type.
  ///@{
  void Handle(const CEntityId& target, int eventId, Handler handler);
  void HandleType(ObjectTypes type, int eventId, Handler handler);
  ///@}
  /// Forgets every rule.
  void ClearRules();

  /// Publishes a notification from (entity, event) with the fields of `body`.
  eMsgCode Publish(const CEntityId& entity, int eventId, const CMessage& body = {});

  /// Everything recorded so far, and the requests alone (both kinds).
  ///@{
  std::vector<CTrafficRecord> Traffic() const;
  std::vector<CMessage> Requests() const;
  ///@}
  /// Requests to `target` with `eventId`.
  std::vector<CMessage> RequestsTo(const CEntityId& target, int eventId) const;
  /// Forgets what was recorded.
  void ClearTraffic();
  /// Waits until `count` requests in total have been recorded; false on
  /// time-out.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout);

  /// Waits until all queued work on the bus has run.
  void WaitIdle() { bus_->WaitIdle(); }
  /// The bus served.
  const std::shared_ptr<CInProcessBus>& Bus() const { return bus_; }

  /// IRequestHandler and IBusObserver.
  ///@{
  void OnRequest(CInboundRequest request) override;
  void OnTraffic(eTraffic kind, const CMessage& message) override;
  ///@}

 private:
  struct Rule {
    CEntityId target;
    bool wholeType;
    int eventId;
    Handler handler;
  };
  std::optional<Handler> FindRule(const CMessage& request) const;
  void AddRule(Rule rule);

  const std::shared_ptr<CInProcessBus> bus_;
  mutable W4Os::Mutex mutex_;
  W4Os::CondVar trafficChanged_{&mutex_};
  std::vector<Rule> rules_ QM_GUARDED_BY(mutex_);
  std::vector<CTrafficRecord> traffic_ QM_GUARDED_BY(mutex_);
  std::size_t requestCount_ QM_GUARDED_BY(mutex_) = 0;
};

}  // namespace W4Notifier
