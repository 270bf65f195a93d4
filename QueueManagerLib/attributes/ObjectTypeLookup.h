#pragma once

// Local sources of interaction object types, asked by
// InteractionId::QueryObjectType before it asks the server. The monitor cache
// and the interaction monitors register themselves here when they start and
// remove themselves when they stop.

#include <cstdint>
#include <functional>

#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager {

// The local sources, in the order in which they are asked.
enum class ObjectTypeSource { kMonitorCache, kInteractionMonitors };

// Answers the object type of an interaction id, or eObjectTypeNone when the
// source does not know it. Called on the querying thread, without any lock of
// this module held; it may run after SetObjectTypeSource replaced it, so it
// must stay callable until its owner's state is gone (capture a weak or
// shared reference, not a raw pointer to an object that may die first).
using ObjectTypeLookup = std::function<W4Notifier::ObjectTypes(std::uint32_t objectId)>;

// Installs the lookup of source `which`, replacing any earlier one; an empty
// function removes it. Thread-safe.
void SetObjectTypeSource(ObjectTypeSource which, ObjectTypeLookup lookup);

// Asks source `which`; eObjectTypeNone when none is installed. Thread-safe.
W4Notifier::ObjectTypes AskObjectTypeSource(ObjectTypeSource which, std::uint32_t objectId);

}  // namespace QueueManager
