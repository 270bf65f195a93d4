// Creating, removing, listing and inspecting queues, and the server-wide
// instructions. Every request goes to the Queue Manager server; the queries
// that a monitored queue can answer are answered from the monitor cache.

#include "QueueManager/QueueAdministration.h"

#include <cstdint>
#include <utility>

#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/Notifier.h"
#include "monitor/QmCache.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CRequestObject;
using W4Notifier::CResponseObject;

// Events of the Queue Manager server.
constexpr int kEventQueryQueueContents = 4;
constexpr int kEventRequestDeactivationAttributes = 5;
constexpr int kEventCreateQueue = 6;
constexpr int kEventRemoveQueue = 7;
constexpr int kEventQueryQueueStatistics = 8;
constexpr int kEventIsQueueActive = 10;
constexpr int kEventDeallocateAllInstances = 13;
constexpr int kEventMonitorStatServerAttributes = 17;
constexpr int kEventQueryQueues = 18;

// A request to the server about one queue: the queue's entity fields.
CRequestObject QueueRequest(int eventId, const CEntityId& queue) {
  CRequestObject request(requests::ServerEntity(), eventId);
  requests::WriteEntity(request, queue);
  return request;
}

// Fire-and-forget: the outcome is not reported to the caller.
void SendQueueInstruction(int eventId, const CEntityId& queue) {
  if (!queue.IsSet()) return;
  CRequestObject request = QueueRequest(eventId, queue);
  request.Send();
}

void SendNameList(int eventId, const std::vector<CQmAttributeName>& names) {
  CRequestObject request(requests::ServerEntity(), eventId);
  requests::WriteNameList(request, names);
  request.Send();
}

// Reads the server's answer to a statistics request: bool found, then what
// `readRecord` reads. `stats` is replaced only when the whole answer was
// read: by the record when found, by a default record when not.
template <class Stats, class ReadRecord>
bool QueryStatisticsFromServer(const CEntityId& queue, Stats& stats, ReadRecord readRecord) {
  constexpr std::string_view kFunction = "QueueManager::QueryQueueStatistics";
  CRequestObject request = QueueRequest(kEventQueryQueueStatistics, queue);
  try {
    CResponseObject response;
    if (!requests::SendAndWait(request, response, kFunction)) return false;
    bool found = false;
    response >> found;
    Stats received;
    if (found) readRecord(response, received);
    stats = std::move(received);
    return found;
  } catch (const W4Notifier::CNotifierExtractException& error) {
    requests::TraceRequestError(kFunction, requests::ServerEntity(), request.QueryEventId(), error);
    return false;
  }
}

}  // namespace

void CreateQueue(const CEntityId& queue) { SendQueueInstruction(kEventCreateQueue, queue); }

void RemoveQueue(const CEntityId& queue) { SendQueueInstruction(kEventRemoveQueue, queue); }

bool IsQueueActive(const CEntityId& queue) {
  constexpr std::string_view kFunction = "QueueManager::IsQueueActive";
  if (!queue.IsSet()) return false;
  try {
    CRequestObject request = QueueRequest(kEventIsQueueActive, queue);
    CResponseObject response;
    if (!requests::SendAndWait(request, response, kFunction)) return false;
    bool active = false;
    response >> active;
    return active;
  } catch (const W4Notifier::CException& error) {
    requests::TraceRequestError(kFunction, requests::ServerEntity(), kEventIsQueueActive, error);
    return false;
  }
}

bool QueryQueueStatistics(const CEntityId& queue, CQmQueueStats& stats) {
  if (!queue.IsSet()) return false;
  if (CQmCache::Instance().QueryStatistics(queue, stats)) return true;
  return QueryStatisticsFromServer(
      queue, stats,
      [](W4Notifier::CMessage& response, CQmQueueStats& record) { response >> record; });
}

bool QueryQueueStatistics(const CEntityId& queue, CQmQueueStats2& stats) {
  if (!queue.IsSet()) return false;
  if (CQmCache::Instance().QueryStatistics(queue, stats)) return true;
  // The answer carries two records; the second is the one wanted.
  return QueryStatisticsFromServer(queue, stats,
                                   [](W4Notifier::CMessage& response, CQmQueueStats2& record) {
                                     CQmQueueStats2 first;
                                     response >> first >> record;
                                   });
}

void QueryQueues(W4Notifier::ObjectTypes type, std::vector<CEntityId>& queues) {
  constexpr std::string_view kFunction = "QueueManager::QueryQueues";
  CRequestObject request(requests::ServerEntity(), kEventQueryQueues);
  request << static_cast<std::int32_t>(type);
  try {
    CResponseObject response;
    if (!requests::SendAndWait(request, response, kFunction)) return;
    queues = requests::ReadEntityList(response);
  } catch (const W4Notifier::CNotifierExtractException& error) {
    requests::TraceRequestError(kFunction, requests::ServerEntity(), request.QueryEventId(), error);
  }
}

bool QueryQueueContents(const CEntityId& queue, std::vector<CEntityId>& contents) {
  constexpr std::string_view kFunction = "QueueManager::QueryQueueContents";
  contents.clear();
  if (!queue.IsSet()) return false;
  CQmCache& cache = CQmCache::Instance();
  std::vector<InteractionId> ids;
  if (cache.QueryQueueContents(queue, ids)) {
    contents.reserve(ids.size());
    // An interaction the cache cannot type gives an unset entity, kept so
    // that the caller sees every member of the queue.
    for (InteractionId id : ids) contents.push_back(cache.QueryUnderlyingEntityId(id));
    return true;
  }
  try {
    CRequestObject request = QueueRequest(kEventQueryQueueContents, queue);
    CResponseObject response;
    if (!requests::SendAndWait(request, response, kFunction)) return false;
    contents = requests::ReadEntityList(response);
    return true;
  } catch (const W4Notifier::CException& error) {
    requests::TraceRequestError(kFunction, requests::ServerEntity(), kEventQueryQueueContents,
                                error);
    return false;
  }
}

void DeallocateAllInstances(W4Notifier::ObjectTypes type) {
  CRequestObject request(requests::ServerEntity(1), kEventDeallocateAllInstances);
  request << static_cast<std::int32_t>(type);
  request.Send();
}

void MonitorStatServerAttributes(const std::vector<CQmAttributeName>& names) {
  SendNameList(kEventMonitorStatServerAttributes, names);
}

void RequestDeactivationAttributes(const std::vector<CQmAttributeName>& names) {
  SendNameList(kEventRequestDeactivationAttributes, names);
}

}  // namespace QueueManager
