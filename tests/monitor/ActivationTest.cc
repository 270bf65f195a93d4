// Activation, loading, deactivation and subscriptions of the monitor cache,
// against the scripted server.

#include <algorithm>
#include <future>
#include <memory>
#include <thread>

#include "CacheTestSupport.h"
#include "monitor/QmCache.h"
#include "monitor/QueueMonitorProxy.h"
#include "platform/trace/TraceCapture.h"

namespace QueueManager::testing {
namespace {

class ActivationTest : public MonitorCacheTest {};

// A synchronous activation loads the queue before it returns; the
// subscription stops once, with the last monitor.
TEST_F(ActivationTest, SynchronousActivationLoadsTheQueueBeforeReturning) {
  const W4Trace::testing::TraceCapture capture(W4Trace::kLevelWarning);
  const CEntityId queue = UserQueue(1001);
  ServeQueue(
      queue,
      {.stats = Stats(7), .events = {Added(101, Attributes({{Xan_State, "C"}})), Added(102)}},
      {Xan_State, Xan_UserName});
  RecordingMonitor monitor;
  monitor.Activate(queue, {Xan_State, Xan_UserName}, true);

  EXPECT_THAT(monitor.Log(), ElementsAre("Added 101 {Xan_State=C}", "Added 102 {}", "Stats 7"));
  EXPECT_THAT(MonitorRequests(), ElementsAre("bool false, int 9, int 1001, int 2, int 38, int 40"));
  EXPECT_TRUE(Cache().IsSubscribed(queue));
  std::vector<InteractionId> contents;
  monitor.QueryContents(contents);
  EXPECT_THAT(contents, ::testing::UnorderedElementsAre(101u, 102u));
  CQmQueueStats stats;
  monitor.QueryStatistics(stats);
  EXPECT_EQ(stats, Stats(7));
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(101, Xan_State, value));
  EXPECT_EQ(value, "C");

  RecordingMonitor second;
  second.Activate(queue, {Xan_State}, true);
  second.ClearLog();
  monitor.Deactivate();
  EXPECT_TRUE(Cache().IsSubscribed(queue));
  Publish(queue, {.events = {Added(901)}});
  EXPECT_THAT(second.Log(), ElementsAre("Added 901 {}"));
  EXPECT_EQ(monitor.Log().size(), 3u);
  second.Deactivate();
  EXPECT_FALSE(Cache().IsSubscribed(queue));
  EXPECT_EQ(Cache().CachedQueueCount(), 0u);
  Publish(queue, {.events = {Added(902)}});
  // Not even delivered to the cache: nothing was skipped.
  EXPECT_FALSE(capture->Contains("skipped"));
}

TEST_F(ActivationTest, AsynchronousActivationReturnsBeforeTheResponseArrives) {
  const CEntityId queue = UserQueue(1002);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // Each queue's answer holds interaction 201 and is held back until released.
  server_->Handle(ServerEntity(), kMonitorQueueEvent, [released](const CMessage& request) {
    released.wait();
    return CScriptedReply::Respond(MonitorResponse(ReadLoadRequest(request).queue, {},
                                                   {.stats = Stats(1), .events = {Added(201)}}));
  });
  RecordingMonitor monitor;
  monitor.Activate(queue, {Xan_State}, false);
  EXPECT_THAT(monitor.Log(), IsEmpty());
  EXPECT_EQ(Cache().PendingMonitorCount(), 1u);
  // Left before its answer came: the late answer brings no ghost record.
  RecordingMonitor leaver;
  leaver.Activate(UserQueue(1012), {Xan_State}, false);
  leaver.Deactivate();
  release.set_value();
  server_->WaitIdle();
  EXPECT_THAT(monitor.Log(), ElementsAre("Added 201 {}", "Stats 1"));
  EXPECT_THAT(leaver.Log(), IsEmpty());
  EXPECT_EQ(Cache().PendingMonitorCount(), 0u);
  EXPECT_EQ(Cache().CachedQueueCount(), 1u);
  EXPECT_EQ(Cache().CachedInteractionCount(), 1u);
  EXPECT_THAT(MonitorRequests(), ElementsAre("bool false, int 9, int 1002, int 1, int 38",
                                             "bool false, int 9, int 1012, int 1, int 38"));
}

// A later monitor of a cached queue loads synchronously, and it alone gets
// the contents; so does a monitor that asks for more names.
TEST_F(ActivationTest, LaterMonitorsOfACachedQueueLoadForThemselvesOnly) {
  const CEntityId queue = UserQueue(1003);
  ServeQueue(queue, {.events = {Added(301)}}, {Xan_State});
  RecordingMonitor first;
  first.Activate(queue, {Xan_State}, true);
  RecordingMonitor second;
  // Asked asynchronously, loaded at once: the queue is cached already.
  second.Activate(queue, {Xan_State, Xan_AccountCode}, false);
  RecordingMonitor third;
  third.Activate(queue, {Xan_State}, true);
  RecordingMonitor none;
  none.Activate(CEntityId(), {Xan_State}, true);  // ignored
  EXPECT_FALSE(none.QueryMonitoredQueue().IsSet());

  EXPECT_THAT(first.Log(), ElementsAre("Added 301 {}"));
  EXPECT_THAT(second.Log(), ElementsAre("Added 301 {}"));
  // The name registered by the first response is not asked for again, and a
  // request with every name registered still carries a count of 0.
  EXPECT_THAT(MonitorRequests(), ElementsAre("bool false, int 9, int 1003, int 1, int 38",
                                             "bool false, int 9, int 1003, int 1, int 3",
                                             "bool false, int 9, int 1003, int 0"));
  Publish(queue, {.events = {Added(302)}});
  EXPECT_THAT(first.Log(), ElementsAre("Added 301 {}", "Added 302 {}"));
  EXPECT_THAT(second.Log(), ElementsAre("Added 301 {}", "Added 302 {}"));
  ServeQueue(queue, {.events = {Updated(301, Attributes({{Xan_UserName, "ann"}}))}});
  second.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
  EXPECT_THAT(first.Log(), ElementsAre("Added 301 {}", "Added 302 {}"));
  EXPECT_THAT(second.Log(),
              ElementsAre("Added 301 {}", "Added 302 {}", "Updated 301 {Xan_UserName=ann}"));

  // Activating an active monitor changes nothing; failed attribute requests
  // leave its attachment live.
  first.Activate(queue, {Xan_AccountCode}, true);
  RejectQueue(queue);
  first.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
  first.RequestAttributeUpdateCallback(CQmAttributeName(Xan_CallId));
  EXPECT_EQ(Cache().PendingMonitorCount(), 0u);
  EXPECT_TRUE(first.IsMonitored(Xan_UserName));
  EXPECT_FALSE(first.IsMonitored(Xan_AccountCode));
  EXPECT_EQ(first.QueryMonitoredQueue(), queue);
  Publish(queue, {.events = {Added(303)}});
  EXPECT_EQ(first.Log().back(), "Added 303 {}");
  EXPECT_THAT(
      MonitorRequests(),
      ElementsAre("bool false, int 9, int 1003, int 1, int 38",
                  "bool false, int 9, int 1003, int 1, int 3", "bool false, int 9, int 1003, int 0",
                  "bool true, int 9, int 1003, int 1, int 40", "bool true, int 9, int 1003, int 0",
                  "bool true, int 9, int 1003, int 1, int 6"));
}

TEST_F(ActivationTest, SynchronousLoadIsAppliedInOrderWithTheQueuesNotifications) {
  const CEntityId queue = UserQueue(1020);
  ServeQueue(queue, {.events = {Added(1)}});
  RecordingMonitor first;
  first.Activate(queue, {Xan_State}, true);
  // The delivery thread is held inside a callback while one more change is
  // queued behind it; the server's answer to the next load already holds it.
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  first.hook = [&](const std::string& entry) {
    if (entry != "Added 2 {}") return;
    entered.set_value();
    released.wait();
  };
  server_->Publish(queue, kMonitorQueueEvent, Notification({.events = {Added(2)}}));
  entered.get_future().wait();
  server_->Publish(queue, kMonitorQueueEvent, Notification({.events = {Added(3)}}));
  ServeQueue(queue, {.events = {Added(1), Added(2), Added(3)}});
  RecordingMonitor second;
  auto activation =
      std::async(std::launch::async, [&] { second.Activate(queue, {Xan_State}, true); });
  // A load that did not wait for the delivery thread would be done by now.
  activation.wait_for(std::chrono::milliseconds(200));
  release.set_value();
  activation.get();
  Publish(queue, {.events = {Added(4)}});
  const auto all = ElementsAre("Added 1 {}", "Added 2 {}", "Added 3 {}", "Added 4 {}");
  EXPECT_THAT(second.Log(), all);
  EXPECT_THAT(first.Log(), all);
}

// A failed first load leaves the monitor pending until renegotiation or a
// later Activate loads it again, also when there was no connection.
// An attachment stopped (by a callback on another thread) between its
// monitor's decision to ask for more names and the cache hearing of it is not
// attached again: nothing stays cached, pending or subscribed.
TEST_F(ActivationTest, AttachmentStoppedBeforeTheCacheHearsOfItIsNotAttached) {
  const CEntityId queue = UserQueue(1031);
  RecordingMonitor monitor;
  const MonitorId id = NewMonitorId();
  CQueueMonitorProxy::Activate(id, &monitor, {Xan_State});
  CQueueMonitorProxy::Deactivate(id);
  for (const bool adding : {true, false}) {
    Cache().ActivateMonitor(queue, id, {Xan_State}, adding, true, true);
    EXPECT_EQ(Cache().CachedQueueCount(), 0u);
    EXPECT_EQ(Cache().PendingMonitorCount(), 0u);
    EXPECT_FALSE(Cache().IsSubscribed(queue));
  }
  EXPECT_THAT(monitor.Log(), IsEmpty());
}

TEST_F(ActivationTest, FailedFirstLoadIsRetriedByRenegotiationAndByActivate) {
  const CEntityId queue = UserQueue(1021);
  RejectQueue(queue);
  RecordingMonitor monitor;
  {
    const W4Trace::testing::TraceCapture capture(W4Trace::kLevelFailure);
    monitor.Activate(queue, {Xan_State}, true);
    EXPECT_TRUE(capture.Has(W4Trace::kLevelFailure, "Sync request failed"));
  }
  EXPECT_EQ(Cache().PendingMonitorCount(), 1u);
  Publish(queue, {.events = {Added(5)}});  // still pending: not for it
  EXPECT_THAT(monitor.Log(), IsEmpty());

  ServeQueue(queue, {.events = {Added(5)}});
  connection_->Renegotiate();
  AwaitLog(monitor, 1);
  EXPECT_THAT(monitor.Log(), ElementsAre("Added 5 {}"));
  Publish(queue, {.events = {Removed(5)}});
  EXPECT_THAT(monitor.Log(), ElementsAre("Added 5 {}", "Removed 5"));

  const CEntityId other = UserQueue(1022);
  RejectQueue(other);
  RecordingMonitor again;
  again.Activate(other, {Xan_State}, true);
  ServeQueue(other, {.events = {Added(6)}});
  again.Activate(other, {Xan_State}, true);
  EXPECT_THAT(again.Log(), ElementsAre("Added 6 {}"));
  EXPECT_EQ(Cache().PendingMonitorCount(), 0u);

  // Without a connection the monitor is recorded and stays pending.
  W4Notifier::SetDefaultConnection(nullptr);
  const CEntityId offline = UserQueue(1010);
  RecordingMonitor unsent;
  {
    const W4Trace::testing::TraceCapture capture(W4Trace::kLevelFailure);
    unsent.Activate(offline, {Xan_State}, false);
    EXPECT_TRUE(capture.Has(W4Trace::kLevelFailure, "Sync request failed"));
  }
  EXPECT_EQ(Cache().CachedQueueCount(), 3u);
  EXPECT_EQ(Cache().PendingMonitorCount(), 1u);
  EXPECT_FALSE(Cache().IsSubscribed(offline));
  unsent.Deactivate();
  EXPECT_EQ(Cache().PendingMonitorCount(), 0u);
  EXPECT_EQ(Cache().CachedQueueCount(), 2u);
}

// More names asked for while a monitor's contents are still on their way
// supersede that load with one of the whole contents and every name: the
// monitor learns its contents once, as additions, and the late answer to the
// first load (if any) gives it nothing.
TEST_F(ActivationTest, MoreNamesWhileTheContentsAreOnTheirWayLoadTheWholeContentsOnce) {
  const CEntityId queue = UserQueue(1031);
  int loads = 0;
  server_->Handle(ServerEntity(), kMonitorQueueEvent, [&loads](const CMessage& request) {
    if (++loads == 1) return CScriptedReply::Silence();
    const auto [adding, asked] = ReadLoadRequest(request);
    const CQmAttributeMap values = Attributes({{Xan_State, "A"}, {Xan_UserName, "ann"}});
    return CScriptedReply::Respond(MonitorResponse(
        asked, {}, {.events = {adding ? Updated(701, values) : Added(701, values)}}));
  });
  RecordingMonitor monitor;
  monitor.Activate(queue, {Xan_State}, false);
  monitor.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
  EXPECT_THAT(monitor.Log(), ElementsAre("Added 701 {Xan_State=A,Xan_UserName=ann}"));
  EXPECT_EQ(Cache().PendingMonitorCount(), 0u);
  EXPECT_THAT(MonitorRequests(), ElementsAre("bool false, int 9, int 1031, int 1, int 38",
                                             "bool false, int 9, int 1031, int 2, int 38, int 40"));
  Publish(queue, {.events = {Added(702)}});
  EXPECT_THAT(monitor.Log(),
              ElementsAre("Added 701 {Xan_State=A,Xan_UserName=ann}", "Added 702 {}"));
}

// More names asked for while the contents are being delivered go out as
// such, and their values come after the contents, once.
TEST_F(ActivationTest, MoreNamesAskedForWhileTheContentsAreDeliveredComeAfterThem) {
  const CEntityId queue = UserQueue(1033);
  std::promise<void> asked;
  std::shared_future<void> askedForMore = asked.get_future().share();
  server_->Handle(ServerEntity(), kMonitorQueueEvent, [&asked](const CMessage& request) {
    const auto [adding, loaded] = ReadLoadRequest(request);
    if (!adding) {
      return CScriptedReply::Respond(
          MonitorResponse(loaded, {}, {.events = {Added(901), Added(902)}}));
    }
    asked.set_value();
    return CScriptedReply::Respond(MonitorResponse(
        loaded, {}, {.events = {Updated(901, Attributes({{Xan_UserName, "ann"}}))}}));
  });
  RecordingMonitor monitor;
  std::thread more;
  monitor.hook = [&](const std::string& entry) {
    if (entry != "Added 901 {}") return;
    more = std::thread(
        [&] { monitor.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName)); });
    askedForMore.wait_for(std::chrono::seconds(10));
  };
  monitor.Activate(queue, {Xan_State}, false);
  AwaitLog(monitor, 3);
  more.join();
  EXPECT_THAT(monitor.Log(),
              ElementsAre("Added 901 {}", "Added 902 {}", "Updated 901 {Xan_UserName=ann}"));
}

// Whole contents are the server's word on the queue: a cached queue that
// missed changes is put right by a later monitor's load, and the monitors
// already live are told the differences.
TEST_F(ActivationTest, WholeContentsPutRightACachedQueueThatMissedChanges) {
  const CEntityId queue = UserQueue(1032);
  ServeQueue(queue, {.events = {Added(801), Added(802)}}, {Xan_State});
  RecordingMonitor first;
  first.Activate(queue, {Xan_State}, true);
  // 801 left and 803 came while their notifications were lost.
  ServeQueue(queue, {.events = {Added(802), Added(803)}});
  RecordingMonitor second;
  second.Activate(queue, {Xan_State}, true);
  EXPECT_THAT(first.Log(),
              ElementsAre("Added 801 {}", "Added 802 {}", "Added 803 {}", "Removed 801"));
  EXPECT_THAT(second.Log(), ElementsAre("Added 802 {}", "Added 803 {}"));
  EXPECT_FALSE(Cache().IsInteractionInQueue(queue, 801));
  EXPECT_EQ(Cache().CachedInteractionCount(), 2u);
  // An answer to no request of this process settles nothing.
  CMessage unasked = MonitorResponse(queue, {}, {.events = {Added(804)}});
  Cache().OnAsyncResponseSuccess(999, unasked);
  EXPECT_TRUE(Cache().IsInteractionInQueue(queue, 802));
}

}  // namespace
}  // namespace QueueManager::testing
