#include "platform/nats/Subjects.h"

#include <charconv>
#include <vector>

#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Text.h"

namespace W4Notifier::nats {
namespace {

constexpr std::string_view kNoName = "_";
constexpr char kHex[] = "0123456789ABCDEF";

bool IsPlain(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower-case digits are never written, so never read
}

std::vector<std::string_view> SplitTokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  // Every subject of ours, read for each message that arrives, has at most
  // six tokens after its root: one allocation, not one per doubling.
  tokens.reserve(6);
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    tokens.push_back(text.substr(start, dot - start));
    if (dot == std::string_view::npos) return tokens;
    start = dot + 1;
  }
}

// A decimal number as the writers produce it: no sign unless negative, no
// leading zeros, no "-0".
template <class T>
std::optional<T> ParseNumber(std::string_view token) {
  const std::string_view digits = token.starts_with('-') ? token.substr(1) : token;
  if (digits.empty() || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
  if (token.starts_with('-') && digits == "0") return std::nullopt;
  T value{};
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (error != std::errc{} || end != token.data() + token.size()) return std::nullopt;
  return value;
}

std::string Prefix(std::string_view root, char kind, std::string_view client, ObjectTypes type,
                   std::string_view objectId, int eventCode) {
  std::string subject(root);
  subject += '.';
  subject += kind;
  subject += '.';
  if (!client.empty()) {
    subject += client;
    subject += '.';
  }
  subject += std::to_string(static_cast<std::int32_t>(type));
  subject += '.';
  subject += objectId;
  subject += '.';
  subject += std::to_string(eventCode);
  return subject;
}

}  // namespace

bool IsValidRoot(std::string_view root) {
  for (std::string_view token : SplitTokens(root)) {
    if (token.empty()) return false;
    for (char c : token) {
      if (!IsPlain(static_cast<unsigned char>(c))) return false;
    }
  }
  return true;
}

bool IsValidClient(std::string_view client) {
  if (client.empty() || client.size() > kMaxClientLength) return false;
  for (char c : client) {
    if (!IsPlain(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string RequestSubject(std::string_view root, std::string_view client, ObjectTypes type,
                           std::uint32_t objectId, int eventCode) {
  return Prefix(root, type == kControlObjectType ? 'c' : 'r', client, type,
                std::to_string(objectId), eventCode);
}

std::string NotificationSubject(std::string_view root, ObjectTypes type, std::uint32_t objectId,
                                int eventCode, std::u16string_view name) {
  return Prefix(root, 'n', {}, type, std::to_string(objectId), eventCode) + '.' + EscapeName(name);
}

std::string SubscriptionSubject(std::string_view root, ObjectTypes type, std::uint32_t objectId,
                                int eventCode) {
  const std::string id = objectId == kAllObjects ? "*" : std::to_string(objectId);
  return Prefix(root, 'n', {}, type, id, eventCode) + ".*";
}

std::string AllRequestsSubject(std::string_view root) { return std::string(root) + ".r.>"; }

std::string AllControlSubject(std::string_view root) { return std::string(root) + ".c.>"; }

std::string ProbeSubject(std::string_view root, std::string_view client) {
  return std::string(root) + ".r." + std::string(client) + ".probe";
}

std::string InboxPrefix(std::string_view root, std::string_view client) {
  return std::string(root) + ".i." + std::string(client);
}

std::string RenegotiatedSubject(std::string_view root, std::string_view client) {
  return InboxPrefix(root, client) + "." + kRenegotiatedToken;
}

bool IsInboxOf(std::string_view root, std::string_view client, std::string_view reply) {
  const std::string prefix = InboxPrefix(root, client) + ".";
  if (!reply.starts_with(prefix) || reply.size() == prefix.size()) return false;
  // A reply subject is never a wildcard: NATS would not deliver to one, but
  // it would name more than this client's inbox.
  for (std::string_view token : SplitTokens(reply.substr(prefix.size()))) {
    if (token.empty() || token == "*" || token == ">") return false;
  }
  return true;
}

std::string_view RequestClient(std::string_view root, std::string_view subject) {
  if (!subject.starts_with(root) || subject.size() < root.size() + 4) return {};
  const std::string_view rest = subject.substr(root.size());
  if (!rest.starts_with(".r.") && !rest.starts_with(".c.")) return {};
  const std::string_view client = rest.substr(3, rest.find('.', 3) - 3);
  return IsValidClient(client) ? client : std::string_view();
}

std::string EscapeName(std::u16string_view name) {
  if (name.empty()) return std::string(kNoName);
  const std::string utf8 = W4Os::WideToNarrowLossy(name);
  if (utf8 == kNoName) return "%5F";
  std::string token;
  token.reserve(utf8.size());
  for (char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsPlain(byte)) {
      token += c;
    } else {
      token += '%';
      token += kHex[byte >> 4];
      token += kHex[byte & 0xF];
    }
  }
  return token;
}

std::optional<std::u16string> UnescapeName(std::string_view token) {
  if (token == kNoName) return std::u16string();
  if (token.empty()) return std::nullopt;
  std::string utf8;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const auto c = static_cast<unsigned char>(token[i]);
    if (IsPlain(c)) {
      utf8 += token[i];
      continue;
    }
    if (c != '%' || token.size() - i < 3) return std::nullopt;
    const int high = HexValue(token[i + 1]);
    const int low = HexValue(token[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    const auto byte = static_cast<unsigned char>(high * 16 + low);
    if (IsPlain(byte) && !(byte == '_' && token == "%5F")) return std::nullopt;
    utf8 += static_cast<char>(byte);
    i += 2;
  }
  std::u16string name;
  if (!W4Os::NarrowToWide(utf8, name)) return std::nullopt;
  return name;
}

std::optional<ParsedSubject> ParseSubject(std::string_view root, std::string_view subject) {
  if (!subject.starts_with(root) || subject.size() <= root.size() || subject[root.size()] != '.')
    return std::nullopt;
  const std::vector<std::string_view> tokens = SplitTokens(subject.substr(root.size() + 1));
  ParsedSubject parsed;
  std::size_t first = 1;  // the object type's token
  if (tokens.size() == 5 && (tokens[0] == "r" || tokens[0] == "c")) {
    parsed.kind = tokens[0] == "r" ? eSubjectKind::kRequest : eSubjectKind::kControl;
    if (!IsValidClient(tokens[1])) return std::nullopt;
    parsed.client = tokens[1];
    first = 2;
  } else if (tokens.size() == 5 && tokens[0] == "n") {
    parsed.kind = eSubjectKind::kNotification;
  } else {
    return std::nullopt;
  }
  const auto type = ParseNumber<std::int32_t>(tokens[first]);
  const auto id = ParseNumber<std::uint32_t>(tokens[first + 1]);
  const auto event = ParseNumber<int>(tokens[first + 2]);
  if (!type || !id || !event || tokens[first + 1].starts_with('-')) return std::nullopt;
  // A control request under the subject of ordinary ones, or the other way
  // round, went past the permissions meant for it.
  const bool control = *type == static_cast<std::int32_t>(kControlObjectType);
  if (parsed.kind != eSubjectKind::kNotification &&
      control != (parsed.kind == eSubjectKind::kControl))
    return std::nullopt;
  parsed.type = static_cast<ObjectTypes>(*type);
  parsed.objectId = *id;
  parsed.eventCode = *event;
  if (parsed.kind == eSubjectKind::kNotification) {
    auto name = UnescapeName(tokens[4]);
    if (!name) return std::nullopt;
    parsed.name = std::move(*name);
  }
  return parsed;
}

}  // namespace W4Notifier::nats
