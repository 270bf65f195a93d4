#pragma once

// The entity through which the server publishes the interaction events of one
// media type.

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/IdString.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager {

// Object type 125 with the media type's name: the notifier's name of the
// interaction object type. Behaves like a queue towards the cache.
inline W4Notifier::CEntityId MediaTypeEntity(const W4STD::w4idstring& typeName) {
  return W4Notifier::CEntityId(W4Notifier::eObjectTypeEntity, typeName, 0);
}

inline W4Notifier::CEntityId MediaTypeEntity(W4Notifier::ObjectTypes type) {
  return MediaTypeEntity(W4Notifier::GetNotifierObjectTypeName(type));
}

}  // namespace QueueManager
