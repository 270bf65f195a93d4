#pragma once

// The monitor event body that the server sends to lightweight monitors, and
// the heads of the messages around it.
//
// Body: has events (bool; when false nothing else is read); has statistics
// (bool) and then a statistics record, read and dropped; an int count and
// that many events; a 64-bit sequence number when data remain, 0 otherwise.

#include <cstdint>
#include <vector>

#include "QueueManager/MonitorEvent.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager::lightweight {

struct MonitorEventBody {
  std::vector<CQmMonitorEvent> events;
  std::uint64_t sequence = 0;
};

// Reads a whole body or throws CNotifierExtractException. The events grow
// with the events actually read, never with the count claimed.
MonitorEventBody ReadMonitorEventBody(const W4Notifier::CMessage& message);
// The server's side: a body with events, a statistics-free head and the
// sequence number when it is not 0 (for tests and tools).
void WriteMonitorEventBody(W4Notifier::CMessage& message, const MonitorEventBody& body);

// Skip the head of an activation response (server time, entity, name list)
// and of a notification (server time); both throw when it is not there.
void SkipActivationResponseHead(W4Notifier::CMessage& message);
void SkipNotificationHead(W4Notifier::CMessage& message);

}  // namespace QueueManager::lightweight
