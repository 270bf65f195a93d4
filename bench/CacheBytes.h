#pragma once

// The baseline of the monitors' memory figures: the heap bytes that the
// monitor cache takes for the same interactions with the same five
// attributes, cached on a queue that a queue monitor of the five names
// watches. The queue's initial answer is handed to the cache as the notifier
// would hand it over.

#include <malloc.h>

#include <cstddef>
#include <cstdint>

#include "FiveAttributes.h"

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/QueueMonitor.h"
#include "monitor/ClockSkew.h"
#include "monitor/QmCache.h"

namespace bench {

// `count` interactions from `firstId`, the i-th with FiveAttributes(i).
inline std::size_t CacheBytes(std::uint32_t count, std::uint32_t firstId) {
  // Without a connection the monitor's own load fails at once; with one that
  // drops everything, it would wait for an answer for good.
  const auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection();
  W4Notifier::SetDefaultConnection(nullptr);
  const W4Notifier::CEntityId queue(W4Notifier::eUserQueue, 4242);
  QueueManager::CQmQueueMonitor monitor;
  monitor.Activate(queue, FiveNames(), true);
  W4Notifier::CMessage answer;
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(QueueManager::LocalUtcSeconds()) * 10'000'000u;
  answer << static_cast<std::uint32_t>(ticks >> 32) << static_cast<std::uint32_t>(ticks)
         << static_cast<std::int32_t>(queue.QueryObjectType())
         << static_cast<std::int32_t>(queue.QueryObjectId())
         << static_cast<std::int32_t>(FiveNames().size());
  for (const QueueManager::CQmAttributeName& name : FiveNames()) name.Write(answer);
  answer << true << false << count;
  for (std::uint32_t i = 0; i < count; ++i) {
    answer << static_cast<std::int32_t>(W4Notifier::eGenericObject)
           << static_cast<std::int32_t>(firstId + i) << true << false;
    FiveAttributes(i).Write(answer);
  }
  const std::size_t before = mallinfo2().uordblks;
  QueueManager::CQmCache::Instance().OnAsyncResponseSuccess(0, answer);
  const std::size_t bytes = mallinfo2().uordblks - before;
  monitor.Deactivate();
  W4Notifier::SetDefaultConnection(connection);
  return bytes;
}

}  // namespace bench
