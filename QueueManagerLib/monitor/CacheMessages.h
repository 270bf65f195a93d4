#pragma once

// How the server's messages reach the monitor cache: the callback object of
// the all-queues entities, and the route of a queue body. The decoding and
// applying is CQmCache's, in CacheMessages.cc.

#include <cstdint>
#include <vector>

#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Notifier.h"
#include "monitor/LoadBook.h"

namespace QueueManager {

class CQmCache;

// Receives the notifications of the all-queues entities (object id
// 0xFFFFFFFF) for the cache, and the answers to their loads, in order with
// them. A separate callback object, because the notifier hands a
// notification of queue Q to a subscription on Q and to one on Q's
// all-queues entity: with one object every event of a cached queue would be
// applied twice. Thread-safe as the cache is; owned by the cache.
class AllQueuesCallback final : public W4Notifier::IAsyncResponseCallback,
                                public W4Notifier::IMessageCallback {
 public:
  explicit AllQueuesCallback(CQmCache& cache) : cache_(cache) {}
  void OnMessageReceived(W4Notifier::CMessage& message) override;
  void OnConnectionRenegotiated() override;
  void OnAsyncResponseSuccess(std::uint32_t id, W4Notifier::CMessage& response) override;
  void OnAsyncResponseRejected(std::uint32_t id, W4Notifier::CMessage& rejection) override;
  void OnAsyncResponseTimeout(std::uint32_t id) override;
  void OnAsyncResponseCancelled(std::uint32_t id) override;
  void OnAsyncResponseConnectionLoss(std::uint32_t id) override;

 private:
  CQmCache& cache_;
};

// Where a queue body goes: the record it updates and whom it calls back.
// `viaAllQueues`: reached through its type's all-queues entity, the child
// record, whose all-queues monitors are called. A plain value.
struct BodyRoute {
  // A live notification.
  BodyRoute(const W4Notifier::CEntityId& entity, bool allQueues)
      : queue(entity), viaAllQueues(allQueues) {}
  // An answer to the load of `ticket`, whose section lists the values of
  // `listed`: it calls that load's monitor alone, while it awaits it.
  BodyRoute(const W4Notifier::CEntityId& entity, bool allQueues, const LoadBook::Ticket& ticket,
            const std::vector<CQmAttributeName>* listed)
      : queue(entity),
        viaAllQueues(allQueues),
        initialResponse(true),
        answer(ticket),
        names(listed) {}
  BodyRoute Live() const { return BodyRoute(queue, viaAllQueues); }

  W4Notifier::CEntityId queue;
  bool viaAllQueues = false;
  bool initialResponse = false;
  LoadBook::Ticket answer;
  const std::vector<CQmAttributeName>* names = nullptr;
};

}  // namespace QueueManager
