#pragma once

// A queue that a queue monitor of this process watches, so that the monitor
// cache holds its interactions, their attributes and its statistics: the
// scripted server answers the monitor's initial request with what the test
// gives, and the monitor is activated synchronously.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/QueueMonitor.h"
#include "QueueManager/QueueStats.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {

struct CachedInteraction {
  W4Notifier::ObjectTypes type;
  std::uint32_t id;
  CQmAttributeMap attributes;
};

// The server time header: 100-nanosecond intervals since 1601-01-01 UTC, now.
inline void WriteServerTimeNow(CMessage& message) {
  constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600ull;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const std::uint64_t seconds =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
  const std::uint64_t ticks = (seconds + kSecondsFrom1601To1970) * 10000000ull;
  message << static_cast<std::uint32_t>(ticks >> 32) << static_cast<std::uint32_t>(ticks);
}

// The answer to the monitor queue request: one queue section with its
// statistics, the interactions as added events and the second statistics.
inline CMessage InitialResponse(const CEntityId& queue, const std::vector<CQmAttributeName>& names,
                                const CQmQueueStats& stats, const CQmQueueStats2& stats2,
                                const std::vector<CachedInteraction>& interactions) {
  CMessage body;
  WriteServerTimeNow(body);
  body << static_cast<std::int32_t>(queue.QueryObjectType())
       << static_cast<std::int32_t>(queue.QueryObjectId());
  body << static_cast<std::int32_t>(names.size());
  for (const CQmAttributeName& name : names) name.Write(body);
  body << true << true << stats;
  body << static_cast<std::uint32_t>(interactions.size());
  for (const CachedInteraction& interaction : interactions) {
    body << static_cast<std::int32_t>(interaction.type) << static_cast<std::int32_t>(interaction.id)
         << true << false;
    interaction.attributes.Write(body);
  }
  body << 1ull << true << stats2;
  return body;
}

// Activates a monitor on `queue` for the test's lifetime.
class WatchedQueue {
 public:
  WatchedQueue(W4Notifier::CScriptedServer& server, const CEntityId& queue,
               const std::vector<CQmAttributeName>& names, const CQmQueueStats& stats,
               const CQmQueueStats2& stats2, const std::vector<CachedInteraction>& interactions) {
    server.Respond(ServerEntity(), 0, InitialResponse(queue, names, stats, stats2, interactions));
    monitor_.Activate(queue, names, true);
    server.WaitIdle();
    server.ClearTraffic();
  }
  ~WatchedQueue() { monitor_.Deactivate(); }
  WatchedQueue(const WatchedQueue&) = delete;
  WatchedQueue& operator=(const WatchedQueue&) = delete;

  void Deactivate() { monitor_.Deactivate(); }

 private:
  CQmQueueMonitor monitor_;
};

}  // namespace QueueManager::testing
