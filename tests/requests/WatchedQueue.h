#pragma once

// A queue that a queue monitor of this process watches, so that the monitor
// cache holds its interactions, their attributes and its statistics: the
// scripted server answers the monitor's initial request with what the test
// gives, and the monitor is activated synchronously.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/QueueMonitor.h"
#include "QueueManager/QueueStats.h"
#include "monitor/CacheTestSupport.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {

struct CachedInteraction {
  W4Notifier::ObjectTypes type;
  std::uint32_t id;
  CQmAttributeMap attributes;
};

// Activates a monitor on `queue` for the test's lifetime.
class WatchedQueue {
 public:
  WatchedQueue(W4Notifier::CScriptedServer& server, const CEntityId& queue,
               const std::vector<CQmAttributeName>& names, const CQmQueueStats& stats,
               const CQmQueueStats2& stats2, const std::vector<CachedInteraction>& interactions) {
    // The answer to the monitor queue request: one queue section with its
    // statistics, the interactions as added events and the second statistics.
    QueueBody body{.stats = stats, .trailer = true, .stats2 = stats2};
    for (const CachedInteraction& interaction : interactions) {
      body.events.push_back(
          {interaction.id, true, false, interaction.attributes, interaction.type});
    }
    server.Respond(ServerEntity(), 0, MonitorResponse(queue, names, body));
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
