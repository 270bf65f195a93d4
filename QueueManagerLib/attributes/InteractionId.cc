// Interaction identifiers: the object type lookup (local sources first, then
// the server) and stream output.

#include "QueueManager/InteractionId.h"

#include <limits>
#include <ostream>
#include <stdexcept>
#include <string_view>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Trace.h"
#include "attributes/ObjectTypeLookup.h"

namespace QueueManager {
namespace {

constexpr const char* kQueryObjectTypeFunction = "QueueManager::InteractionId::QueryObjectType";

// The request that an interaction answers with its object type.
constexpr int kQueryObjectTypeEvent = 37;

// Asks the server by a synchronous request to the interaction's request
// entity. Any failure, including a response without a type, gives
// eObjectTypeNone.
W4Notifier::ObjectTypes QueryObjectTypeFromServer(std::uint32_t objectId) {
  using W4Notifier::CEntityId;
  using W4Notifier::CNotifierTimeout;
  using W4Notifier::CRequestObject;
  using W4Notifier::CResponseObject;
  using W4Notifier::eObjectTypeNone;
  using W4Notifier::ObjectTypes;
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kQueryObjectTypeFunction,
           "{} querying object type from QueueManager server", objectId);
  try {
    CRequestObject request(CEntityId(W4Notifier::eInteractionRequest, objectId, 0),
                           kQueryObjectTypeEvent);
    CResponseObject response;
    if (request.Send(response, CNotifierTimeout::Query()) == 0) {
      QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning, kQueryObjectTypeFunction,
               "{} object type query failed: {}", objectId,
               W4Notifier::SendStatusName(response.QueryStatus()));
      return eObjectTypeNone;
    }
    ObjectTypes type = eObjectTypeNone;
    response >> type;
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kQueryObjectTypeFunction,
             "{} object type from QM: {}", objectId, static_cast<int>(type));
    return type;
  } catch (const W4Notifier::CException& error) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning, kQueryObjectTypeFunction,
             "{} object type query failed: {}", objectId, error.what());
    return eObjectTypeNone;
  }
}

}  // namespace

// An identifier that names no interaction has no type; asking the server
// would address nothing (0) or every interaction (0xFFFFFFFF).
W4Notifier::ObjectTypes InteractionId::QueryObjectType() {
  if (!IsSet()) return W4Notifier::eObjectTypeNone;
  const W4Notifier::ObjectTypes cached =
      AskObjectTypeSource(ObjectTypeSource::kMonitorCache, objectId_);
  if (cached != W4Notifier::eObjectTypeNone) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kQueryObjectTypeFunction,
             "{} object type from cache: {}", objectId_, static_cast<int>(cached));
    return cached;
  }
  const W4Notifier::ObjectTypes monitored =
      AskObjectTypeSource(ObjectTypeSource::kInteractionMonitors, objectId_);
  if (monitored != W4Notifier::eObjectTypeNone) return monitored;
  return QueryObjectTypeFromServer(objectId_);
}

W4Notifier::CEntityId InteractionId::QueryEntityId() {
  const W4Notifier::ObjectTypes type = QueryObjectType();
  if (type == W4Notifier::eObjectTypeNone) return W4Notifier::CEntityId();
  return W4Notifier::CEntityId(type, objectId_, 1);
}

InteractionId::InteractionId(unsigned long objectId)
    : objectId_(static_cast<std::uint32_t>(objectId)) {
  if (objectId > std::numeric_limits<std::uint32_t>::max()) {
    throw std::out_of_range("interaction id above 2^32 - 1");
  }
}

InteractionId::InteractionId(long objectId)
    : InteractionId(objectId >= 0 ? static_cast<unsigned long>(objectId)
                                  : static_cast<unsigned long>(static_cast<std::uint32_t>(
                                        objectId < std::numeric_limits<std::int32_t>::min()
                                            ? throw std::out_of_range("interaction id below -2^31")
                                            : static_cast<std::int32_t>(objectId)))) {}

std::ostream& operator<<(std::ostream& out, InteractionId id) { return out << id.QueryObjectId(); }

}  // namespace QueueManager
