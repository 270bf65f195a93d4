#include "monitor/MonitorResponseCheck.h"

#include <cstdint>
#include <optional>

#include "QueueManager/QueueStats.h"
#include "monitor/MessageReaders.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;
using W4Notifier::FieldType;

bool NextFieldIs(const CMessage& message, FieldType type) {
  return !message.IsAtEndOfData() && message.PeekFieldType() == type;
}

// Puts the read position back however the check ends.
class PositionRestorer {
 public:
  explicit PositionRestorer(const CMessage& message)
      : message_(message), position_(message.QueryReadPosition()) {}
  ~PositionRestorer() { message_.RestoreReadPosition(position_); }
  PositionRestorer(const PositionRestorer&) = delete;
  PositionRestorer& operator=(const PositionRestorer&) = delete;

 private:
  const CMessage& message_;
  const std::size_t position_;
};

// The optional trailer: a sequence number and the second statistics record.
void SkipTrailer(CMessage& response) {
  if (!NextFieldIs(response, FieldType::kUInt64)) return;
  std::uint64_t sequence = 0;
  response >> sequence;
  if (!NextFieldIs(response, FieldType::kBool)) return;
  bool present = false;
  response >> present;
  if (!present) return;
  CQmQueueStats2 stats2;
  stats2.read(response);
}

void SkipSection(CMessage& response, QueueEvent& event) {
  ReadEntity(response);
  ReadNameList(response);
  const std::optional<std::uint32_t> count = SkipToQueueEvents(response);
  if (!count) return;
  for (std::uint32_t i = 0; i < *count; ++i) ReadQueueEvent(response, event);
  SkipTrailer(response);
}

}  // namespace

void CheckMonitorResponse(CMessage& response) {
  const PositionRestorer restorer(response);
  ReadServerTimeHeader(response);
  QueueEvent event;
  while (!response.IsAtEndOfData()) SkipSection(response, event);
}

}  // namespace QueueManager
