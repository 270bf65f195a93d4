#pragma once

// The beginning and the end of an interaction's life: asking the server to
// create an interaction, reading what the server reports of a deactivated
// one, and handing a notification on to the interaction it concerns.
//
// The functions hold no lock of their own and may be called from any thread,
// also at once. A synchronous request blocks the caller for up to the
// notifier's default time-out.

#include <string>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager {

/// Asks the Queue Manager server to create the interaction `id` of object
/// type `type` with `attributes` and to put it on `queues`. The state,
/// direction and party types, names, addresses and ids are entered into a copy
/// of `attributes` as Xan_State, Xan_CallDirection, Xan_LocalPartyType,
/// Xan_RemotePartyType, Xan_LocalName, Xan_LocalAddress, Xan_LocalId,
/// Xan_RemoteName, Xan_RemoteAddress and Xan_RemoteId, replacing any value
/// the caller gave under those names. Narrow text is UTF-8; invalid UTF-8
/// gives the empty value.
///
/// Without `noWait` the result is the server's answer and `entity` becomes the
/// entity it reports for the interaction; when the request fails or its answer
/// cannot be read the result is false and `entity` is left as it was.
/// With `noWait` the request is sent without waiting, `entity` is unset (the
/// server's entity is never known) and the result is true once the notifier
/// has taken the request, false when it could not (no connection, say).
QM_EXPORT bool InstantiateInteraction(
    W4Notifier::CEntityId& entity, InteractionId id, W4Notifier::ObjectTypes type,
    eXAN_ATTRVALUE_STATE state, eXAN_ATTRVALUE_CALL_DIRECTION direction,
    const std::string& localName, const std::string& localAddress, const std::string& localId,
    eXAN_ATTRVALUE_CALL_PARTY localPartyType, const std::string& remoteName,
    const std::string& remoteAddress, const std::string& remoteId,
    eXAN_ATTRVALUE_CALL_PARTY remotePartyType, const CQmAttributeMap& attributes,
    const std::vector<W4Notifier::CEntityId>& queues, bool noWait);

/// A plain value type that owns what it holds: copies are deep and distinct
/// objects may be used from different threads. It holds what the server
/// reports when an interaction is deactivated: the interaction's entity and
/// the attributes named with RequestDeactivationAttributes.
class QM_EXPORT CDeactivationData {
 public:
  /// Decodes the report from `message`'s read position on; `message` itself
  /// is not moved on. The report carries an opaque block of the server's
  /// between the entity and the attributes, which is skipped. A malformed
  /// report is traced and keeps what was read before the fault: an unset
  /// entity when the entity could not be read, no attributes when they could
  /// not all be read; IsComplete() then says false.
  explicit CDeactivationData(const W4Notifier::CMessage& message);

  /// The interaction deactivated, and the attributes reported.
  ///@{
  const W4Notifier::CEntityId& QueryEntityId() const { return entity_; }
  const CQmAttributeMap& QueryAttributes() const { return attributes_; }
  ///@}
  /// True when the entity, the block and the attributes were all read.
  bool IsComplete() const { return complete_; }

 private:
  W4Notifier::CEntityId entity_;
  CQmAttributeMap attributes_;
  bool complete_ = false;
};

/// Hands `notification` on to the request entity of the interaction it was
/// published for (its object id), whole, without waiting. A failure to send
/// is traced; exceptions of the notifier pass to the caller.
QM_EXPORT void ForwardNotification(const W4Notifier::CMessage& notification);

}  // namespace QueueManager
