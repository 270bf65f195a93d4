#pragma once

// The seam through which the monitor cache reaches the interaction monitors:
// they answer for interactions that no cached queue covers, name the
// interactions they watch for a reload (each monitor refreshes those itself).

#include <cstdint>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager {

// One interaction record of a cache reload response, fully decoded.
struct InteractionReloadRecord {
  W4Notifier::CEntityId interaction;
  bool alwaysNotify = false;
  bool deallocated = false;
  CQmAttributeMap attributes;
};

// What the interaction monitors offer the cache. The cache never owns the
// store. QueryAttribute, QueryObjectType and CollectWatchedInteractions are
// called with the cache lock held (the interaction monitors share that lock
// and may take it again, but must take no lock that comes before it).
class IInteractionMonitorStore {
 public:
  virtual ~IInteractionMonitorStore() = default;
  // The value of `name` of a watched interaction; false when the store does
  // not know it.
  virtual bool QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                              CQmAttributeValue& value) = 0;
  // The object type of a watched interaction, or eObjectTypeNone.
  virtual W4Notifier::ObjectTypes QueryObjectType(std::uint32_t id) = 0;
  // Appends the ids of every watched interaction.
  virtual void CollectWatchedInteractions(std::vector<std::uint32_t>& ids) = 0;
};

}  // namespace QueueManager
