// The public queue monitors: copies, the multi-queue monitor, the clock skew
// request and the traces of the cache.

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <fmt/format.h>

#include "CacheTestSupport.h"
#include "monitor/QmCache.h"
#include "platform/notifier/NullConnection.h"
#include "platform/trace/TraceCapture.h"

namespace QueueManager::testing {
namespace {

class MonitorsTest : public MonitorCacheTest {};

// A copy answers queries but gets no callbacks; assigning to an active
// monitor detaches it from its queue first.
TEST_F(MonitorsTest, CopiesAnswerQueriesButGetNoCallbacks) {
  const CEntityId queue = UserQueue(4001);
  const CEntityId other = UserQueue(4002);
  ServeQueue(queue, {.events = {Added(1)}});
  ServeQueue(other, {});
  RecordingMonitor original;
  original.Activate(queue, {Xan_State}, true);
  {
    RecordingMonitor copy;
    copy.Activate(other, {Xan_UserName}, true);
    static_cast<CQmQueueMonitor&>(copy) = original;
    EXPECT_FALSE(Cache().IsSubscribed(other));  // `other` lost its only monitor
    EXPECT_EQ(copy.QueryMonitoredQueue(), queue);
    EXPECT_TRUE(copy.IsMonitored(Xan_State));
    EXPECT_FALSE(copy.IsMonitored(Xan_UserName));
    EXPECT_TRUE(copy.Contains(1));
    copy.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));  // not attached: ignored
    Publish(queue, {.events = {Added(2)}});
    EXPECT_THAT(copy.Log(), IsEmpty());
  }
  // The copy's end did not detach the original.
  Publish(queue, {.events = {Added(3)}});
  EXPECT_THAT(original.Log(), ElementsAre("Added 1 {}", "Added 2 {}", "Added 3 {}"));
  EXPECT_EQ(MonitorRequests().size(), 2u);
}

// Records the callbacks of all its queues.
class RecordingMultiMonitor : public CQmMultiQueueMonitor {
 public:
  std::vector<std::string> log;

 protected:
  void InteractionAdded(const CEntityId& queue, InteractionId id, const CQmAttributeMap&) override {
    log.push_back(fmt::format("q{} Added {}", queue.QueryObjectId(), id.QueryObjectId()));
  }
  void StatisticsUpdate(const CEntityId& queue, const CQmQueueStats& stats) override {
    log.push_back(fmt::format("q{} Stats {}", queue.QueryObjectId(), stats.QueryAlertingCount()));
  }
};

// Each queue has an inner monitor of its own; copies own unattached copies of
// them, which answer queries and receive nothing.
TEST_F(MonitorsTest, MultiQueueMonitorWatchesEachQueueThroughItsOwnInnerMonitor) {
  const CEntityId first = UserQueue(4004);
  const CEntityId second = UserQueue(4005);
  ServeQueue(first, {.stats = Stats(1), .events = {Added(41)}});
  ServeQueue(second, {.events = {Added(51)}});
  auto multi = std::make_unique<RecordingMultiMonitor>();
  multi->Activate(first, {Xan_State}, true);
  multi->Activate(second, {Xan_State}, true);
  multi->Activate(CEntityId(), {Xan_State}, true);  // ignored
  EXPECT_THAT(multi->log, ElementsAre("q4004 Added 41", "q4004 Stats 1", "q4005 Added 51"));

  // A queue watched already gets the names added and reloads synchronously.
  multi->Activate(first, {Xan_UserName}, true);
  EXPECT_THAT(MonitorRequests(), ElementsAre("bool false, int 9, int 4004, int 1, int 38",
                                             "bool false, int 9, int 4005, int 1, int 38",
                                             "bool true, int 9, int 4004, int 1, int 40"));
  RecordingMultiMonitor copy(*multi);
  RecordingMultiMonitor assigned;
  assigned = *multi;
  for (const CQmMultiQueueMonitor* monitor : {multi.get(), &copy, &assigned}) {
    std::vector<CEntityId> queues;
    monitor->QueryMonitoredQueues(queues);
    EXPECT_THAT(queues, ElementsAre(first, second));
    CQmQueueStats stats = Stats(99);
    monitor->QueryStatistics(UserQueue(4999), stats);
    EXPECT_EQ(stats, CQmQueueStats());
    monitor->QueryStatistics(first, stats);
    EXPECT_EQ(stats, Stats(1));
  }

  multi->Deactivate(second);
  EXPECT_FALSE(Cache().IsSubscribed(second));
  multi->Deactivate(UserQueue(4999));  // not watched: ignored
  for (RecordingMultiMonitor* monitor : {multi.get(), &copy, &assigned}) monitor->log.clear();
  Publish(first, {.events = {Added(42)}});
  EXPECT_THAT(multi->log, ElementsAre("q4004 Added 42"));
  EXPECT_THAT(copy.log, IsEmpty());
  EXPECT_THAT(assigned.log, IsEmpty());
  // Destroying the original detaches its inner monitor only once.
  multi.reset();
  EXPECT_EQ(Cache().CachedQueueCount(), 0u);
}

TEST_F(MonitorsTest, ClockSkewIsAskedOnceAndFollowsTheServerClock) {
  server_->Handle(ServerEntity(), 16, [](const CMessage&) {
    CMessage response;
    WriteServerTime(response, LocalUtcSeconds() + 100);
    return CScriptedReply::Respond(response);
  });
  W4Notifier::SetDefaultConnection(nullptr);
  RequestClockSkewUpdates();  // no connection: left to a later call
  W4Notifier::SetDefaultConnection(connection_);
  RequestClockSkewUpdates();
  RequestClockSkewUpdates();
  const auto requests = server_->RequestsTo(ServerEntity(), 16);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].DescribeFields(), "");
  EXPECT_NEAR(QueryClockSkew(), 100, 1);
  CQmQueueMonitor monitor;
  EXPECT_EQ(monitor.QueryClockSkew(), QueryClockSkew());

  // A failed request counts as done too; the server's clock notifications
  // feed the filter.
  connection_->StopAllMessages(&Cache());
  Cache().ResetForTesting();
  server_->Reject(ServerEntity(), 16);
  RequestClockSkewUpdates();  // subscribed; the failed request still counts as done
  EXPECT_EQ(QueryClockSkew(), 0);
  CMessage clock;
  WriteServerTime(clock, LocalUtcSeconds() - 50);
  server_->Publish(ServerEntity(), 3, clock);
  server_->WaitIdle();
  EXPECT_NEAR(QueryClockSkew(), -50, 1);
  RequestClockSkewUpdates();
  EXPECT_EQ(server_->RequestsTo(ServerEntity(), 16).size(), 2u);
  connection_->StopAllMessages(&Cache());
}

TEST_F(MonitorsTest, TracesNameTheirFunctionsAndLevels) {
  const CEntityId queue = UserQueue(4007);
  ServeQueue(queue, {.stats = Stats(2), .events = {Added(71)}});
  const W4Trace::testing::TraceCapture capture(W4Trace::kLevelDetail, true);
  {
    RecordingMonitor monitor;
    monitor.Activate(queue, {Xan_State}, true);
    Publish(queue, {.events = {Removed(71)}});
  }

  // The system's own texts, each under its function's name at the detail
  // level; how often each appears follows the call paths and is not pinned.
  const std::pair<const char*, const char*> expected[] = {
      {"CQmCache", "CQmCache::Activate("},
      {"CQmCache", "Loadcache("},
      {"CQmCache", "Update received"},
      {"QmCache:InteractionAddedToQueue", "71 Added"},
      {"QmCache:InteractionRemovedFromQueue", "71 Removed"},
      {"CQmCache::Deliver", "Alert=2 Connect=3"},
      {"CQmCache::Deliver", "InteractionRemoved("},
      {"CQmCache", "71 removed from cache"},
      {"CQmCache", "CQmCache::DeactivateMonitor("},
      {"CQueueMonitorProxy", "(FOUND)"},
  };
  for (const auto& entry : expected) {
    EXPECT_TRUE(capture->Find([&](const W4Trace::CTraceRecord& r) {
      return r.topic == "QueueManager" && r.level == W4Trace::kLevelDetail &&
             r.function == entry.first && r.text.find(entry.second) != std::string::npos;
    })) << entry.first
        << ": " << entry.second;
  }
  EXPECT_TRUE(capture->Find([](const W4Trace::CTraceRecord& r) {
    return r.topic == "QueueManagerScope" && r.function == "CQmCache::ActivateMonitor";
  }));
}

// ---- unloading ----

// A connection that answers every request with an empty queue and records
// the callback objects whose subscriptions were stopped (as plain pointers:
// they are compared, never used, after the cache is gone).
class RecordingConnection : public W4Notifier::NullConnection {
 public:
  W4Notifier::eSendStatus SendRequest(const CMessage&, CMessage* response, std::uint32_t) override {
    if (response != nullptr) *response = MonitorResponse(UserQueue(4100), {}, {});
    return W4Notifier::eSendStatus::kSuccess;
  }
  W4Notifier::eMsgCode SendAsyncRequest(const CMessage&, W4Notifier::IAsyncResponseCallback*,
                                        std::uint32_t, std::uint32_t, std::uint32_t*,
                                        const W4Notifier::CKeepAlive&) override {
    return W4Notifier::eMsgNotConnected;
  }
  W4Notifier::eMsgCode CancelAsyncRequest(std::uint32_t) override {
    return W4Notifier::eMsgNotFound;
  }
  W4Notifier::eMsgCode StartNotifications(const CEntityId&, int, W4Notifier::IMessageCallback*,
                                          std::uint32_t, std::uint32_t*,
                                          const W4Notifier::CKeepAlive&,
                                          std::u16string_view) override {
    ++started;
    return W4Notifier::eMsgSuccess;
  }
  W4Notifier::eMsgCode StopNotifications(const CEntityId&, int,
                                         W4Notifier::IMessageCallback* callback,
                                         std::uint32_t) override {
    stopped.push_back(callback);
    return W4Notifier::eMsgSuccess;
  }
  W4Notifier::eMsgCode StopAllMessages(W4Notifier::IMessageCallback* callback) override {
    stopped.push_back(callback);
    return W4Notifier::eMsgSuccess;
  }

  int started = 0;
  std::vector<const void*> stopped;
};

TEST_F(MonitorsTest, SubscriptionIsStoppedOnTheConnectionItWasMadeOn) {
  auto first = std::make_shared<RecordingConnection>();
  W4Notifier::SetDefaultConnection(first);
  RecordingMonitor monitor;
  monitor.Activate(UserQueue(4100), {Xan_State}, true);
  auto second = std::make_shared<RecordingConnection>();
  W4Notifier::SetDefaultConnection(second);
  monitor.Deactivate();
  EXPECT_EQ(first->stopped.size(), 1u);
  EXPECT_TRUE(second->stopped.empty());
  W4Notifier::SetDefaultConnection(connection_);
}

const void* g_cacheCallback = nullptr;
RecordingConnection* g_connection = nullptr;

// Runs after the cache's destructor (registered before the cache was built):
// by then the cache must have stopped its subscriptions.
void ExitIfStillSubscribed() {
  const auto& stopped = g_connection->stopped;
  const bool stoppedCache =
      std::find(stopped.begin(), stopped.end(), g_cacheCallback) != stopped.end();
  std::_Exit(g_connection->started == 1 && stoppedCache ? 0 : 3);
}

void RunAndExitWithAnAttachedMonitor() {
  std::atexit(&ExitIfStillSubscribed);
  // Outlives the cache on purpose, as an application's connection may.
  auto connection = std::make_shared<RecordingConnection>();
  g_connection = connection.get();
  W4Notifier::SetDefaultConnection(connection);
  auto* monitor = new RecordingMonitor;  // still attached at exit
  monitor->Activate(UserQueue(4100), {Xan_State}, true);
  g_cacheCallback = static_cast<W4Notifier::IMessageCallback*>(&Cache());
  // Replaced since: the subscription is still stopped where it was made.
  W4Notifier::SetDefaultConnection(std::make_shared<RecordingConnection>());
  std::exit(Cache().IsSubscribed(UserQueue(4100)) ? 0 : 4);
}

TEST(CacheUnloadDeathTest, StopsItsSubscriptionsBeforeItIsDestroyed) {
  // A fresh process, so that the cache is built after the exit handler.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RunAndExitWithAnAttachedMonitor(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace QueueManager::testing
