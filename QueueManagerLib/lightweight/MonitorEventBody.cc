#include "lightweight/MonitorEventBody.h"

#include "QueueManager/QueueStats.h"
#include "monitor/MessageReaders.h"
#include "requests/RequestFields.h"

namespace QueueManager {

using W4Notifier::CMessage;

CMessage& CQmMonitorEvent::Write(CMessage& message) const {
  requests::WriteEntity(message, entity);
  message << added << removed;
  return attributes.Write(message);
}

const CMessage& CQmMonitorEvent::Read(const CMessage& message) {
  entity = requests::ReadEntity(message);
  message >> added >> removed;
  return attributes.Read(message);
}

namespace lightweight {

MonitorEventBody ReadMonitorEventBody(const CMessage& message) {
  MonitorEventBody body;
  bool hasEvents = false;
  message >> hasEvents;
  if (!hasEvents) return body;
  bool hasStatistics = false;
  message >> hasStatistics;
  if (hasStatistics) {
    CQmQueueStats dropped;
    message >> dropped;
  }
  std::int32_t count = 0;
  message >> count;
  // Each event is read whole before the next is added: a false count ends
  // in an exception at the first missing field, having cost only what the
  // message really held.
  for (std::int32_t i = 0; i < count; ++i) body.events.emplace_back().Read(message);
  if (!message.IsAtEndOfData()) {
    unsigned long long sequence = 0;
    message >> sequence;
    body.sequence = sequence;
  }
  return body;
}

void WriteMonitorEventBody(CMessage& message, const MonitorEventBody& body) {
  message << true << false << static_cast<std::int32_t>(body.events.size());
  for (const CQmMonitorEvent& event : body.events) event.Write(message);
  if (body.sequence != 0) message << static_cast<unsigned long long>(body.sequence);
}

void SkipActivationResponseHead(CMessage& message) {
  ReadServerTimeHeader(message);
  ReadEntity(message);
  ReadNameList(message);
}

void SkipNotificationHead(CMessage& message) { ReadServerTimeHeader(message); }

}  // namespace lightweight
}  // namespace QueueManager
