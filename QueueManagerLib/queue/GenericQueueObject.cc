// The generic queue object: each action is a state change and queue moves
// sent through MoveAndSet, followed by a notification from the object's
// entity.

#include "QueueManager/GenericQueueObject.h"

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeRequests.h"
#include "QueueManager/InteractionLifeCycle.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Text.h"
#include "QueueManager/Platform/Trace.h"

namespace XANQueueObject {
namespace {

using namespace QueueManager;  // NOLINT: the attribute model throughout
using W4Notifier::CEntityId;
using W4Notifier::ObjectTypes;
using Entities = std::vector<CEntityId>;

constexpr std::uint32_t kAnyStateActions =
    eActionDisconnect | eActionTransfer | eActionPickup | eActionPark;
// An assigned user who is connected cannot pick the object up again.
constexpr std::uint32_t kAssignedUserActions = kAnyStateActions & ~std::uint32_t{eActionPickup};
constexpr int kEventInNonSystemQueue = 10;

bool IsOneOf(char16_t code, std::u16string_view codes) {
  return codes.find(code) != std::u16string_view::npos;
}

bool IsOneOf(ObjectTypes type, std::initializer_list<ObjectTypes> types) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

eXAN_ATTRVALUE_STATE ConvertState(AQueueObject::eQueueObjectStatus status) {
  const auto code = static_cast<char16_t>(status);
  return IsOneOf(code, u"AEHIMPS") ? static_cast<eXAN_ATTRVALUE_STATE>(code) : eXAN_STATE_CONNECTED;
}

eXAN_ATTRVALUE_CALL_DIRECTION ConvertDirection(AQueueObject::eQueueObjectDirection direction) {
  const auto code = static_cast<char16_t>(direction);
  return IsOneOf(code, u"IO") ? static_cast<eXAN_ATTRVALUE_CALL_DIRECTION>(code)
                              : eXAN_DIRECTION_INBOUND;
}

eXAN_ATTRVALUE_CALL_PARTY ConvertPartyType(AQueueObject::eQueueObjectParty party) {
  const auto code = static_cast<char16_t>(party);
  return IsOneOf(code, u"EIS") ? static_cast<eXAN_ATTRVALUE_CALL_PARTY>(code) : eXAN_PARTY_INTERNAL;
}

bool IsUserOrStationQueue(const CEntityId& queue) {
  return IsOneOf(queue.QueryObjectType(), {W4Notifier::eUserQueue, W4Notifier::eStationQueue});
}

CQmAttributeMap StateMap(eXAN_ATTRVALUE_STATE state) {
  CQmAttributeMap attributes;
  attributes.insert(Xan_State, CQmAttributeValue(state));
  return attributes;
}

eXAN_ATTRVALUE_STATE QueryState(InteractionId id) {
  return QueryAttribute(id, Xan_State).QueryInteractionState();
}

bool IsAmong(const std::string& user, const CQmAttributeValue& users) {
  std::u16string wide;
  std::vector<std::u16string> names;
  return W4Os::NarrowToWide(user, wide) && users.QueryVector(names) &&
         std::find(names.begin(), names.end(), wide) != names.end();
}

}  // namespace

CGenericObject::CGenericObject() : entity_(W4Notifier::eGenericObject, 0u, 0) {}

CGenericObject::CGenericObject(const CEntityId& entity) : entity_(entity) {}

CGenericObject::CGenericObject(std::int32_t id)
    : entity_(W4Notifier::eGenericObject, static_cast<std::uint32_t>(id), 0) {}

CGenericObject::CGenericObject(ObjectTypes type, std::uint32_t id) : entity_(type, id, 0) {}

CGenericObject::~CGenericObject() = default;

void CGenericObject::CreateNew(const CEntityId& queue, AQueueObject::eQueueObjectStatus status,
                               AQueueObject::eQueueObjectDirection direction,
                               AQueueObject::eQueueObjectParty firstParty,
                               AQueueObject::eQueueObjectParty secondParty, std::string first,
                               std::string second, std::string third) {
  // The entity changes only when the server's answer was read whole.
  InstantiateInteraction(entity_, InteractionId(0u), entity_.QueryObjectType(),
                         ConvertState(status), ConvertDirection(direction), "", third, "",
                         ConvertPartyType(secondParty), first, "", second,
                         ConvertPartyType(firstParty), CQmAttributeMap(), Entities{queue}, false);
  // Watchers learn of the attempt whatever its outcome, as they always have.
  Notify("Created");
  QM_TRACE_CTX(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail,
               W4Trace::CContext("XANQueueObject::CGenericObject::CreateNew",
                                 W4Trace::kMessageTypeNormal, {{1, entity_.QueryObjectId()}}),
               "Created general processing object type {} on queue {} ",
               static_cast<std::int32_t>(entity_.QueryObjectType()), queue.QueryScopedName());
  NotifyIfNonSystemQueue(queue);
}

void CGenericObject::Connect(const std::string& user) {
  MoveAndSet(entity_.QueryObjectId(), {}, StateMap(eXAN_STATE_CONNECTED),
             {CEntityId(W4Notifier::eUserQueue, user, 0)}, true);
  Notify("Connected");
}

void CGenericObject::Hold(const std::string& user) {
  MoveAndSet(entity_.QueryObjectId(), {}, StateMap(eXAN_STATE_HELD),
             {CEntityId(W4Notifier::eUserQueue, user, 0)}, true);
  Notify("Held");
}

void CGenericObject::Park(const CEntityId& queue) {
  if (!IsUserOrStationQueue(queue)) return;
  MoveAndSet(entity_.QueryObjectId(), {}, StateMap(eXAN_STATE_PROCEEDING), {queue}, true);
  Notify("Parked");
}

void CGenericObject::Transfer(const std::string& /*user*/, const CEntityId& destination,
                              const CEntityId& source, bool offer) {
  if (!IsUserOrStationQueue(destination)) return;
  MoveAndSet(entity_.QueryObjectId(), {source},
             StateMap(offer ? eXAN_STATE_OFFERING : eXAN_STATE_SYSTEM), {destination}, true);
  Notify("Transfered");  // the name its watchers subscribe to, spelling and all
  if (offer) NotifyIfNonSystemQueue(destination);
}

void CGenericObject::Transfer(const CEntityId& destination, const CEntityId& source) {
  Transfer(std::string(), destination, source, true);
}

void CGenericObject::SetCurrentQueue(const CEntityId& queue) {
  MoveAndSet(entity_.QueryObjectId(), {}, CQmAttributeMap(), {queue}, true);
}

void CGenericObject::Disconnect(DisconnectionType type) {
  SetAttribute(entity_.QueryObjectId(), Xan_State, type == eDisconnectToInitializing ? "I" : "E");
  Notify("Disconnected");
}

int CGenericObject::IsAlerting() const {
  const eXAN_ATTRVALUE_STATE state = QueryState(entity_.QueryObjectId());
  return state == eXAN_STATE_ALERTING || state == eXAN_STATE_OFFERING ? 1 : 0;
}

bool CGenericObject::ValidAction(std::uint32_t action, std::string user) const {
  InteractionId id(entity_.QueryObjectId());
  const ObjectTypes type = id.QueryObjectType();
  if (!IsOneOf(type, {W4Notifier::eGenericObject, W4Notifier::eGenericObject2})) {
    QM_TRACE_CTX(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning,
                 W4Trace::CContext("XANQueueObject::CGenericObject::ValidAction",
                                   W4Trace::kMessageTypeWarning, {{1, id.QueryObjectId()}}),
                 "Invalid object type '{}'", static_cast<std::int32_t>(type));
    return false;
  }
  const eXAN_ATTRVALUE_STATE state = QueryState(id);
  if (state == eXAN_STATE_CONNECTED) {
    CQmAttributeValue users;
    if (QueryAttribute(id, Xan_UserName, users) && IsAmong(user, users)) {
      if (action == eActionWorkgroupTransfer) {
        return !ReturnAttributeString(CQmAttributeName(Xan_WorkgroupName).idstring()).empty();
      }
      return (action & kAssignedUserActions) != 0;
    }
  } else if (!IsOneOf(static_cast<char16_t>(state), u"AHOS")) {
    return false;
  }
  return (action & kAnyStateActions) != 0;
}

void CGenericObject::NotifyIfNonSystemQueue(const CEntityId& queue) const {
  if (!IsOneOf(queue.QueryObjectType(),
               {W4Notifier::eUserQueue, W4Notifier::eStationQueue, W4Notifier::eWorkgroupQueue})) {
    return;
  }
  const std::u16string name = queue.QueryScopedName().str();
  if (entity_.QueryObjectType() == W4Notifier::eGenericObject2) {
    W4Notifier::CNotificationObject notification(entity_, kEventInNonSystemQueue);
    notification << name;
    notification.Send();
    return;
  }
  W4Notifier::CNotificationObject notification(
      CEntityId(W4Notifier::eGenericObject, entity_.QueryObjectId(), 0),
      "GenericObjectInNonSystemQueue");
  notification << name;
  notification.Send();
}

std::string CGenericObject::ReturnAttributeString(const W4STD::w4idstring_arg& key) const {
  CQmAttributeValue value;
  QueryAttribute(entity_.QueryObjectId(), CQmAttributeName(key), value);
  return W4Os::WideToNarrowLossy(value.QueryString());
}

void CGenericObject::Notify(const char* name) const {
  W4Notifier::CNotificationObject(entity_, name).Send();
}

}  // namespace XANQueueObject
