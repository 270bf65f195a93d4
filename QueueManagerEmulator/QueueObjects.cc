// The legacy queue object requests:
//   6  (to an object's request entity) the queues that hold the object, in the
//      order it joined them; none for an object the server does not know;
//   35 (to the request entity of every object) a block of consecutive object
//      ids that no interaction uses or will be given: its first id and its
//      size, the size asked for up to 10000; 0 and 0 for a size below 1 or
//      when no such block is left;
//   9  (to the server) whether the queue holds an object of the type asked
//      for (0: of any type) that is active, and one that is held: active is
//      any state but held (H, P) and disconnected (I, E);
//   12 (to the server) selects a call for the caller: the longest waiting
//      alerting interaction (A or O) on the listed queues, the first queue
//      first, of the object type given as selection value (0: any). The
//      selected call is taken: it becomes connected (C), so the next selection
//      gets another. Answers its id, or 0 when none waits.

#include <algorithm>

#include "HandlerParts.h"
#include "Wire.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CMessage;

constexpr std::int32_t kLargestIdBlock = 10000;

CMessage QueuesOfObject(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  const InteractionState* object = state.FindInteraction(r.id);
  const std::vector<CEntityId> queues =
      object == nullptr ? std::vector<CEntityId>() : object->queues;
  CMessage out;
  WriteEntities(out, queues);
  return out;
}

CMessage AllocateIds(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  const std::int32_t size = std::min(r.number, kLargestIdBlock);
  const std::optional<std::uint32_t> first =
      size < 1 ? std::nullopt : state.ReserveIds(static_cast<std::uint32_t>(size));
  CMessage out;
  out << first.value_or(0) << (first ? size : 0);
  return out;
}

bool OfType(const InteractionState& object, W4Notifier::ObjectTypes type) {
  return type == W4Notifier::eObjectTypeNone || object.type == type;
}

eStateClass ClassOf(const InteractionState& object) {
  return ClassifyState(object.attributes.Query(Xan_State));
}

CMessage ActiveObjects(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  bool active = false;
  bool held = false;
  if (const ServerQueue* queue = state.FindQueue(r.queue)) {
    for (const std::uint32_t id : queue->members) {
      const InteractionState* object = state.FindInteraction(id);
      if (object == nullptr || !OfType(*object, r.type)) continue;
      const eStateClass stateClass = ClassOf(*object);
      held = held || stateClass == eStateClass::kHeld;
      active =
          active || (stateClass != eStateClass::kHeld && stateClass != eStateClass::kDisconnected);
    }
  }
  CMessage out;
  out << active << held;
  return out;
}

std::uint32_t WaitingCall(const ServerState& state, const Request& r) {
  const auto type = static_cast<W4Notifier::ObjectTypes>(r.number);
  for (const CEntityId& queue : r.entities) {
    const ServerQueue* record = state.FindQueue(queue);
    if (record == nullptr) continue;
    for (const std::uint32_t id : record->members) {
      const InteractionState* call = state.FindInteraction(id);
      if (call != nullptr && OfType(*call, type) && ClassOf(*call) == eStateClass::kAlerting) {
        return id;
      }
    }
  }
  return 0;
}

CMessage SelectCall(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  const std::uint32_t selected = WaitingCall(state, r);
  if (selected != 0) {
    CQmAttributeMap connected;
    connected.insert(CQmAttributeName(Xan_State), u"C");
    state.SetAttributes(selected, connected, changes);
  }
  CMessage out;
  out << selected;
  return out;
}

// The object type of an interaction; none (0) for one the server does not know.
CMessage ObjectType(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  const InteractionState* object = state.FindInteraction(r.id);
  CMessage out;
  out << (object == nullptr ? W4Notifier::eObjectTypeNone : object->type);
  return out;
}

}  // namespace

Handler QueueObjectHandler(eRequest kind) {
  switch (kind) {
    case eRequest::kQueuesOfObject:
      return QueuesOfObject;
    case eRequest::kAllocateIds:
      return AllocateIds;
    case eRequest::kActiveObjects:
      return ActiveObjects;
    case eRequest::kSelectCall:
      return SelectCall;
    case eRequest::kObjectType:
      return ObjectType;
    default:
      return nullptr;
  }
}

}  // namespace QueueManager::Emulator
