#pragma once

// Creating, removing, listing and inspecting queues, and server-wide
// instructions. Every request goes to the Queue Manager server; queries that
// a monitored queue can answer are answered from the monitor cache.
//
// The functions hold no lock of their own and may be called from any thread.
// Synchronous requests block the caller for up to the notifier's default
// time-out. Fire-and-forget functions let notifier exceptions pass.

#include <vector>

#include "QueueManager/AttributeName.h"
#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/QueueStats.h"

namespace QueueManager {

/// Nothing is sent for an unset queue entity.
QM_EXPORT void CreateQueue(const W4Notifier::CEntityId& queue);
QM_EXPORT void RemoveQueue(const W4Notifier::CEntityId& queue);
/// False for an unset entity or a failed request.
QM_EXPORT bool IsQueueActive(const W4Notifier::CEntityId& queue);
/// From the cache when the queue is cached; otherwise the server's answer
/// (false, with default statistics, for a queue the server does not know).
QM_EXPORT bool QueryQueueStatistics(const W4Notifier::CEntityId& queue, CQmQueueStats& stats);
QM_EXPORT bool QueryQueueStatistics(const W4Notifier::CEntityId& queue, CQmQueueStats2& stats);
/// The queues of an object type; `queues` is left as it was when the request
/// fails.
QM_EXPORT void QueryQueues(W4Notifier::ObjectTypes type,
                           std::vector<W4Notifier::CEntityId>& queues);
/// The interactions on a queue (emptied first); from the cache when cached.
QM_EXPORT bool QueryQueueContents(const W4Notifier::CEntityId& queue,
                                  std::vector<W4Notifier::CEntityId>& contents);
QM_EXPORT void DeallocateAllInstances(W4Notifier::ObjectTypes type);
QM_EXPORT void MonitorStatServerAttributes(const std::vector<CQmAttributeName>& names);
QM_EXPORT void RequestDeactivationAttributes(const std::vector<CQmAttributeName>& names);

}  // namespace QueueManager
