#pragma once

// Interaction identifiers.

#include <cstdint>
#include <functional>
#include <iosfwd>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager {

/// Names one interaction held by the Queue Manager server by its 32-bit object
/// id; 0 and 0xFFFFFFFF name none. A plain value type: copies are independent
/// and distinct objects may be used from different threads.
class QM_EXPORT InteractionId {
 public:
  InteractionId() = default;
  /// Any id is accepted; 0 and 0xFFFFFFFF give an identifier that is not set.
  InteractionId(std::uint32_t objectId) : objectId_(objectId) {}
  /// An int is the id's 32 bits, as ids read from int fields arrive (-1 is
  /// 0xFFFFFFFF).
  InteractionId(int objectId) : objectId_(static_cast<std::uint32_t>(objectId)) {}
  /// The platform's long types are 64-bit. A long is taken as an int is, an
  /// unsigned long as it is; outside [-2^31, 2^32 - 1] they throw
  /// std::out_of_range instead of naming another interaction.
  ///@{
  InteractionId(unsigned long objectId);
  InteractionId(long objectId);
  ///@}
  /// Keeps the entity's object id; its object type is dropped.
  InteractionId(const W4Notifier::CEntityId& entity) : objectId_(entity.QueryObjectId()) {}

  /// The id.
  ///@{
  std::uint32_t QueryObjectId() const { return objectId_; }
  ///@}
  /// True unless the id is 0 or 0xFFFFFFFF.
  ///@{
  bool IsSet() const { return objectId_ != 0 && objectId_ != 0xFFFFFFFFu; }
  ///@}

  /// The interaction's object type, or eObjectTypeNone (0) when it cannot be
  /// found: asks the registered local sources (the monitor cache, then the
  /// interaction monitors) and otherwise the server, with a synchronous
  /// request to the interaction's request entity. May block for the
  /// notifier's time-out.
  W4Notifier::ObjectTypes QueryObjectType();
  /// CEntityId(QueryObjectType(), id, 1), or an empty entity when the type is
  /// unknown.
  W4Notifier::CEntityId QueryEntityId();

  /// Unsigned comparison of the ids: 0 orders first, 0xFFFFFFFF last.
  ///@{
  friend bool operator==(InteractionId a, InteractionId b) { return a.objectId_ == b.objectId_; }
  friend bool operator!=(InteractionId a, InteractionId b) { return a.objectId_ != b.objectId_; }
  friend bool operator<(InteractionId a, InteractionId b) { return a.objectId_ < b.objectId_; }
  friend bool operator<=(InteractionId a, InteractionId b) { return a.objectId_ <= b.objectId_; }
  friend bool operator>(InteractionId a, InteractionId b) { return a.objectId_ > b.objectId_; }
  friend bool operator>=(InteractionId a, InteractionId b) { return a.objectId_ >= b.objectId_; }
  ///@}

 private:
  std::uint32_t objectId_ = 0;
};

/// Writes the id in decimal.
QM_EXPORT std::ostream& operator<<(std::ostream& out, InteractionId id);

}  // namespace QueueManager

template <>
struct std::hash<QueueManager::InteractionId> {
  std::size_t operator()(QueueManager::InteractionId id) const noexcept {
    return id.QueryObjectId();
  }
};
