#include "WireLog.h"

#include <fmt/format.h>

#include <array>
#include <iterator>

#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/Text.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

// Answers and unknown notifications can be long (a queue's whole contents):
// the log shows their start.
constexpr std::size_t kLongestFields = 160;

constexpr std::array kRequestNames{
    "QueryAttributes", "QueryWildcard",      "MoveAndSet",          "Append",
    "Insert",          "ConditionalSet",     "Increment",           "Mask",
    "Remove",          "ConditionalSetList", "ConditionalSettings", "WatchAttributes",
    "PerformAlerting", "EndAlerting",        "SilentAlerting",      "AlertTimeout",
    "QueuesOfObject",  "AllocateIds",        "ObjectType",          "ForwardNotification",
    "MonitorQueue",    "CacheReload",        "QueueContents",       "DeactivationNames",
    "CreateQueue",     "RemoveQueue",        "QueueStatistics",     "QueueActive",
    "DeallocateAll",   "Instantiate",        "StatServerNames",     "ListQueues",
    "ActiveObjects",   "SelectCall",         "ServerTime",          "Sync"};
static_assert(kRequestNames.size() == static_cast<std::size_t>(eRequest::kSync) + 1);

std::string Cut(std::string text) {
  if (text.size() <= kLongestFields) return text;
  text.resize(kLongestFields);
  return text + "…";
}

std::string Fields(const CMessage& message) {
  return message.BodySize() == 0 ? std::string("(no fields)") : Cut(message.DescribeFields());
}

std::string Text(const std::u16string& text) { return fmt::format("\"{}\"", W4Os::Utf8(text)); }

std::string Map(const CQmAttributeMap& map) {
  std::string out = "{";
  for (const auto& entry : map) {
    if (out.size() > 1) out += ',';
    out += fmt::format("{}={}", ToTraceText(entry.first), ToTraceText(entry.second));
  }
  return out + "}";
}

template <class T, class Show>
std::string List(const std::vector<T>& items, Show show) {
  std::string out = "[";
  for (const T& item : items) {
    if (out.size() > 1) out += ',';
    out += show(item);
  }
  return out + "]";
}

// Appends " label=value" for each field the request carries: a kind added
// later prints the fields it shares with the others without change here.
void AppendFields(std::string& out, const Request& r) {
  const auto add = [&out](std::string_view label, const std::string& value) {
    fmt::format_to(std::back_inserter(out), " {}={}", label, value);
  };
  const auto entity = [](const CEntityId& e) { return DescribeEntity(e); };
  const auto name = [](const CQmAttributeName& n) { return ToTraceText(n); };
  if (r.id != 0) fmt::format_to(std::back_inserter(out), " interaction {}", r.id);
  if (r.type != W4Notifier::eObjectTypeNone) add("type", DescribeEntity(CEntityId(r.type, 0)));
  if (r.queue.IsSet()) add("queue", DescribeEntity(r.queue));
  if (!r.name.empty()) add("name", ToTraceText(r.name));
  if (!r.names.empty()) add("names", List(r.names, name));
  if (!r.ids.empty())
    add("ids", List(r.ids, [](std::uint32_t id) { return fmt::format("{}", id); }));
  if (!r.value.empty()) add("value", Text(r.value));
  if (!r.value2.empty()) add("value2", Text(r.value2));
  if (!r.text.empty()) add("text", Text(r.text));
  if (!r.values.empty()) add("values", List(r.values, Text));
  if (!r.values2.empty()) add("values2", List(r.values2, Text));
  if (!r.entities.empty()) add("entities", List(r.entities, entity));
  if (!r.entities2.empty()) add("entities2", List(r.entities2, entity));
  if (!r.map.empty()) add("map", Map(r.map));
  if (r.number != 0) add("number", fmt::format("{}", r.number));
  if (r.mask != 0 || r.mask2 != 0) add("masks", fmt::format("{:#x},{:#x}", r.mask, r.mask2));
  if (r.flag) add("flag", "true");
  if (!r.settings.empty()) add("settings", fmt::format("{}", r.settings.size()));
  if (r.seconds != 0) add("seconds", fmt::format("{}", r.seconds));
  if (r.finalValue != 0) add("final", fmt::format("{}", r.finalValue));
  if (!r.alerts.empty()) add("alerts", fmt::format("{}", r.alerts.size()));
}

}  // namespace

std::string_view RequestName(eRequest kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < kRequestNames.size() ? std::string_view(kRequestNames[index]) : "Request";
}

std::string DescribeEntity(const CEntityId& entity) {
  const std::string type = W4Notifier::GetNotifierObjectTypeName(entity.QueryObjectType()).narrow();
  const std::string shown =
      type.empty() ? fmt::format("type{}", static_cast<int>(entity.QueryObjectType())) : type;
  if (entity.QueryObjectId() == W4Notifier::kAllObjects) return shown + "/*";
  return fmt::format("{}/{}", shown, entity.QueryObjectId());
}

std::string DescribeRequest(std::uint16_t client, const Request& request) {
  std::string out = fmt::format("→ client {} req {}", client, RequestName(request.kind));
  AppendFields(out, request);
  return out;
}

std::string DescribeMalformed(std::uint16_t client, const CMessage& message,
                              std::string_view reason) {
  return fmt::format("→ client {} req {} event {} ({})", client,
                     DescribeEntity(message.QueryEntityId()), message.QueryEventId(), reason);
}

std::string DescribeAnswer(std::uint16_t client, std::optional<eRequest> kind, const CMessage& body,
                           bool rejected) {
  const std::string_view what = kind ? RequestName(*kind) : std::string_view("request");
  if (!rejected) return fmt::format("← client {} ans {}: {}", client, what, Fields(body));
  std::string reason;
  try {
    body >> reason;
  } catch (const std::exception&) {
    reason = Fields(body);
  }
  body.Rewind();
  return fmt::format("← client {} rej {}: {}", client, what, reason);
}

std::string DescribeQueueNotification(const ServerState& state, const QueueChange& change) {
  const std::string head = fmt::format("⇢ notify queue {} seq={}", DescribeEntity(change.queue),
                                       state.Sequence(change.queue));
  if (change.removed) return head + " removed";
  std::size_t added = 0;
  std::size_t removed = 0;
  for (const ServerQueueEvent& event : change.events) {
    added += event.added ? 1 : 0;
    removed += event.removed && !event.added ? 1 : 0;
  }
  return fmt::format("{} +{} -{} ~{}", head, added, removed,
                     change.events.size() - added - removed);
}

std::string DescribeInteractionNotification(const ServerInteractionRecord& record) {
  const std::uint32_t id = record.interaction.QueryObjectId();
  if (record.deallocated) return fmt::format("⇢ notify interaction {} deallocated", id);
  return fmt::format("⇢ notify interaction {} {}", id, Map(record.attributes));
}

std::string DescribeNotification(const CMessage& message) {
  return fmt::format("⇢ notify {} event {}: {}", DescribeEntity(message.QueryEntityId()),
                     message.QueryEventId(), Fields(message));
}

}  // namespace QueueManager::Emulator
