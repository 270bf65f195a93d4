#pragma once

// The notifier messaging contract: connections, requests, responses,
// notifications, subscriptions and callback interfaces.
//
// Callback contract (IAsyncResponseCallback, IMessageCallback):
// - Every callback runs on one of the connection's delivery threads, never
//   from inside the call that caused it (SendAsyncRequest, StartNotifications,
//   CNotificationObject::Send ...).
// - The notifier holds none of its own locks while it calls back, so a
//   callback may call any notifier operation, including StopNotifications and
//   StopAllMessages for itself and synchronous requests.
// - Callbacks for one callback object arrive one at a time, in the order in
//   which their causes happened (notifications in publish order).
// - An asynchronous request gets exactly one outcome: success, rejection,
//   time-out, cancellation or connection loss.
// - Once StopNotifications or StopAllMessages has returned, the callback
//   object is not called again for the subscriptions it stopped. To give that
//   guarantee the stop waits while another thread is delivering to the same
//   object: do not call it while holding a lock that the callback takes.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"

namespace W4Notifier {

/// Result codes of notifier operations. 0 is success.
enum eMsgCode : std::int32_t {
  eMsgSuccess = 0,
  eMsgNotConnected = 1,
  eMsgNoRoute = 2,
  eMsgTimeout = 3,
  eMsgRejected = 4,
  eMsgCancelled = 5,
  eMsgConnectionLost = 6,
  eMsgInvalidArgument = 7,
  eMsgNotFound = 8,
};

QM_EXPORT std::string_view MsgCodeName(eMsgCode code);

/// The event code that a notification named `name` is published and
/// subscribed under (the same in every process).
QM_EXPORT int EventCodeFromName(std::u16string_view name);

/// The default time-out of synchronous and asynchronous requests. Thread-safe.
class QM_EXPORT CNotifierTimeout {
 public:
  /// The time-out until Set changes it: 30 seconds.
  ///@{
  static constexpr std::uint32_t kDefaultMs = 30000;
  ///@}
  /// The time-out in milliseconds.
  static std::uint32_t Query();
  /// Changes it for the whole process (tests use short time-outs).
  static void Set(std::uint32_t milliseconds);
};

/// A counted reference that keeps a callback object alive while the notifier
/// may still call it. Built from any counted pointer whose object has
/// AddRef/Release (w4core::InterfacePtr, W4Util::ObjectPtr) or from a
/// std::shared_ptr. Thread-safe to copy.
class QM_EXPORT CKeepAlive {
 public:
  /// An empty reference, or one that keeps `object` (or `counted`) alive.
  ///@{
  CKeepAlive() = default;
  template <class T>
  CKeepAlive(const std::shared_ptr<T>& object) : ref_(object) {}  // NOLINT: implicit by design
  template <class Ptr, class T = std::remove_reference_t<decltype(*std::declval<const Ptr&>())>,
            class = decltype(std::declval<T&>().AddRef()),
            class = decltype(std::declval<T&>().Release())>
  CKeepAlive(const Ptr& counted) {  // NOLINT: implicit by design
    T* object = counted.get();
    if (object == nullptr) return;
    object->AddRef();
    ref_ = std::shared_ptr<void>(static_cast<void*>(const_cast<std::remove_const_t<T>*>(object)),
                                 [object](void*) { object->Release(); });
  }
  ///@}
  /// True while it keeps an object alive; Reset lets it go.
  ///@{
  explicit operator bool() const { return static_cast<bool>(ref_); }
  void Reset() { ref_.reset(); }
  ///@}

 private:
  std::shared_ptr<void> ref_;
};

/// Receives the outcome of an asynchronous request. The notifier calls the
/// `_Ex` forms; by default they forward to the plain forms.
class QM_EXPORT IAsyncResponseCallback {
 public:
  virtual ~IAsyncResponseCallback() = default;
  /// The outcomes: an answer, a rejection, no answer in time, the request cancelled, the connection
  /// lost while it waited.
  ///@{
  virtual void OnAsyncResponseSuccess(std::uint32_t requestId, CMessage& response) = 0;
  virtual void OnAsyncResponseRejected(std::uint32_t requestId, CMessage& rejection) = 0;
  virtual void OnAsyncResponseTimeout(std::uint32_t requestId) = 0;
  virtual void OnAsyncResponseCancelled(std::uint32_t /*requestId*/) {}
  virtual void OnAsyncResponseConnectionLoss(std::uint32_t /*requestId*/) {}
  ///@}
  ///@{
  /// `flags` are those given to SendAsyncRequest.
  virtual void OnAsyncResponseSuccess_Ex(std::uint32_t requestId, CMessage& response,
                                         std::uint32_t /*flags*/) {
    OnAsyncResponseSuccess(requestId, response);
  }
  virtual void OnAsyncResponseRejected_Ex(std::uint32_t requestId, CMessage& rejection,
                                          std::uint32_t /*flags*/) {
    OnAsyncResponseRejected(requestId, rejection);
  }
  virtual void OnAsyncResponseTimeout_Ex(std::uint32_t requestId, std::uint32_t /*flags*/) {
    OnAsyncResponseTimeout(requestId);
  }
  virtual void OnAsyncResponseCancelled_Ex(std::uint32_t requestId, std::uint32_t /*flags*/) {
    OnAsyncResponseCancelled(requestId);
  }
  virtual void OnAsyncResponseConnectionLoss_Ex(std::uint32_t requestId, std::uint32_t /*flags*/) {
    OnAsyncResponseConnectionLoss(requestId);
  }
  ///@}
  /// Called after the connection was re-established and renegotiated, on the
  /// objects that hold subscriptions (see IMessageCallback).
  virtual void OnConnectionRenegotiated() {}
};

/// Receives the notifications of its subscriptions.
class QM_EXPORT IMessageCallback {
 public:
  virtual ~IMessageCallback() = default;
  /// `message` is this subscriber's own copy; its header names the entity the
  /// notification was published from and its event.
  virtual void OnMessageReceived(CMessage& message) = 0;
  /// Called once per renegotiation of the connection on each object that holds
  /// at least one subscription on it. An object that derives from both
  /// callback interfaces overrides both slots with one function.
  virtual void OnConnectionRenegotiated() {}
};

class CMessageInbox;

/// Outcome of a synchronous request.
enum class eSendStatus : std::uint8_t {
  kSuccess,
  kRejected,
  kTimeout,
  kNotConnected,
  kNoRoute,
};

/// "success", "rejected", "timed out", "not connected" or "no route", for traces.
QM_EXPORT std::string_view SendStatusName(eSendStatus status);

/// A connection to the notifier: the transport. Implementations are
/// thread-safe; every operation may be called from any thread, including from
/// inside callbacks. Test fakes derive from it and override what they need.
class QM_EXPORT CNotifierConnection {
 public:
  virtual ~CNotifierConnection() = default;

  /// The connection's 16-bit handle (never 0).
  virtual std::uint16_t QueryHandle() const = 0;
  /// True while the transport is connected.
  ///@{
  virtual bool IsConnected() const = 0;
  ///@}

  /// Sends `request` (addressed by its header) and waits up to `timeoutMs` for
  /// the answer, which is stored in `response` (the rejection's body on
  /// rejection). With `response` null the request is sent without waiting and
  /// any answer is dropped.
  virtual eSendStatus SendRequest(const CMessage& request, CMessage* response,
                                  std::uint32_t timeoutMs) = 0;

  /// Sends `request` and calls `callback` with its outcome later. `handleOut`
  /// receives the request id; `keepAlive` is held until the outcome callback
  /// has returned. Returns eMsgSuccess when the request went out; otherwise no
  /// callback follows.
  virtual eMsgCode SendAsyncRequest(const CMessage& request, IAsyncResponseCallback* callback,
                                    std::uint32_t flags, std::uint32_t timeoutMs,
                                    std::uint32_t* handleOut = nullptr,
                                    const CKeepAlive& keepAlive = {}) = 0;
  /// Cancels a pending asynchronous request: its outcome is "cancelled".
  virtual eMsgCode CancelAsyncRequest(std::uint32_t requestId) = 0;

  /// Publishes a notification from the entity and event of its header.
  virtual eMsgCode Publish(const CMessage& notification) = 0;

  /// Subscribes `callback` to the notifications of (entity, event). An entity
  /// whose object id is kAllObjects receives those of every entity of its
  /// type. `keepAlive` is held until the subscription stops. Subscribing the
  /// same (entity, event, callback) twice keeps one subscription.
  virtual eMsgCode StartNotifications(const CEntityId& entity, int eventCode,
                                      IMessageCallback* callback, std::uint32_t flags,
                                      std::uint32_t* handleOut = nullptr,
                                      const CKeepAlive& keepAlive = {},
                                      std::u16string_view name = {}) = 0;
  /// Stops one subscription, or every subscription of `callback`; no callback of it starts once the
  /// stop returned.
  ///@{
  virtual eMsgCode StopNotifications(const CEntityId& entity, int eventCode,
                                     IMessageCallback* callback, std::uint32_t flags) = 0;
  virtual eMsgCode StopAllMessages(IMessageCallback* callback) = 0;
  ///@}

  /// Private inboxes (CMessageServer).
  ///@{
  virtual eMsgCode AttachInbox(const std::shared_ptr<CMessageInbox>& inbox, const CEntityId& entity,
                               int eventCode) = 0;
  virtual void DetachInbox(const CMessageInbox* inbox) = 0;
  ///@}
};

/// Installs the process's default connection (null: none). Thread-safe.
QM_EXPORT void SetDefaultConnection(std::shared_ptr<CNotifierConnection> connection);

/// A handle on a notifier connection. A value type.
class QM_EXPORT CNotifierHandle {
 public:
  /// An empty handle, or a handle on `connection`.
  ///@{
  CNotifierHandle() = default;
  explicit CNotifierHandle(std::shared_ptr<CNotifierConnection> connection)
      : connection_(std::move(connection)) {}
  ///@}

  /// The default connection while it is connected, else null.
  static std::shared_ptr<CNotifierConnection> GetDefaultConnection();
  /// A handle on the default connection (whether connected or not).
  static CNotifierHandle GetDefaultHandle();

  /// The connection's 16-bit handle; 0 when there is no connection.
  std::uint16_t GetHandle() const;
  /// The connection itself; null for an empty handle.
  ///@{
  const std::shared_ptr<CNotifierConnection>& Connection() const { return connection_; }
  ///@}

 private:
  std::shared_ptr<CNotifierConnection> connection_;
};

/// A response to a synchronous request.
class QM_EXPORT CResponseObject : public CMessage {
 public:
  /// The response, and how its request ended.
  ///@{
  CResponseObject() = default;
  eSendStatus QueryStatus() const { return status_; }
  void SetStatus(eSendStatus status) { status_ = status; }
  ///@}

 private:
  eSendStatus status_ = eSendStatus::kNoRoute;
};

/// A request addressed to an entity, sent on the default connection.
class QM_EXPORT CRequestObject : public CMessage {
 public:
  /// A request of event `eventCode` to `target`.
  ///@{
  CRequestObject(const CEntityId& target, int eventCode) : CMessage(target, eventCode) {}
  ///@}

  /// Sends without waiting for an answer.
  eMsgCode Send();
  /// Sends and waits up to `timeoutMs`; returns nonzero when a successful
  /// response arrived in `response`. A rejection, time-out or missing
  /// connection returns 0; `response.QueryStatus()` tells which.
  int Send(CResponseObject& response, std::uint32_t timeoutMs);
};

/// A notification published from an entity, by event code or by name.
class QM_EXPORT CNotificationObject : public CMessage {
 public:
  /// A notification of `entity`, by event code or by name (wide or UTF-8).
  ///@{
  CNotificationObject(const CEntityId& entity, int eventCode) : CMessage(entity, eventCode) {}
  CNotificationObject(const CEntityId& entity, std::u16string_view eventName);
  CNotificationObject(const CEntityId& entity, std::string_view utf8EventName);
  CNotificationObject(const CEntityId& entity, const char* utf8EventName)
      : CNotificationObject(entity, std::string_view(utf8EventName)) {}
  ///@}
  /// Publishes on the default connection.
  eMsgCode Send();
};

}  // namespace W4Notifier
