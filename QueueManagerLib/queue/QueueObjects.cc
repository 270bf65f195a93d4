// The procedural queue object functions. The insert, remove and move
// functions send the move-and-set request (event 7 to the object's request
// entity) with no attributes and with the object's own entity in front.

#include "QueueManager/QueueObjects.h"

#include <string_view>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/QueueAdministration.h"
#include "queue/ObjectIdBlock.h"
#include "requests/RequestFields.h"

namespace {

using W4Notifier::CEntityId;
using W4Notifier::CEntityIdArray;
using W4Notifier::CMessage;
using W4Notifier::CRequestObject;
namespace requests = QueueManager::requests;

// Events of an object's request entity.
constexpr int kEventQueuesContainingObject = 6;
constexpr int kEventMoveObject = 7;
// Events of the Queue Manager server.
constexpr int kEventActiveObjects = 9;
constexpr int kEventSelectCall = 12;

CEntityId RequestEntityOf(const CEntityId& object) {
  return requests::InteractionRequestEntity(object.QueryObjectId());
}

// Takes `object` off the queues of `removeFrom` and puts it on those of
// `addTo`: the server's int, 0 when the request fails. Moving from a queue to
// itself sends nothing and gives 1.
int MoveObject(const CEntityId& object, const CEntityIdArray& addTo,
               const CEntityIdArray& removeFrom) {
  if (addTo.size() == 1 && removeFrom.size() == 1 && addTo.front() == removeFrom.front()) return 1;
  CRequestObject request(RequestEntityOf(object), kEventMoveObject);
  requests::WriteEntity(request, object);
  requests::WriteEntityList(request, removeFrom);
  QueueManager::CQmAttributeMap().Write(request);
  requests::WriteEntityList(request, addTo);
  std::int32_t result = 0;
  const bool answered = requests::SendAndRead(request, "MoveQueueObject",
                                              [&](const CMessage& answer) { answer >> result; });
  return answered ? result : 0;
}

CEntityIdArray OneOrNone(const CEntityId& queue) {
  return queue.IsSet() ? CEntityIdArray{queue} : CEntityIdArray{};
}

struct ActiveObjects {
  bool active = false;
  bool held = false;
};

// Both flags false for an unset queue, a failed request or an answer that
// is not whole.
ActiveObjects QueryActiveObjects(const CEntityId& queue, W4Notifier::ObjectTypes type) {
  if (!queue.IsSet()) return {};
  CRequestObject request(requests::ServerEntity(), kEventActiveObjects);
  requests::WriteEntity(request, queue);
  request << static_cast<std::int32_t>(type);
  ActiveObjects read;
  const bool answered =
      requests::SendAndRead(request, "QueryActiveQueueObjectCount",
                            [&](const CMessage& answer) { answer >> read.active >> read.held; });
  return answered ? read : ActiveObjects{};
}

// A scoped name when ':' stands after the first character, else a
// workgroup queue's name; unset when neither gives an entity.
CEntityId QueueFromName(const std::string& name) {
  if (name.find(':', 1) == std::string::npos) return CEntityId(W4Notifier::eWorkgroupQueue, name);
  CEntityId queue;
  queue.SetFromScopedName(name);
  return queue;
}

}  // namespace

void InsertObjectOnQueue(const CEntityId& object, const CEntityId& queue, const void* /*data*/,
                         std::uint32_t /*dataLength*/) {
  MoveObject(object, {queue}, {});
}

void InsertObjectOnQueues(const CEntityId& object, const CEntityIdArray& queues) {
  if (!queues.empty()) MoveObject(object, queues, {});
}

void RemoveObjectFromQueue(const CEntityId& object, const CEntityId& queue) {
  MoveObject(object, {}, {queue});
}

void RemoveObjectFromQueues(const CEntityId& object, const CEntityIdArray& queues) {
  if (!queues.empty()) MoveObject(object, {}, queues);
}

void RemoveObjectFromAllQueues(const CEntityId& object) {
  // An unset entity stands for every queue.
  MoveObject(object, {}, {CEntityId()});
}

int MoveQueueObject(const CEntityId& object, const CEntityId& source,
                    const CEntityId& destination) {
  return MoveObject(object, OneOrNone(destination), OneOrNone(source));
}

int QueryActiveQueueObjectCount(const CEntityId& queue, W4Notifier::ObjectTypes type) {
  return QueryActiveObjects(queue, type).active ? 1 : 0;
}

int QueryActiveHeldQueueObjectCount(const CEntityId& queue, W4Notifier::ObjectTypes type) {
  const ActiveObjects objects = QueryActiveObjects(queue, type);
  return objects.active || objects.held ? 1 : 0;
}

int QueryQueuesContainingObject(const CEntityId& object, CEntityIdArray& queues) {
  queues.clear();
  CRequestObject request(RequestEntityOf(object), kEventQueuesContainingObject);
  CEntityIdArray read;
  const bool answered = requests::SendAndRead(
      request, "QueryQueuesContainingObject",
      [&](const CMessage& answer) { read = requests::ReadEntityList(answer); });
  if (!answered) return 0;
  queues = std::move(read);
  return static_cast<int>(queues.size());
}

std::uint32_t AllocateQueueObjectId(std::int32_t blockSize) {
  static QueueManager::CObjectIdBlock block;
  return block.Allocate(blockSize);
}

bool SelectCall(const std::vector<std::string>& queueNames, int selection,
                std::uint32_t& selected) {
  selected = 0;
  CEntityIdArray queues;
  for (const std::string& name : queueNames) {
    const CEntityId queue = QueueFromName(name);
    if (queue.IsSet()) queues.push_back(queue);
  }
  if (queues.empty()) return false;
  CRequestObject request(requests::ServerEntity(), kEventSelectCall);
  request << static_cast<std::int32_t>(selection);
  requests::WriteEntityList(request, queues);
  std::uint32_t id = 0;
  const bool answered =
      requests::SendAndRead(request, "SelectCall", [&](const CMessage& answer) { answer >> id; });
  // 0 and 0xFFFFFFFF name no call: the caller is never handed one of them.
  if (!answered || id == 0 || id == W4Notifier::kAllObjects) return false;
  selected = id;
  return true;
}

int RequestQueueItems(const CEntityId& queue, std::vector<sQueueItem>& items) {
  items.clear();
  CEntityIdArray contents;
  if (!QueueManager::QueryQueueContents(queue, contents)) return -1;
  items.reserve(contents.size());
  for (const CEntityId& entity : contents) {
    items.push_back({static_cast<std::uint32_t>(entity.QueryObjectType()), entity.QueryObjectId()});
  }
  return static_cast<int>(items.size());
}
