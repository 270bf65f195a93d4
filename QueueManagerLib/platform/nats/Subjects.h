#pragma once

// NATS subjects of notifier traffic.
//
//   requests:      <root>.r.<object type>.<object id>.<event>
//   notifications: <root>.n.<object type>.<object id>.<event>.<name>
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

enum class eSubjectKind : std::uint8_t { kRequest, kNotification };

// A subject taken apart. `name` is empty for requests and unnamed
// notifications.
struct ParsedSubject {
  eSubjectKind kind = eSubjectKind::kRequest;
  ObjectTypes type = eObjectTypeNone;
  std::uint32_t objectId = 0;
  int eventCode = 0;
  std::u16string name;
  friend bool operator==(const ParsedSubject&, const ParsedSubject&) = default;
};

bool IsValidRoot(std::string_view root);

std::string RequestSubject(std::string_view root, ObjectTypes type, std::uint32_t objectId,
                           int eventCode);
std::string NotificationSubject(std::string_view root, ObjectTypes type, std::uint32_t objectId,
                                int eventCode, std::u16string_view name);
// What a subscription to (type, objectId, eventCode) listens on: any name,
// and any object of the type when `objectId` is kAllObjects.
std::string SubscriptionSubject(std::string_view root, ObjectTypes type, std::uint32_t objectId,
                                int eventCode);
// Every request under `root`, for a responder.
std::string AllRequestsSubject(std::string_view root);
// Under AllRequestsSubject but no request's: a responder refuses it itself.
std::string ProbeSubject(std::string_view root);

// The name token of `name`, and back. UnescapeName refuses a token that
// EscapeName would not have written (bad escapes, escaped characters that
// need none, invalid UTF-8).
std::string EscapeName(std::u16string_view name);
std::optional<std::u16string> UnescapeName(std::string_view token);

// Takes apart a subject written by the functions above under `root`;
// nothing for anything else.
std::optional<ParsedSubject> ParseSubject(std::string_view root, std::string_view subject);

}  // namespace W4Notifier::nats
