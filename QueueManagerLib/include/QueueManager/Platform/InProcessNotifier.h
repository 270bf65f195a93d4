#pragma once

// The in-process notifier: the embedded default transport. A bus stands for
// the notifier network; connections on it stand for processes; one request
// handler on it (for example a CScriptedServer) plays the server.

#include <cstdint>
#include <functional>
#include <memory>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Notifier.h"

namespace W4Notifier {

class CInProcessBus;
namespace detail {
class BusCore;
}

/// A request as the serving side sees it. Reply at most once; a request sent
/// without waiting takes no reply (Reply does nothing). Thread-safe to move
/// between threads; not to share.
class QM_EXPORT CInboundRequest {
 public:
  /// The request, and whether its sender waits for a reply.
  ///@{
  const CMessage& Message() const { return message_; }
  bool ExpectsReply() const { return token_ != 0; }
  ///@}
  /// The handle (CNotifierConnection::QueryHandle) of the connection that sent
  /// the request: tells a server's clients apart.
  std::uint16_t QuerySender() const { return sender_; }
  /// Answers with `body` (its header is set from the request). Later replies
  /// and replies to a request that timed out are dropped.
  void Reply(const CMessage& body, bool rejected = false);

 private:
  friend class detail::BusCore;
  CInboundRequest(std::weak_ptr<detail::BusCore> bus, std::uint64_t token, std::uint16_t sender,
                  CMessage message)
      : bus_(std::move(bus)), token_(token), sender_(sender), message_(std::move(message)) {}
  std::weak_ptr<detail::BusCore> bus_;
  std::uint64_t token_;
  std::uint16_t sender_;
  CMessage message_;
};

/// Serves requests on a bus. Called on the bus's server thread, one request
/// at a time, with no bus lock held; may reply later from any thread, and may
/// publish notifications.
class QM_EXPORT IRequestHandler {
 public:
  virtual ~IRequestHandler() = default;
  /// Handles one request, on the bus's server thread; it replies through the request, now or later.
  ///@{
  virtual void OnRequest(CInboundRequest request) = 0;
  ///@}
};

/// Watches everything that crosses a bus (for recording). Called with no bus
/// lock held, on the thread that caused the traffic. Must be thread-safe.
class QM_EXPORT IBusObserver {
 public:
  /// What crossed the bus.
  ///@{
  enum class eTraffic : std::uint8_t {
    kRequest,
    kOneWayRequest,
    kResponse,
    kRejection,
    kNotification
  };
  ///@}
  virtual ~IBusObserver() = default;
  /// Called for each message that crossed the bus.
  ///@{
  virtual void OnTraffic(eTraffic kind, const CMessage& message) = 0;
  ///@}
  /// An answer to the request `requestId` of the connection `handle`, after
  /// its OnTraffic and before that connection is handed it: in the order the
  /// server answers and publishes, unlike the connection's delivery.
  virtual void OnAnswer(std::uint16_t /*handle*/, std::uint32_t /*requestId*/,
                        const CMessage& /*body*/, bool /*rejected*/) {}
};

/// Options of an in-process connection.
struct CInProcessOptions {
  /// Delivery threads. Each callback object is served by one of them, so its
  /// callbacks stay in order while different objects are called in parallel.
  unsigned deliveryThreads = 2;
};

class CInProcessConnection;

/// The notifier network of one process. Thread-safe; shared by its
/// connections and servers (hold it in a shared_ptr).
class QM_EXPORT CInProcessBus : public std::enable_shared_from_this<CInProcessBus> {
 public:
  /// A new bus of its own (tests make one each).
  ///@{
  static std::shared_ptr<CInProcessBus> Create();
  ///@}
  /// The process-wide bus that ConnectDefault uses.
  static std::shared_ptr<CInProcessBus> Default();
  ~CInProcessBus();

  /// A new connected connection on this bus. Throws std::system_error when
  /// its threads cannot start.
  std::shared_ptr<CInProcessConnection> Connect(const CInProcessOptions& options = {});

  /// Installs the one request handler (null: none; requests then fail with
  /// "no route"). Returns after any call into the previous handler finished.
  /// REQUIRES: not called from inside the handler.
  void SetRequestHandler(IRequestHandler* handler);
  /// Takes the connection with `handle` down and brings it back at once,
  /// renegotiated (CInProcessConnection::Disconnect, then Reconnect): what a
  /// server sees when a client's link breaks and recovers. False when no
  /// connection on this bus has that handle.
  bool DropConnection(std::uint16_t handle);
  /// Renegotiates the connection with `handle` without taking it down
  /// (CInProcessConnection::Renegotiate). False when no connection on this
  /// bus has that handle.
  bool RenegotiateConnection(std::uint16_t handle);
  /// Adds an observer of the traffic; it must outlive its registration.
  ///@{
  void AddObserver(IBusObserver* observer);
  ///@}
  /// Returns after any call into the observer finished.
  void RemoveObserver(IBusObserver* observer);

  /// Whether a notification of `entity` and `eventCode` published now would
  /// reach anyone: an observer, or a subscription or inbox of a connection.
  /// Takes the bus's and its connections' locks, under which nothing is
  /// called out: may be asked under a lock of the caller's.
  bool HasAudience(const CEntityId& entity, int eventCode) const;

  /// Waits until every queued request and every queued delivery of every
  /// connection has run (work they cause included).
  /// REQUIRES: not called from a delivery or server thread.
  void WaitIdle();

  /// The bus's core, for the library's own transports; not for applications.
  ///@{
  detail::BusCore& Core() { return *core_; }
  ///@}

 private:
  CInProcessBus();
  std::shared_ptr<detail::BusCore> core_;
};

/// A connection on an in-process bus. Thread-safe.
class QM_EXPORT CInProcessConnection : public CNotifierConnection {
 public:
  ~CInProcessConnection() override;

  std::uint16_t QueryHandle() const override;
  bool IsConnected() const override;
  eSendStatus SendRequest(const CMessage& request, CMessage* response,
                          std::uint32_t timeoutMs) override;
  eMsgCode SendAsyncRequest(const CMessage& request, IAsyncResponseCallback* callback,
                            std::uint32_t flags, std::uint32_t timeoutMs,
                            std::uint32_t* handleOut = nullptr,
                            const CKeepAlive& keepAlive = {}) override;
  eMsgCode CancelAsyncRequest(std::uint32_t requestId) override;
  eMsgCode Publish(const CMessage& notification) override;
  eMsgCode StartNotifications(const CEntityId& entity, int eventCode, IMessageCallback* callback,
                              std::uint32_t flags, std::uint32_t* handleOut = nullptr,
                              const CKeepAlive& keepAlive = {},
                              std::u16string_view name = {}) override;
  eMsgCode StopNotifications(const CEntityId& entity, int eventCode, IMessageCallback* callback,
                             std::uint32_t flags) override;
  eMsgCode StopAllMessages(IMessageCallback* callback) override;
  eMsgCode AttachInbox(const std::shared_ptr<CMessageInbox>& inbox, const CEntityId& entity,
                       int eventCode) override;
  void DetachInbox(const CMessageInbox* inbox) override;

  /// Takes the connection down: pending asynchronous requests end with
  /// "connection loss", waiting synchronous ones fail, nothing is delivered
  /// and sends fail until Reconnect. Subscriptions are kept.
  void Disconnect();
  /// Brings the connection back and, when `renegotiate` is set, renegotiates.
  void Reconnect(bool renegotiate = true);
  /// Calls OnConnectionRenegotiated on every callback object that holds a
  /// subscription on this connection.
  void Renegotiate();

  class Impl;

 private:
  friend class CInProcessBus;
  explicit CInProcessConnection(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

/// Connects to the process-wide bus and makes that connection the default
/// connection; returns it.
QM_EXPORT std::shared_ptr<CInProcessConnection> ConnectDefault();

}  // namespace W4Notifier
