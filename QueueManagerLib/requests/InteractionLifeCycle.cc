// Creating an interaction on the Queue Manager server, and handing a
// notification on to the interaction it concerns.

#include "QueueManager/InteractionLifeCycle.h"

#include <cstdint>
#include <utility>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/Notifier.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CRequestObject;
using W4Notifier::CResponseObject;

// Event of the Queue Manager server.
constexpr int kEventInstantiateInteraction = 14;
// Event of the interaction request entity.
constexpr int kEventForwardNotification = 18;

constexpr std::string_view kInstantiateFunction = "QueueManager::InstantiateInteraction";

// Waits for the server's answer to an instantiation: bool created, then the
// new interaction's entity. `entity` changes only once the whole answer has
// been read, so that a failed request leaves it as the caller had it.
bool AwaitCreatedEntity(CRequestObject& request, CEntityId& entity) {
  try {
    CResponseObject response;
    if (!requests::SendAndWait(request, response, kInstantiateFunction)) return false;
    bool created = false;
    response >> created;
    entity = requests::ReadEntity(response);
    return created;
  } catch (const W4Notifier::CException& error) {
    requests::TraceRequestError(kInstantiateFunction, request.QueryEntityId(),
                                request.QueryEventId(), error);
    return false;
  }
}

}  // namespace

bool InstantiateInteraction(CEntityId& entity, InteractionId id, W4Notifier::ObjectTypes type,
                            eXAN_ATTRVALUE_STATE state, eXAN_ATTRVALUE_CALL_DIRECTION direction,
                            const std::string& localName, const std::string& localAddress,
                            const std::string& localId, eXAN_ATTRVALUE_CALL_PARTY localPartyType,
                            const std::string& remoteName, const std::string& remoteAddress,
                            const std::string& remoteId, eXAN_ATTRVALUE_CALL_PARTY remotePartyType,
                            const CQmAttributeMap& attributes, const std::vector<CEntityId>& queues,
                            bool noWait) {
  // The arguments win over the caller's map: they are what the server must
  // see of a new interaction.
  CQmAttributeMap sent(attributes);
  std::pair<eAttributeName, CQmAttributeValue> standard[] = {
      {Xan_State, state},
      {Xan_CallDirection, direction},
      {Xan_LocalPartyType, localPartyType},
      {Xan_RemotePartyType, remotePartyType},
      {Xan_LocalName, localName},
      {Xan_LocalAddress, localAddress},
      {Xan_LocalId, localId},
      {Xan_RemoteName, remoteName},
      {Xan_RemoteAddress, remoteAddress},
      {Xan_RemoteId, remoteId},
  };
  for (auto& [name, value] : standard) sent.insert(name, std::move(value));

  CRequestObject request(requests::ServerEntity(), kEventInstantiateInteraction);
  request << id.QueryObjectId() << static_cast<std::int32_t>(type);
  sent.Write(request);
  requests::WriteEntityList(request, queues);
  request << std::int32_t{0};
  if (!noWait) return AwaitCreatedEntity(request, entity);
  entity = CEntityId();
  return requests::SendWithoutWaiting(request, kInstantiateFunction);
}

void ForwardNotification(const W4Notifier::CMessage& notification) {
  CRequestObject request(requests::InteractionRequestEntity(notification.QueryObjectId()),
                         kEventForwardNotification);
  request << notification;
  requests::SendWithoutWaiting(request, "QueueManager::ForwardNotification");
}

}  // namespace QueueManager
