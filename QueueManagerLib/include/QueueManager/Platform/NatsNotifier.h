#pragma once

// The NATS notifier: the same connection contract as the in-process notifier,
// carried by a NATS server, so that the library and its server can run in
// separate processes. Built when the library was configured with libnats.
//
// Requests go to "<root>.r.<object type>.<object id>.<event>", notifications
// to "<root>.n.<object type>.<object id>.<event>.<event name>"; the payload
// is the message's byte form. A rejection is a reply that carries the header
// kRejectedHeader.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Notifier.h"

namespace W4Notifier {

// The reply header that marks a rejection (no header: success).
inline constexpr const char* kRejectedHeader = "Qm-Rejected";
// The request header that names the sending connection: the same on every
// request of one connection, different on every other connection.
inline constexpr const char* kSenderHeader = "Qm-Sender";
// The request header that says how many milliseconds the requester waits for
// the answer (decimal), so that a server in between waits as long.
inline constexpr const char* kWaitHeader = "Qm-Wait";
// The last token of the subject "<sender>.<token>" on which a server in
// between (a bus bridge) tells a connection that the server renegotiated it:
// the connection's subscribers are then told, as after a reconnection.
inline constexpr const char* kRenegotiatedToken = "renegotiated";

// The environment variable naming the NATS server URL(s), separated by commas;
// the root is read from kNatsRootVariable (default "qm").
inline constexpr const char* kNatsUrlVariable = "QM_NATS_URL";
inline constexpr const char* kNatsRootVariable = "QM_NATS_ROOT";

// How to reach the NATS servers. A value type.
struct CNatsOptions {
  // Server URLs ("nats://host:port"); the client picks among them and moves
  // to another when one fails.
  std::vector<std::string> urls;
  // First tokens of every subject, per deployment: dot-separated tokens of
  // [A-Za-z0-9_-].
  std::string root = "qm";
  // A dead server is noticed after about pingIntervalMs * (maxPingsOut + 1).
  std::uint32_t pingIntervalMs = 1000;
  int maxPingsOut = 2;
  // Reconnection is attempted forever, this far apart plus a random jitter.
  std::uint32_t reconnectWaitMs = 250;
  std::uint32_t reconnectJitterMs = 100;
  // A connect gives up after this long for each server listed, even against
  // a server that accepts and then says nothing; so does a flush.
  std::uint32_t connectTimeoutMs = 2000;
  // true: the servers are tried in the order of `urls` (a preferred server
  // first, the others as fall-backs); false: in random order, which spreads
  // clients over them.
  bool urlsInOrder = false;
  // Notifications received and not yet delivered, at most. Beyond that they
  // are dropped and the subscribers renegotiated, as after a lost
  // connection: a subscriber too slow for the traffic reloads its state
  // rather than fall ever further behind (or exhaust the memory).
  std::size_t maxQueuedNotifications = 65536;
  // The same bound in bytes (payload and subject of the queued
  // notifications): a blocked subscriber costs at most this much memory.
  std::size_t maxQueuedBytes = std::size_t{64} << 20;
};

// A connection's figures since it was made. A value type.
struct CNatsStatistics {
  std::uint64_t reconnects = 0;
  // Dropped for want of room (maxQueuedNotifications, maxQueuedBytes).
  std::uint64_t droppedNotifications = 0;
  // Notifications received and waiting for the delivery thread.
  std::uint64_t pendingMessages = 0;
  std::uint64_t pendingBytes = 0;
  // Round trip to the server in microseconds; -1 while disconnected.
  std::int64_t roundTripMicroseconds = -1;
  std::uint64_t messagesIn = 0;
  std::uint64_t bytesIn = 0;
  std::uint64_t messagesOut = 0;
  std::uint64_t bytesOut = 0;
};

// Connects to NATS. Throws CNotifierException when the options are invalid or
// no server answers. The connection is thread-safe; it keeps the callback
// contract of Notifier.h: one delivery thread per connection calls every
// callback, in arrival order, with no notifier lock held. Subscribers are
// renegotiated after a reconnection, after notifications were dropped (see
// maxQueuedNotifications), and when a request found nobody serving the root
// and a responder is back (checked every reconnectWaitMs): a server that
// went away and came back has lost what it sent meanwhile.
QM_EXPORT std::shared_ptr<CNotifierConnection> ConnectNats(const CNatsOptions& options);

// How many notifications `connection` dropped for want of room (see
// maxQueuedNotifications) since it was made; 0 for a connection that is not
// a NATS one. Thread-safe.
QM_EXPORT std::uint64_t DroppedNotifications(const CNotifierConnection& connection);

// The figures of `connection`; all zero (the round trip -1) for a
// connection that is not a NATS one. With `measureRoundTrip` it waits for a
// ping's answer from the server. Thread-safe.
QM_EXPORT CNatsStatistics NatsStatistics(const CNotifierConnection& connection,
                                         bool measureRoundTrip = true);

// "a, b,c" as the URLs it lists: split at commas, blanks around each
// trimmed, empty parts left out (the form of kNatsUrlVariable).
QM_EXPORT std::vector<std::string> NatsUrlList(std::string_view text);
// Whether `root` can be CNatsOptions::root.
QM_EXPORT bool IsValidNatsRoot(std::string_view root);

// The options named by the environment (kNatsUrlVariable, kNatsRootVariable),
// or nothing when kNatsUrlVariable is unset or empty.
QM_EXPORT bool NatsOptionsFromEnvironment(CNatsOptions& options);

// Connects to NATS when the environment names a server, else to the
// in-process bus, and installs the connection as the default connection.
// Throws CNotifierException when the named server cannot be reached.
QM_EXPORT std::shared_ptr<CNotifierConnection> ConnectConfiguredDefault();

class CNatsResponder;
class CNatsRequest;

// Reaches the sending connection of a request through the responder's
// connection, also long after the request was answered. A value type; its
// functions may be called from any thread, and do nothing once the responder
// stopped.
class QM_EXPORT CNatsSenderLink {
 public:
  CNatsSenderLink() = default;
  // Tells the sender that the server renegotiated it (kRenegotiatedToken).
  // False when the request named no sender, the name is not a subject, or
  // the responder stopped or is disconnected.
  bool TellRenegotiated() const;

 private:
  friend class CNatsRequest;
  struct Target;
  explicit CNatsSenderLink(std::shared_ptr<const Target> target) : target_(std::move(target)) {}
  std::shared_ptr<const Target> target_;
};

// A request as a NATS responder sees it. Reply at most once; a request sent
// without waiting takes no reply (Reply does nothing). May be moved to and
// answered from any thread.
class QM_EXPORT CNatsRequest {
 public:
  const CMessage& Message() const { return message_; }
  bool ExpectsReply() const { return !replySubject_.empty(); }
  // The sending connection's name (kSenderHeader); empty when the request
  // named none or a name longer than kMaxSenderLength.
  const std::string& SenderName() const { return senderName_; }
  static constexpr std::size_t kMaxSenderLength = 128;
  // How long the requester waits for the answer (kWaitHeader); 0 when the
  // request did not say.
  std::uint32_t WaitMilliseconds() const { return waitMs_; }
  // Answers with `body` (its header is set from the request). Returns false
  // when the reply could not be sent (no reply expected, already answered,
  // responder stopped, disconnected).
  bool Reply(const CMessage& body, bool rejected = false);
  // The way back to the sending connection after the reply.
  CNatsSenderLink SenderLink() const;

 private:
  friend class CNatsResponder;
  friend class CNatsSenderLink;
  struct Sender;
  CNatsRequest(std::weak_ptr<Sender> sender, std::string replySubject, CMessage message,
               std::string senderName = {}, std::uint32_t waitMs = 0)
      : sender_(std::move(sender)),
        replySubject_(std::move(replySubject)),
        message_(std::move(message)),
        senderName_(std::move(senderName)),
        waitMs_(waitMs) {}
  std::weak_ptr<Sender> sender_;
  std::string replySubject_;
  CMessage message_;
  std::string senderName_;
  std::uint32_t waitMs_;
};

// Serves the requests under a root on its own NATS connection. Responders
// that share a queue group share the requests (each goes to one of them).
// Replies are sent at once, not batched. Thread-safe; the handler runs on the
// responder's own delivery thread, one request at a time, and may reply later
// from any thread.
class QM_EXPORT CNatsResponder {
 public:
  using Handler = std::function<void(CNatsRequest)>;
  // Throws CNotifierException when no server answers.
  CNatsResponder(const CNatsOptions& options, const std::string& queueGroup, Handler handler);
  // Stops serving; returns after the handler's last call returned.
  // REQUIRES: not called from inside the handler.
  ~CNatsResponder();
  CNatsResponder(const CNatsResponder&) = delete;
  CNatsResponder& operator=(const CNatsResponder&) = delete;

  // Publishes a notification on the connection the replies go out on: a
  // subscriber gets it before the answer to any request replied to after
  // this call. Returns false when it could not be sent (disconnected).
  bool Publish(const CMessage& notification);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Puts an in-process bus on NATS: the bus's request handler (a scripted
// server, the server emulator) serves the requests NATS clients send under
// the root, and every notification published on the bus is published on
// NATS, on the connection the answers go out on, so that a client gets the
// notifications published before an answer ahead of it, as on the bus. Each
// NATS client's requests reach the handler from a bus connection of its own
// (kSenderHeader); when the server renegotiates that connection
// (CInProcessBus::DropConnection, RenegotiateConnection), the NATS client's
// subscribers are told. Thread-safe; ends with the object.
class QM_EXPORT CNatsBusBridge {
 public:
  // Throws CNotifierException when no server answers.
  CNatsBusBridge(const CNatsOptions& options, const std::string& queueGroup,
                 std::shared_ptr<CInProcessBus> bus);
  // Returns after the last request was handed on and the last notification
  // published. REQUIRES: not called from the bus's handler or a callback.
  ~CNatsBusBridge();
  CNatsBusBridge(const CNatsBusBridge&) = delete;
  CNatsBusBridge& operator=(const CNatsBusBridge&) = delete;

  // Each client's bus connection holds two threads: at most this many are
  // kept (the least recent goes first), and one that sent nothing for
  // kClientIdleSeconds is freed at the next request of any client. A client
  // whose connection cannot be made (no thread to be had) is refused.
  static constexpr std::size_t kMaxClients = 64;
  static constexpr unsigned kClientIdleSeconds = 600;

 private:
  class Forwarder;
  std::shared_ptr<Forwarder> forwarder_;
  std::unique_ptr<CNatsResponder> responder_;
};

}  // namespace W4Notifier
