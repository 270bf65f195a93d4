#pragma once

// NATS subjects of notifier traffic, laid out so that a NATS server's
// permissions decide who may do what:
//
//   requests:         <root>.r.<client>.<object type>.<object id>.<event>
//   control requests: <root>.c.<client>.<object type>.<object id>.<event>
//   replies:          <root>.i.<client>.<unique>.<request>
//   renegotiations:   <root>.i.<client>.renegotiated
//   notifications:    <root>.n.<object type>.<object id>.<event>.<name>
//
// <client> is the client token, one token of [A-Za-z0-9_-]: a client may be
// allowed to publish only "<root>.r.<client>.>" and subscribe only to
// "<root>.i.<client>.>" and "<root>.n.>", the server role to subscribe to
// "<root>.r.>" and "<root>.c.>" and publish "<root>.i.>" and "<root>.n.>".
// The server takes a request's client from its subject (which the NATS
// server checked), never from anything the client wrote, and answers only
// under that client's inbox, "<root>.i.<client>"; so a client can neither
// pose as another nor have replies sent to another. Requests to the control
// object type (kControlObjectType) travel under ".c." only, so that the
// right to drive the server's control entity is a permission of its own
// ("<root>.c.<client>.>"); one under ".r." is refused, as is a control type
// under ".c.". <unique> tells the connections of one client apart (several
// connections may share a client token; the server then keeps one state for
// all of them, and tells all of them when it renegotiates it).
//
// Numbers are decimal without leading zeros (the event may be negative). The
// name is the notification's event name as one token: its UTF-8 bytes, each
// byte outside [A-Za-z0-9_-] written as %HH; "_" stands for no name (a name
// that is itself "_" is written "%5F"). The event travels in the subject, so
// a responder or a subscriber selects by subject alone. The root is one or
// more tokens of [A-Za-z0-9_-] separated by dots, chosen per deployment.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "QueueManager/Platform/ObjectTypes.h"

namespace W4Notifier::nats {

enum class eSubjectKind : std::uint8_t { kRequest, kControl, kNotification };

// A subject taken apart. `name` is empty for requests and unnamed
// notifications; `client` is empty for notifications.
struct ParsedSubject {
  eSubjectKind kind = eSubjectKind::kRequest;
  std::string client;
  ObjectTypes type = eObjectTypeNone;
  std::uint32_t objectId = 0;
  int eventCode = 0;
  std::u16string name;
  friend bool operator==(const ParsedSubject&, const ParsedSubject&) = default;
};

bool IsValidRoot(std::string_view root);
// One token of [A-Za-z0-9_-], at most kMaxClientLength long.
bool IsValidClient(std::string_view client);
inline constexpr std::size_t kMaxClientLength = 64;

// A request (or control request, by its type) of `client`.
std::string RequestSubject(std::string_view root, std::string_view client, ObjectTypes type,
                           std::uint32_t objectId, int eventCode);
std::string NotificationSubject(std::string_view root, ObjectTypes type, std::uint32_t objectId,
                                int eventCode, std::u16string_view name);
// What a subscription to (type, objectId, eventCode) listens on: any name,
// and any object of the type when `objectId` is kAllObjects.
std::string SubscriptionSubject(std::string_view root, ObjectTypes type, std::uint32_t objectId,
                                int eventCode);
// Every request, and every control request, under `root`, for a responder.
std::string AllRequestsSubject(std::string_view root);
std::string AllControlSubject(std::string_view root);
// A request subject of `client` that names no request: a responder refuses
// it itself.
std::string ProbeSubject(std::string_view root, std::string_view client);
// "<root>.i.<client>": every reply to `client` goes under it.
std::string InboxPrefix(std::string_view root, std::string_view client);
std::string RenegotiatedSubject(std::string_view root, std::string_view client);
// Whether `reply` is a subject strictly under InboxPrefix(root, client).
bool IsInboxOf(std::string_view root, std::string_view client, std::string_view reply);
// The client token of a subject under "<root>.r." or "<root>.c.", also of
// one that is no request; empty for anything else.
std::string_view RequestClient(std::string_view root, std::string_view subject);

// The name token of `name`, and back. UnescapeName refuses a token that
// EscapeName would not have written (bad escapes, escaped characters that
// need none, invalid UTF-8).
std::string EscapeName(std::u16string_view name);
std::optional<std::u16string> UnescapeName(std::string_view token);

// Takes apart a subject written by the functions above under `root`;
// nothing for anything else.
std::optional<ParsedSubject> ParseSubject(std::string_view root, std::string_view subject);

}  // namespace W4Notifier::nats
