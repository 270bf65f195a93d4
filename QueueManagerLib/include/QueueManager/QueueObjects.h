#pragma once

// The older, procedural queue object functions: putting queue objects on
// queues and taking them off, counting and listing them, handing out object
// ids and selecting a call from a set of queues. They live in the global
// namespace, as their callers expect.
//
// The functions may be called from any thread, also at once; only
// AllocateQueueObjectId shares state (its block of ids, under its own lock).
// Every request is synchronous and blocks the caller for up to the notifier's
// default time-out; without a connection each answers at once with its
// failure result.

#include <cstdint>
#include <string>
#include <vector>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/ObjectTypes.h"

/// One queue object's entity. A plain value type.
struct sQueueItem {
  /// The object type and object id; compared field by field.
  ///@{
  std::uint32_t objectType = 0;
  std::uint32_t objectId = 0;
  friend bool operator==(const sQueueItem&, const sQueueItem&) = default;
  ///@}
};

/// Puts `object` on `queue`. The data block is accepted and not sent.
QM_EXPORT void InsertObjectOnQueue(const W4Notifier::CEntityId& object,
                                   const W4Notifier::CEntityId& queue, const void* data,
                                   std::uint32_t dataLength);
/// Nothing is sent for an empty list.
QM_EXPORT void InsertObjectOnQueues(const W4Notifier::CEntityId& object,
                                    const W4Notifier::CEntityIdArray& queues);
QM_EXPORT void RemoveObjectFromQueue(const W4Notifier::CEntityId& object,
                                     const W4Notifier::CEntityId& queue);
/// Nothing is sent for an empty list.
QM_EXPORT void RemoveObjectFromQueues(const W4Notifier::CEntityId& object,
                                      const W4Notifier::CEntityIdArray& queues);
QM_EXPORT void RemoveObjectFromAllQueues(const W4Notifier::CEntityId& object);
/// Takes `object` off `source` and puts it on `destination` (an unset queue
/// is left out). The server's answer, unchanged; 0 when the request fails; 1,
/// with nothing sent, when source and destination are the same queue.
QM_EXPORT int MoveQueueObject(const W4Notifier::CEntityId& object,
                              const W4Notifier::CEntityId& source,
                              const W4Notifier::CEntityId& destination);

/// 1 when `queue` holds active objects of `type`, else 0 (also for an unset
/// queue or a failed request).
QM_EXPORT int QueryActiveQueueObjectCount(const W4Notifier::CEntityId& queue,
                                          W4Notifier::ObjectTypes type);
/// 1 when `queue` holds active or held objects of `type`, else 0.
QM_EXPORT int QueryActiveHeldQueueObjectCount(const W4Notifier::CEntityId& queue,
                                              W4Notifier::ObjectTypes type);
/// The queues that hold `object` (emptied first); their number, 0 when the
/// request fails.
QM_EXPORT int QueryQueuesContainingObject(const W4Notifier::CEntityId& object,
                                          W4Notifier::CEntityIdArray& queues);

/// A new queue object id, from a process-wide block of ids that the server
/// allocates `blockSize` at a time: one request per block, whichever threads
/// ask. Never the same id twice from one block, never 0 or 0xFFFFFFFF; 0 when
/// no block could be had.
QM_EXPORT std::uint32_t AllocateQueueObjectId(std::int32_t blockSize);

/// Asks the server to select a call on the named queues with `selection`
/// (passed unchanged). A name with ':' after its first character is a scoped
/// name ("WorkgroupQueue:Sales"), any other the name of a workgroup queue;
/// names that give no entity are left out. True, with the selected object id
/// in `selected`, when the server selected one; otherwise false and
/// `selected` is 0 (also when no name gave a queue: nothing is then sent).
QM_EXPORT bool SelectCall(const std::vector<std::string>& queueNames, int selection,
                          std::uint32_t& selected);

/// The objects on `queue` (emptied first), from the monitor cache when the
/// queue is watched; their number, -1 when the query fails.
QM_EXPORT int RequestQueueItems(const W4Notifier::CEntityId& queue, std::vector<sQueueItem>& items);
