#pragma once

// The field groups that requests to the Queue Manager server and to an
// interaction's request entity are made of, and the entities they address.
// Writers append fields to a message; readers take fields from a response
// and throw CNotifierExtractException when the response does not hold them.
// Readers never trust a count from the wire: a list holds what was actually
// read, and nothing is allocated in proportion to a count before the data
// behind it has been read.

#include <cstdint>
#include <exception>
#include <string_view>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Notifier.h"

namespace QueueManager::requests {

// The Queue Manager server: object type 29, object id 0xFFFFFFFF.
W4Notifier::CEntityId ServerEntity(int options = 0);
// The request entity of an interaction: object type 30, the interaction's id.
W4Notifier::CEntityId InteractionRequestEntity(InteractionId id);
// A list of queues that is never filled, for requests that name no queue.
const std::vector<W4Notifier::CEntityId>& NoEntities();

// Entity fields: int object type, int object id.
void WriteEntity(W4Notifier::CMessage& message, const W4Notifier::CEntityId& entity);
W4Notifier::CEntityId ReadEntity(const W4Notifier::CMessage& message);

// Lists: int count, then the elements.
void WriteEntityList(W4Notifier::CMessage& message,
                     const std::vector<W4Notifier::CEntityId>& entities);
void WriteNameList(W4Notifier::CMessage& message, const std::vector<CQmAttributeName>& names);
// A count of 0 or less gives the empty list.
std::vector<W4Notifier::CEntityId> ReadEntityList(const W4Notifier::CMessage& message);
// Each element one wide string field.
std::vector<CQmAttributeValue> ReadValueList(const W4Notifier::CMessage& message);
// Each element a name (CQmAttributeName::Read) and a wide string field.
std::vector<CQmAttribute> ReadAttributeList(const W4Notifier::CMessage& message);

// The move-and-set request (event 7 to the interaction's request entity):
// the entity fields of that entity, the remove-from list, the attributes and
// the add-to list.
W4Notifier::CRequestObject MoveAndSetRequest(InteractionId id,
                                             const std::vector<W4Notifier::CEntityId>& removeFrom,
                                             const CQmAttributeMap& attributes,
                                             const std::vector<W4Notifier::CEntityId>& addTo);

// Sends `request` and waits for the answer up to the notifier's default
// time-out. True when a successful response arrived in `response`; a
// rejection, time-out or missing connection is traced at level 21 under
// `function` and gives false.
// REQUIRES: `function` outlives the call (normally a literal).
bool SendAndWait(W4Notifier::CRequestObject& request, W4Notifier::CResponseObject& response,
                 std::string_view function);

// Hands `request` to the notifier without waiting; true when it went out. A
// request that could not be sent is traced at level 21 under `function`.
// REQUIRES: `function` outlives the call (normally a literal).
bool SendWithoutWaiting(W4Notifier::CRequestObject& request, std::string_view function);

// Traces at level 11 that a request of `function` to (target, event) failed
// with `error`, normally because its response could not be read.
void TraceRequestError(std::string_view function, const W4Notifier::CEntityId& target, int eventId,
                       const std::exception& error);

}  // namespace QueueManager::requests
