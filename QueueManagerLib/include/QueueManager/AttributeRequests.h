#pragma once

// Setting and querying the attributes of one interaction. Every request goes
// to the interaction's request entity; reads look into the monitor cache
// first and ask the server only for what it cannot answer.
//
// The functions hold no lock of their own and may be called from any thread,
// also at once. Synchronous requests block the caller for up to the
// notifier's default time-out.

#include <cstdint>
#include <string>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"

namespace QueueManager {

/// Sets `attributes` and at the same time takes the interaction off the
/// queues of `removeFrom` and puts it on those of `addTo`. The attributes are
/// written through to the monitor cache first, and stay there whatever the
/// server answers. With `noWait` the request is sent without waiting and the
/// result is true once the notifier has taken it (false without a connection);
/// otherwise the result is the server's answer, false when the request fails
/// or its answer cannot be read. Nothing is sent, and the result is true, when
/// all three are empty. The data block is accepted and not sent.
QM_EXPORT bool MoveAndSet(InteractionId id, const std::vector<W4Notifier::CEntityId>& removeFrom,
                          const CQmAttributeMap& attributes,
                          const std::vector<W4Notifier::CEntityId>& addTo,
                          const unsigned char* data, std::uint32_t dataLength, bool noWait);
QM_EXPORT bool MoveAndSet(InteractionId id, const std::vector<W4Notifier::CEntityId>& removeFrom,
                          const CQmAttributeMap& attributes,
                          const std::vector<W4Notifier::CEntityId>& addTo, bool noWait);

/// Front ends of MoveAndSet with no queues, waiting for the server's answer
/// and dropping it. Nothing is sent for an empty set of attributes. Narrow
/// text is UTF-8 (a null pointer is the empty text); when it is not valid
/// UTF-8 nothing is set and a failure is traced.
QM_EXPORT void SetAttribute(InteractionId id, const CQmAttributeName& name,
                            const CQmAttributeValue& value);
QM_EXPORT void SetAttribute(InteractionId id, const CQmAttributeName& name, const char* utf8);
QM_EXPORT void SetAttribute(InteractionId id, const char* name, const char* utf8);
QM_EXPORT void SetAttributes(InteractionId id, const CQmAttributeMap& attributes);
/// values[i] belongs to names[i]; a name given twice takes the later value.
/// Surplus values are ignored; when there are fewer values than names, only
/// the names that have a value are set and a warning is traced.
QM_EXPORT void SetAttributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                             const std::vector<CQmAttributeValue>& values);

/// The cache's value when it holds the attribute, otherwise the server's;
/// `value` is left as it was when the query fails.
QM_EXPORT bool QueryAttribute(InteractionId id, const CQmAttributeName& name,
                              CQmAttributeValue& value);
/// The value, or an empty value when the query fails.
QM_EXPORT CQmAttributeValue QueryAttribute(InteractionId id, const CQmAttributeName& name);
/// All from the cache when it holds every name, otherwise all from the
/// server; true when as many values as names came back. After a server
/// answer `values` holds exactly the values received (emptied when the answer
/// cannot be read).
QM_EXPORT bool QueryAttributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                               std::vector<CQmAttributeValue>& values);
/// The cache only; never a request. The list form sets `values` to one entry
/// per name (empty where the cache holds nothing) and is true when every name
/// was found.
QM_EXPORT bool QueryMonitoredAttribute(InteractionId id, const CQmAttributeName& name,
                                       CQmAttributeValue& value);
QM_EXPORT bool QueryMonitoredAttributes(InteractionId id,
                                        const std::vector<CQmAttributeName>& names,
                                        std::vector<CQmAttributeValue>& values);
/// The attributes whose names match `pattern`, as the server decides.
/// `attributes` is emptied first and stays empty when the query fails.
QM_EXPORT bool QueryAttributesWildcard(InteractionId id, const std::u16string& pattern,
                                       std::vector<CQmAttribute>& attributes);

}  // namespace QueueManager
