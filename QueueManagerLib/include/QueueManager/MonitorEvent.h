#pragma once

// One event of a monitor: an object that appeared, changed or disappeared,
// with its attributes.

#include "QueueManager/AttributeMap.h"
#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager {

/// A monitor event record. A plain value type: copies are deep, and distinct
/// objects may be used from different threads.
///
/// Wire form: the entity as two int fields (object type, object id), added
/// (bool), removed (bool), the attribute map.
class QM_EXPORT CQmMonitorEvent {
 public:
  /// An empty event, or one of `object`.
  ///@{
  CQmMonitorEvent() = default;
  explicit CQmMonitorEvent(const W4Notifier::CEntityId& object) : entity(object) {}
  ///@}

  /// Writes the four fields (see the class).
  ///@{
  W4Notifier::CMessage& Write(W4Notifier::CMessage& message) const;
  ///@}
  /// Reads all four fields or throws CNotifierExtractException; on a throw
  /// the event holds a mix of old and new fields and must not be used.
  const W4Notifier::CMessage& Read(const W4Notifier::CMessage& message);

  /// By object type (signed), then object id (unsigned).
  friend bool operator<(const CQmMonitorEvent& a, const CQmMonitorEvent& b) {
    const auto typeA = static_cast<std::int32_t>(a.entity.QueryObjectType());
    const auto typeB = static_cast<std::int32_t>(b.entity.QueryObjectType());
    if (typeA != typeB) return typeA < typeB;
    return a.entity.QueryObjectId() < b.entity.QueryObjectId();
  }
  /// Field by field.
  ///@{
  friend bool operator==(const CQmMonitorEvent& a, const CQmMonitorEvent& b) {
    return a.entity == b.entity && a.added == b.added && a.removed == b.removed &&
           a.attributes == b.attributes;
  }
  ///@}

  /// The object, whether it was added or removed (neither: changed), and its attributes.
  ///@{
  W4Notifier::CEntityId entity;
  bool added = false;
  bool removed = false;
  CQmAttributeMap attributes;
  ///@}
};

}  // namespace QueueManager
