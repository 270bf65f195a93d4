#pragma once

// The field groups that requests to the Queue Manager server and to an
// interaction's request entity are made of, and the entities they address.
// Writers append fields to a message; readers take fields from a response
// and throw CNotifierExtractException when the response does not hold them.
// Readers never trust a count from the wire: a list holds what was actually
// read, and nothing is allocated in proportion to a count before the data
// behind it has been read.

#include <cstddef>
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

// A value: its text as one zero-terminated wide text field, so a value never
// carries U+0000 across the wire; read back from either form of wide text.
void WriteValue(W4Notifier::CMessage& message, const CQmAttributeValue& value);
CQmAttributeValue ReadValue(const W4Notifier::CMessage& message);

// The least that one field occupies on the wire: a tag and its payload (a
// text's payload is at least its four-byte length).
inline constexpr std::size_t kIntFieldBytes = 5;
inline constexpr std::size_t kBoolFieldBytes = 2;
inline constexpr std::size_t kTextFieldBytes = 5;

// No more elements than the bytes after a count of `count` can hold, each of
// at least `minElementBytes`; 0 for a count of 0 or less.
std::size_t PlausibleCount(const W4Notifier::CMessage& message, std::int32_t count,
                           std::size_t minElementBytes);

// Reads a 32-bit count (an int; an unsigned int field reads as one too) and
// then `count` elements with `readOne`. A count of 0 or less gives the empty
// list. The loop runs on the wire's count but stops with the first field that
// is not there, and the list grows with what was read, never with the count.
template <class T, class ReadOne>
std::vector<T> ReadList(const W4Notifier::CMessage& message, std::size_t minElementBytes,
                        ReadOne readOne) {
  std::int32_t count = 0;
  message >> count;
  std::vector<T> list;
  list.reserve(PlausibleCount(message, count, minElementBytes));
  for (std::int32_t i = 0; i < count; ++i) list.push_back(readOne(message));
  return list;
}

// Lists: int count, then the elements.
void WriteEntityList(W4Notifier::CMessage& message,
                     const std::vector<W4Notifier::CEntityId>& entities);
void WriteNameList(W4Notifier::CMessage& message, const std::vector<CQmAttributeName>& names);
// Each element as WriteValue writes it.
void WriteValueList(W4Notifier::CMessage& message, const std::vector<CQmAttributeValue>& values);
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

// Hands `request` to the notifier without waiting for an answer. True when
// the notifier took it; otherwise (no connection, say) the refusal is traced
// at level 21 under `function` and the result is false. Exceptions of the
// notifier pass to the caller.
// REQUIRES: `function` outlives the call (normally a literal).
bool SendWithoutWaiting(W4Notifier::CRequestObject& request, std::string_view function);

// Traces at level 11 that a request of `function` to (target, event) failed
// with `error`, normally because its response could not be read.
void TraceRequestError(std::string_view function, const W4Notifier::CEntityId& target, int eventId,
                       const std::exception& error);

// Sends `request`, waits as SendAndWait does and hands the response to
// `read`, which takes its fields. True when a response arrived and `read`
// returned; a CException thrown while the answer is awaited or read is
// traced with TraceRequestError and gives false. Whatever `read` stored
// before it threw stays, so it reads into locals and lets the caller commit
// them on true.
template <class Read>
bool SendAndRead(W4Notifier::CRequestObject& request, std::string_view function, Read read) {
  try {
    W4Notifier::CResponseObject response;
    if (!SendAndWait(request, response, function)) return false;
    read(static_cast<const W4Notifier::CMessage&>(response));
    return true;
  } catch (const W4Notifier::CException& error) {
    TraceRequestError(function, request.QueryEntityId(), request.QueryEventId(), error);
    return false;
  }
}

}  // namespace QueueManager::requests
