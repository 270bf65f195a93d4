#include "monitor/MessageReaders.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/QueueStats.h"

namespace QueueManager {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

ServerSeconds ReadServerTimeHeader(CMessage& message) {
  std::uint32_t high = 0;
  std::uint32_t low = 0;
  message >> high >> low;
  return SecondsFromFileTime(high, low);
}

CEntityId ReadEntity(CMessage& message) {
  std::int32_t type = 0;
  std::int32_t id = 0;
  message >> type >> id;
  return CEntityId(static_cast<W4Notifier::ObjectTypes>(type), static_cast<std::uint32_t>(id), 0);
}

std::vector<CQmAttributeName> ReadNameList(CMessage& message) {
  // A name is at least its number field: a tag and four bytes.
  constexpr std::size_t kSmallestName = 5;
  std::int32_t count = 0;
  message >> count;
  std::vector<CQmAttributeName> names;
  // Room for what the message can hold, whatever count it claims.
  if (count > 0) {
    names.reserve(
        std::min(static_cast<std::size_t>(count), message.RemainingBytes() / kSmallestName));
  }
  for (std::int32_t i = 0; i < count; ++i) {
    CQmAttributeName name;
    name.Read(message);
    names.push_back(std::move(name));
  }
  return names;
}

void ReadQueueEventHead(CMessage& message, QueueEvent& event) {
  event.interaction = ReadEntity(message);
  message >> event.added >> event.removed;
}

void ReadQueueEvent(CMessage& message, QueueEvent& event) {
  ReadQueueEventHead(message, event);
  event.attributes.Read(message);
}

InteractionReloadRecord ReadInteractionRecord(CMessage& message) {
  InteractionReloadRecord record;
  record.interaction = ReadEntity(message);
  message >> record.alwaysNotify >> record.deallocated;
  record.attributes.Read(message);
  return record;
}

std::optional<std::uint32_t> SkipToQueueEvents(CMessage& message) {
  bool exists = false;
  message >> exists;
  if (!exists) return std::nullopt;
  bool hasStats = false;
  message >> hasStats;
  if (hasStats) {
    CQmQueueStats stats;
    message >> stats;
  }
  std::uint32_t count = 0;
  message >> count;
  return count;
}

std::vector<QueueEvent> ReadNotificationEvents(CMessage& message) {
  ReadServerTimeHeader(message);
  const std::uint32_t count = SkipToQueueEvents(message).value_or(0);
  // Grown as events arrive: a count beyond the data costs nothing up front.
  std::vector<QueueEvent> events;
  for (std::uint32_t i = 0; i < count; ++i) ReadQueueEvent(message, events.emplace_back());
  return events;
}

}  // namespace QueueManager
