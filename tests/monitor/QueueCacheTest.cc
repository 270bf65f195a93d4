// The monitor cache and the queue, media type and TS server monitors against
// the scripted server, alone and many at once on several threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "CacheTestSupport.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Thread.h"
#include "QueueManager/Platform/Trace.h"
#include "QueueManager/TsServerMonitor.h"
#include "monitor/CacheTrace.h"
#include "monitor/CallbackGate.h"
#include "monitor/MediaTypeEntity.h"
#include "monitor/QmCache.h"
#include "monitor/QueueMonitorProxy.h"
#include "platform/notifier/NullConnection.h"
#include "platform/trace/TraceCapture.h"
#include "support/Waits.h"

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

// A big answer is applied part by part: a query from a callback of the load
// sees every interaction reported so far, and the later part only once it
// was applied.
TEST_F(ActivationTest, QueriesDuringABigLoadSeeWhatWasReportedSoFar) {
  const CEntityId queue = UserQueue(1003);
  QueueBody body;
  for (std::uint32_t id = 1; id <= 1000; ++id) body.events.push_back(Added(id));
  ServeQueue(queue, body);
  RecordingMonitor monitor;
  std::vector<std::size_t> seen;  // contents sizes, on the delivery thread
  monitor.hook = [&](const std::string&) {
    std::vector<InteractionId> ids;
    Cache().QueryQueueContents(queue, ids);
    seen.push_back(ids.size());
  };
  monitor.Activate(queue, {Xan_State}, false);
  AwaitLog(monitor, 1000);
  ASSERT_EQ(monitor.Log().size(), 1000u);
  for (std::size_t k = 0; k < seen.size(); ++k) ASSERT_GT(seen[k], k) << k;
  EXPECT_LT(seen.front(), 1000u);
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

// Live notifications, queue removal, the all-queues entity and hostile
// messages, against the scripted server.

class NotificationTest : public MonitorCacheTest {
 protected:
  // A monitor of `queue` that has loaded an empty queue and registered 38.
  void Attach(RecordingMonitor& monitor, const CEntityId& queue,
              std::vector<CQmAttributeName> names = {Xan_State}) {
    ServeQueue(queue, {}, {Xan_State});
    monitor.Activate(queue, names, true);
  }
};

// A number far below the last one applied is a count that started again or
// a last number that was forged: the body is taken and the queue reloaded,
// so that no number freezes the queue. Repeats just below are skipped.
TEST_F(NotificationTest, NoSequenceNumberFreezesTheQueue) {
  const CEntityId queue = UserQueue(2002);
  RecordingMonitor monitor;
  Attach(monitor, queue);
  const std::tuple<std::uint64_t, bool, std::size_t> rows[] = {{10, true, 0},
                                                               {10, false, 0},
                                                               {UINT64_MAX, true, 0},
                                                               {11, true, 1},
                                                               {11, false, 1},
                                                               {1, false, 1},
                                                               {11 + kSequenceWindow + 1, true, 1},
                                                               {1, true, 2}};
  std::uint32_t id = 100;
  for (const auto& [sequence, applied, reloads] : rows) {
    SCOPED_TRACE(sequence);
    Publish(queue, {.events = {Added(++id)}, .trailer = true, .sequence = sequence});
    EXPECT_EQ(Cache().IsInteractionInQueue(queue, id), applied);
    EXPECT_EQ(MonitorRequests(kCacheReloadEvent).size(), reloads);
  }
}

// Events reach the monitors in order; the cache keeps what they leave: the
// attributes, the second statistics, the object types.
TEST_F(NotificationTest, EventsReachTheMonitorsInOrderAndTheCacheFollowsThem) {
  const CEntityId queue = UserQueue(2001);
  RecordingMonitor monitor;
  Attach(monitor, queue);
  EventFields both = Added(2);
  both.removed = true;
  Publish(queue, {.stats = Stats(3),
                  .events = {Added(1, Attributes({{Xan_State, "A"}})),
                             Updated(1, Attributes({{Xan_State, "C"}})),
                             // Not a monitored name: stored, not delivered.
                             Updated(1, Attributes({{Xan_UserName, "ann"}})),
                             Updated(1, Attributes({{Xan_UserName, "bob"}, {Xan_State, "H"}})),
                             Removed(1), both}});
  EXPECT_THAT(monitor.Log(), ElementsAre("Added 1 {Xan_State=A}", "Updated 1 {Xan_State=C}",
                                         "Updated 1 {Xan_State=H,Xan_UserName=bob}", "Removed 1",
                                         "Added 2 {}", "Removed 2", "Stats 3"));
  EXPECT_EQ(Cache().CachedInteractionCount(), 0u);

  EventFields chat = Added(3, Attributes({{Xan_State, "A"}}));
  chat.type = W4Notifier::eChatConferenceInteraction;
  CQmQueueStats2 stats2;
  stats2.SetTotalConnectionCallCount(5);
  stats2.media_type_maps()[W4Notifier::eGenericObject].Alerting = 2;
  Publish(queue, {.events = {chat}, .trailer = true, .stats2 = stats2});
  CQmQueueStats2 cached;
  EXPECT_TRUE(Cache().QueryStatistics(queue, cached));
  EXPECT_EQ(cached, stats2);
  // The object type of a cached interaction is answered without a request.
  server_->ClearTraffic();
  EXPECT_EQ(InteractionId(3).QueryObjectType(), W4Notifier::eChatConferenceInteraction);
  EXPECT_EQ(Cache().QueryUnderlyingEntityId(3),
            CEntityId(W4Notifier::eChatConferenceInteraction, 3u));
  EXPECT_THAT(server_->Requests(), IsEmpty());
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(3, Xan_State, value));
  EXPECT_EQ(value, "A");
  // Monitored but never sent: a definitive empty answer.
  Publish(queue, {.events = {Updated(3, Attributes({{Xan_UserName, "ann"}}))}});
  EXPECT_TRUE(Cache().QueryAttribute(3, Xan_UserName, value));
  EXPECT_EQ(value, "ann");
  EXPECT_FALSE(Cache().QueryAttribute(3, Xan_AccountCode, value));
  EXPECT_TRUE(value.empty());
  std::vector<CQmAttributeValue> values;
  EXPECT_FALSE(Cache().QueryAttributes(3, {Xan_State, Xan_AccountCode}, values));
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0], "A");
  EXPECT_TRUE(Cache().SetAttribute(3, Xan_State, CQmAttributeValue("H")));
  EXPECT_FALSE(Cache().SetAttribute(3, Xan_State, CQmAttributeValue("H")));
  EXPECT_FALSE(Cache().SetAttribute(3, Xan_AccountCode, CQmAttributeValue("x")));
  EXPECT_FALSE(Cache().SetAttribute(99, Xan_State, CQmAttributeValue("x")));
  Cache().SetAttributes(3, Attributes({{Xan_State, "M"}, {Xan_UserName, "cy"}}));
  EXPECT_TRUE(Cache().QueryAttributes(3, {Xan_State, Xan_UserName}, values));
  EXPECT_EQ(values[0], "M");
  EXPECT_EQ(values[1], "cy");
}

// Events and the removal of the queue reach every monitor, also when monitors
// deactivate themselves or others in their callbacks.
TEST_F(NotificationTest, MonitorsMayDeactivateThemselvesAndOthersInCallbacks) {
  const CEntityId queue = UserQueue(2007);
  RecordingMonitor deactivatesItself;
  Attach(deactivatesItself, queue);
  RecordingMonitor deactivatesOther;
  deactivatesOther.Activate(queue, {Xan_State}, true);
  RecordingMonitor victim;
  victim.Activate(queue, {Xan_State}, true);
  deactivatesItself.hook = [&](const std::string&) { deactivatesItself.Deactivate(); };
  deactivatesOther.hook = [&](const std::string&) { victim.Deactivate(); };

  Publish(queue, {.exists = false});
  EXPECT_THAT(deactivatesItself.Log(), ElementsAre("QueueRemoved"));
  EXPECT_THAT(deactivatesOther.Log(), ElementsAre("QueueRemoved"));
  EXPECT_THAT(victim.Log(), IsEmpty());
  // The queue is gone with its interactions, though a monitor is still attached.
  EXPECT_EQ(Cache().CachedQueueCount(), 0u);
  EXPECT_EQ(Cache().CachedInteractionCount(), 0u);
  EXPECT_FALSE(Cache().IsSubscribed(queue));
  deactivatesOther.Deactivate();
}

// A notification or answer for an uncached queue creates no record; an answer
// to no request of this process updates the cached queues without callbacks
// (no monitor waits for it); a malformed answer leaves a first activation
// pending.
TEST_F(NotificationTest, UnaskedAnswersOnlyUpdateCachedQueues) {
  const CEntityId cached = UserQueue(2011);
  RecordingMonitor watcher;
  Attach(watcher, cached);
  CMessage message = Notification({.stats = Stats(1),
                                   .events = {Added(141, Attributes({{Xan_State, "A"}}))},
                                   .trailer = true,
                                   .stats2 = CQmQueueStats2()});
  message.SetEntity(UserQueue(2014));
  Cache().OnMessageReceived(message);
  // Two sections, each without the optional trailer.
  CMessage response;
  WriteServerTime(response, LocalUtcSeconds());
  WriteSection(response, cached, {}, {.events = {Added(111)}});
  WriteSection(response, UserQueue(2014), {}, {.events = {Added(142)}});
  response.SetEventId(kMonitorQueueEvent);
  Cache().OnAsyncResponseSuccess(777, response);
  EXPECT_THAT(watcher.Log(), IsEmpty());
  EXPECT_TRUE(Cache().IsInteractionInQueue(cached, 111));
  EXPECT_EQ(Cache().CachedQueueCount(), 1u);
  EXPECT_EQ(Cache().CachedInteractionCount(), 1u);
  CQmQueueStats2 stats2;
  EXPECT_FALSE(Cache().QueryStatistics(UserQueue(2014), stats2));

  CMessage malformed;
  WriteServerTime(malformed, LocalUtcSeconds());
  malformed << std::int32_t{9} << std::int32_t{2103} << std::int32_t{2000000000};
  server_->Respond(ServerEntity(), kMonitorQueueEvent, malformed);
  RecordingMonitor monitor;
  monitor.Activate(UserQueue(2103), {Xan_State}, true);
  EXPECT_EQ(Cache().PendingMonitorCount(), 1u);
  EXPECT_EQ(Cache().CachedQueueCount(), 2u);
}

// An all-queues monitor loads every section of its answer, then receives each
// event of every queue of the type once.
TEST_F(NotificationTest, AllQueuesMonitorLoadsEverySectionAndReceivesEachEventOnce) {
  const CEntityId queue = UserQueue(2009);
  RecordingMonitor single;
  Attach(single, queue);
  CMessage response;
  WriteServerTime(response, LocalUtcSeconds());
  WriteSection(response, UserQueue(2030), {}, {.stats = Stats(3), .events = {Added(31)}});
  WriteSection(response, UserQueue(2031), {}, {.events = {Added(32)}});
  server_->Respond(ServerEntity(), kMonitorQueueEvent, response);
  RecordingMonitor all;
  all.Activate(AllUserQueues(), {Xan_State}, true);

  Publish(queue, {.events = {Added(91)}});
  Publish(AllUserQueues(), {.events = {Added(92)}});
  Publish(UserQueue(2010), {.events = {Added(93)}});  // watched by the all-queues monitor only
  EXPECT_THAT(single.Log(true), ElementsAre("q2009 Added 91 {}"));
  EXPECT_THAT(all.Log(true),
              ElementsAre("q2030 Added 31 {}", "q2030 Stats 3", "q2031 Added 32 {}",
                          "q2009 Added 91 {}", "q4294967295 Added 92 {}", "q2010 Added 93 {}"));
  std::vector<InteractionId> contents;
  all.QueryContents(contents);
  EXPECT_THAT(contents, ::testing::UnorderedElementsAre(31u, 32u, 91u, 92u, 93u));
  Publish(UserQueue(2010), {.events = {Removed(93)}});
  Publish(UserQueue(2031), {.exists = false});
  EXPECT_FALSE(all.Contains(93));
  EXPECT_FALSE(all.Contains(32));
  EXPECT_TRUE(all.Contains(31));
  EXPECT_TRUE(single.Contains(91));

  CQmQueueStats untouched = Stats(50);
  all.QueryStatistics(untouched);
  EXPECT_EQ(untouched, Stats(50));
}

// ---- hostile input ----

struct HostileCase {
  const char* name;
  void (*fill)(CMessage&);  // after a valid time header, unless `timed` is false
  bool timed = true;
};

class HostileMessageTest : public NotificationTest,
                           public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileMessageTest, IsDroppedWithAFailureTraceAndHarmsNoOtherQueue) {
  const W4Trace::testing::TraceCapture capture(W4Trace::kLevelFailure);
  const CEntityId victim = UserQueue(2100);
  const CEntityId target = UserQueue(2101);
  RecordingMonitor victimMonitor;
  Attach(victimMonitor, victim);
  Publish(victim, {.stats = Stats(4), .events = {Added(7, Attributes({{Xan_State, "C"}}))}});
  RecordingMonitor targetMonitor;
  Attach(targetMonitor, target);

  CMessage message;
  if (GetParam().timed) WriteServerTime(message, LocalUtcSeconds());
  GetParam().fill(message);
  PublishRaw(target, message);
  EXPECT_TRUE(capture.Has(W4Trace::kLevelFailure, "dropped"));
  EXPECT_THAT(targetMonitor.Log(), IsEmpty());
  EXPECT_TRUE(Cache().IsInteractionInQueue(victim, 7));
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(7, Xan_State, value));
  EXPECT_EQ(value, "C");
  CQmQueueStats stats;
  EXPECT_TRUE(Cache().QueryStatistics(victim, stats));
  EXPECT_EQ(stats, Stats(4));
  // The target queue still works.
  Publish(target, {.events = {Added(12)}});
  EXPECT_THAT(targetMonitor.Log(), ElementsAre("Added 12 {}"));
}

const HostileCase kHostileCases[] = {
    {"Truncated",  // cut in the middle of its event
     [](CMessage& m) { m << true << false << std::uint32_t{1} << std::int32_t{70}; }},
    // An int where "queue exists" (bool) belongs.
    {"WrongFieldType", [](CMessage& m) { m << std::int32_t{1}; }},
    {"HugeEventCount", [](CMessage& m) { m << true << false << std::uint32_t{2000000000}; }},
    {"HugeMapCount",
     [](CMessage& m) {
       m << true << false << std::uint32_t{1} << std::int32_t{70} << std::int32_t{11} << true
         << false << std::int32_t{2000000000};
     }},
    {"NoTimeHeader", [](CMessage& m) { m << true; }, false},
};
INSTANTIATE_TEST_SUITE_P(Cases, HostileMessageTest, ::testing::ValuesIn(kHostileCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(NotificationTest, WhatPrecedesAMalformedEventIsKept) {
  const CEntityId queue = UserQueue(2102);
  RecordingMonitor monitor;
  Attach(monitor, queue);
  // Two events, announced as three: the third is missing.
  CMessage lying;
  WriteServerTime(lying, LocalUtcSeconds());
  lying << true << false << std::uint32_t{3};
  for (std::uint32_t id : {21u, 22u}) {
    lying << std::int32_t{70} << static_cast<std::int32_t>(id) << true << false;
    CQmAttributeMap().Write(lying);
  }
  PublishRaw(queue, lying);
  EXPECT_THAT(monitor.Log(), ElementsAre("Added 21 {}", "Added 22 {}"));
}

TEST_F(NotificationTest, MonitorMovedToAnotherQueueInItsCallbackHearsNothingMoreOfTheOld) {
  const CEntityId first = UserQueue(2020);
  const CEntityId second = UserQueue(2021);
  ServeQueue(second, {.events = {Added(8)}});
  RecordingMonitor monitor;
  Attach(monitor, first);
  monitor.hook = [&](const std::string& entry) {
    if (entry != "Added 7 {}") return;
    monitor.Deactivate();
    monitor.Activate(second, {Xan_State}, true);
  };
  Publish(first, {.stats = Stats(7), .events = {Added(7), Removed(7)}});
  AwaitLog(monitor, 2);
  EXPECT_THAT(monitor.Log(true), ElementsAre("q2020 Added 7 {}", "q2021 Added 8 {}"));
  // The old queue's last monitor left inside the callback: the rest of the
  // message is not applied, and the queue is gone once the callback is over.
  EXPECT_FALSE(Cache().IsSubscribed(first));
  EXPECT_EQ(Cache().CachedQueueCount(), 1u);
  EXPECT_EQ(Cache().CachedInteractionCount(), 1u);
}

// The reload of the cache after a renegotiated connection, and the seam to
// the interaction monitors.

// Interaction monitors as the cache sees them: one watched interaction with
// one attribute.
class FakeStore : public IInteractionMonitorStore {
 public:
  bool QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                      CQmAttributeValue& value) override {
    if (id != kWatched || name != Xan_UserName) return false;
    value = "watched";
    return true;
  }
  W4Notifier::ObjectTypes QueryObjectType(std::uint32_t id) override {
    return id == kWatched ? W4Notifier::eGenericObject2 : W4Notifier::eObjectTypeNone;
  }
  void CollectWatchedInteractions(std::vector<std::uint32_t>& ids) override {
    ids.push_back(kWatched);
  }

  static constexpr std::uint32_t kWatched = 5000;
};

class ReloadTest : public MonitorCacheTest {
 protected:
  // Renegotiates with the server answering the reload request with `reload`.
  void Renegotiate(const CMessage& reload) {
    server_->Respond(ServerEntity(), kCacheReloadEvent, reload);
    connection_->Renegotiate();
    server_->WaitIdle();
  }
};

// The reload reconciles what changed meanwhile and removes the queues that
// are gone; the sections read are delivered though the rest is malformed.
TEST_F(ReloadTest, ReconcilesTheQueuesAndRemovesThoseThatAreGone) {
  const CEntityId queue = UserQueue(3001);
  const CEntityId gone = UserQueue(3002);
  ServeQueue(queue, {.events = {Added(1, Attributes({{Xan_State, "A"}})), Added(2)}}, {Xan_State});
  ServeQueue(gone, {.events = {Added(21)}});
  RecordingMonitor monitor;
  monitor.Activate(queue, {Xan_State}, true);
  monitor.ClearLog();
  RecordingMonitor goneMonitor;
  goneMonitor.Activate(gone, {Xan_State}, true);
  goneMonitor.ClearLog();

  CMessage reload;
  WriteServerTime(reload, LocalUtcSeconds());
  // Interaction 1 changed, 2 left, 3 joined (the server does not mark it
  // added: the cache works that out).
  WriteSection(
      reload, queue, {},
      {.stats = Stats(9), .events = {Updated(1, Attributes({{Xan_State, "C"}})), Updated(3, {})}});
  WriteSection(reload, gone, {}, {.exists = false});
  reload << std::int32_t{9} << std::int32_t{3004} << true;  // a bool where names belong
  Renegotiate(reload);

  EXPECT_THAT(MonitorRequests(kCacheReloadEvent),  // the queues in the cache's order
              ElementsAre(::testing::AnyOf("int 2, int 9, int 3001, int 9, int 3002",
                                           "int 2, int 9, int 3002, int 9, int 3001")));
  EXPECT_THAT(monitor.Log(),
              ElementsAre("Stats 9", "Updated 1 {Xan_State=C}", "Added 3 {}", "Removed 2"));
  EXPECT_THAT(goneMonitor.Log(), ElementsAre("QueueRemoved"));
  EXPECT_EQ(Cache().CachedQueueCount(), 1u);
  EXPECT_EQ(Cache().CachedInteractionCount(), 2u);
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(1, Xan_State, value));
  EXPECT_EQ(value, "C");
}

// An all-queues answer after a renegotiation lists the queues there are: one
// removed while the connection was down is told as removed, its members are
// forgotten, and a queue of that id made again later starts empty.
TEST_F(ReloadTest, AQueueAllQueuesAnswersNoLongerListIsRemoved) {
  const auto answer = [](bool withGone) {
    CMessage response;
    WriteServerTime(response, LocalUtcSeconds());
    WriteSection(response, AllUserQueues(), {}, {});
    WriteSection(response, UserQueue(3010), {}, {.events = {Added(11)}});
    if (withGone) WriteSection(response, UserQueue(3011), {}, {.events = {Added(12), Added(13)}});
    return response;
  };
  server_->Respond(ServerEntity(), kMonitorQueueEvent, answer(true));
  RecordingMonitor all;
  all.Activate(AllUserQueues(), {}, true);
  all.ClearLog();
  server_->Respond(ServerEntity(), kMonitorQueueEvent, answer(false));
  CMessage reload;
  WriteServerTime(reload, LocalUtcSeconds());
  Renegotiate(reload);
  AwaitLog(all, 1);
  EXPECT_THAT(all.Log(true), ElementsAre("q3011 QueueRemoved"));
  EXPECT_FALSE(Cache().QueryUnderlyingEntityId(12).IsSet());
  EXPECT_TRUE(all.Contains(11));

  all.ClearLog();
  Publish(UserQueue(3011), {.events = {Added(12), Removed(13)}});
  EXPECT_THAT(all.Log(true), ElementsAre("q3011 Added 12 {}"));
}

// The interactions the monitors watch are reloaded with the queues; the
// monitors refresh them on their own, so nobody is called back for them.
TEST_F(ReloadTest, InteractionMonitorsAreAskedForTheirInteractions) {
  Cache().OnConnectionRenegotiated();  // nothing cached: nothing sent
  server_->WaitIdle();
  EXPECT_THAT(server_->RequestsTo(ServerEntity(), kCacheReloadEvent), IsEmpty());
  FakeStore store;
  Cache().SetInteractionMonitorStore(&store);
  const CEntityId queue = UserQueue(3005);
  ServeQueue(queue, {});
  RecordingMonitor monitor;
  monitor.Activate(queue, {Xan_State}, true);

  // Lookups the cache cannot answer go to the store.
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(FakeStore::kWatched, Xan_UserName, value));
  EXPECT_EQ(value, "watched");
  EXPECT_FALSE(Cache().QueryAttribute(FakeStore::kWatched, Xan_State, value));
  server_->ClearTraffic();
  EXPECT_EQ(InteractionId(FakeStore::kWatched).QueryObjectType(), W4Notifier::eGenericObject2);
  EXPECT_THAT(server_->Requests(), IsEmpty());

  CMessage reload;
  WriteServerTime(reload, LocalUtcSeconds());
  reload << std::int32_t{30} << std::int32_t{5000};  // an interaction record
  reload << std::int32_t{30} << std::int32_t{5000} << true << false;
  Attributes({{Xan_State, "H"}}).Write(reload);
  Renegotiate(reload);
  EXPECT_THAT(MonitorRequests(kCacheReloadEvent),
              ElementsAre("int 2, int 9, int 3005, int 30, int 5000"));
  Cache().SetInteractionMonitorStore(nullptr);
}

// A TS server monitor alone: the cache holds no subscription and the
// monitor's inbox hears nothing of the renegotiation, yet the entity it holds
// is reloaded, and what changed meanwhile reaches the cache.
TEST_F(ReloadTest, AnEntityHeldByATsServerMonitorAloneIsReloaded) {
  RecordingTsMonitor ts(true);
  const CEntityId calls = MediaTypeEntity(W4Notifier::eGenericObject);
  ServeQueue(calls, {.events = {Added(1, Attributes({{Xan_State, "A"}}))}}, {Xan_State});
  ts.Activate(W4Notifier::eGenericObject, {Xan_State});
  CMessage reload;
  WriteServerTime(reload, LocalUtcSeconds());
  WriteSection(reload, calls, {}, {.events = {Added(1, Attributes({{Xan_State, "B"}})), Added(2)}});
  Renegotiate(reload);
  EXPECT_THAT(MonitorRequests(kCacheReloadEvent),
              ElementsAre(fmt::format("int 1, int 125, int {}",
                                      static_cast<std::int32_t>(calls.QueryObjectId()))));
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(1, Xan_State, value));
  EXPECT_EQ(value, "B");
  EXPECT_TRUE(Cache().IsInteractionInQueue(calls, 2));
}

// The public queue monitors: copies, the multi-queue monitor, the clock skew
// request and the traces of the cache.

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

// The media type and TS server monitors against the scripted server: what
// they report, what they leave in the cache, how they end, and many of them
// coming and going on several threads while events arrive.

using W4Notifier::eGenericObject;

// The media type entity of eGenericObject interactions.
CEntityId Calls() { return MediaTypeEntity(eGenericObject); }
CQmAttributeMap State(const char* value) { return Attributes({{Xan_State, value}}); }

template <class T>
constexpr bool kCopyable = std::is_copy_constructible_v<T> || std::is_copy_assignable_v<T>;
static_assert(!kCopyable<CQmMediaTypeMonitor> && !kCopyable<CQmTsServerMonitor>);

std::string LoadOfCalls(bool adding, int name) {
  return fmt::format("bool {}, int 125, int {}, int 1, int {}", adding,
                     static_cast<std::int32_t>(Calls().QueryObjectId()), name);
}

class MediaMonitorsTest : public MonitorCacheTest {};

TEST_F(MediaMonitorsTest, MediaTypeAndTsServerMonitorsShareTheMediaTypeEntity) {
  const CEntityId chats = MediaTypeEntity(W4Notifier::eChatConferenceInteraction);
  ServeQueue(Calls(), {.events = {Added(1, State("C"))}}, {Xan_State});
  ServeQueue(chats, {.events = {Added(7)}});
  RecordingTsMonitor(false);  // never activated: ends at once
  RecordingTsMonitor ts(false);
  ts.Activate(eGenericObject, {Xan_State});
  ts.Activate(W4Notifier::eChatConferenceInteraction, {Xan_State});  // ignored
  ts.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
  RecordingMediaMonitor monitor;
  monitor.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));  // inactive: nothing
  EXPECT_THAT(MonitorRequests(),
              ElementsAre(LoadOfCalls(false, Xan_State), LoadOfCalls(true, Xan_UserName)));
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(1, Xan_State, value) && value == "C");  // loaded silently
  monitor.Activate(eGenericObject, {Xan_State}, true);
  Publish(Calls(), {.stats = Stats(1),
                    .events = {Added(2), Updated(2, State("H")),
                               Updated(2, Attributes({{Xan_UserName, "u"}})), Removed(1)}});
  monitor.Activate(u"ChatConference", {Xan_State}, true);  // replaces the first
  EXPECT_EQ(CQueueMonitorProxy::ActiveCount(), 1u);        // nothing orphaned
  EXPECT_EQ(Cache().CachedQueueCount(), 2u);               // the media type stays, held by `ts`
  EXPECT_FALSE(Cache().IsSubscribed(Calls()));
  Publish(Calls(), {.events = {Added(3)}});
  Publish(chats, {.events = {Added(8)}});
  EXPECT_THAT(monitor.log->Lines(), ElementsAre("1 {Xan_State=C}", "2 {}", "2 {Xan_State=H}",
                                                "1 Deallocated", "7 {}", "8 {}"));
  EXPECT_THAT(ts.log->Lines(), IsEmpty());  // nothing monitored
}

// One batch: the worker is held in the callback of interaction 1 (which then
// throws) while a malformed message and `events` are published, one message
// each, then 999 (reported last).
struct BatchCase {
  bool monitorAll;
  std::vector<EventFields> events;
  std::vector<std::string> reported;
  std::vector<InteractionId> cached;  // on the entity afterwards (1 is from the load)
};

class TsBatchTest : public MediaMonitorsTest, public ::testing::WithParamInterface<BatchCase> {};

TEST_P(TsBatchTest, ReportsOneMergedMapPerInteractionAndUpdatesTheCache) {
  const BatchCase& c = GetParam();
  auto capture = std::make_shared<W4Trace::CCaptureSink>();
  W4Trace::AddSink(capture);
  W4Trace::QueueManagerTopic().SetLevel(W4Trace::kLevelFailure);
  ServeQueue(Calls(), {.events = {Added(1)}});
  RecordingTsMonitor monitor(c.monitorAll);
  for (const std::uint32_t id : {1u, 5u, 999u}) monitor.MonitorInteraction(id);
  W4Os::CEvent held(true), release(true), done(true);
  monitor.hook = [&](std::uint32_t id) {
    if (id == 999) done.Set();
    if (id != 1) return;
    held.Set();
    release.Wait();
    throw std::runtime_error("callback failed");
  };
  monitor.Activate(eGenericObject, {Xan_State});
  Publish(Calls(), {.events = {Updated(1, State("G"))}});
  held.Wait();
  PublishRaw(Calls(), CMessage() << true);  // a bool where the time header belongs
  for (const EventFields& event : c.events) Publish(Calls(), {.events = {event}});
  Publish(Calls(), {.events = {Updated(999, State("S"))}});
  release.Set();
  done.Wait();
  W4Trace::QueueManagerTopic().SetLevel(W4Trace::kLevelOff);
  W4Trace::RemoveSink(capture);
  EXPECT_EQ(monitor.log->Lines(), c.reported);
  EXPECT_TRUE(capture->Contains("Malformed notification") && capture->Contains("callback failed"));
  std::vector<InteractionId> cached;
  Cache().QueryQueueContents(Calls(), cached);
  EXPECT_THAT(cached, ::testing::UnorderedElementsAreArray(c.cached));
}

// Monitored (1, 5 and 999): 5's updates merge, then it leaves and is no
// longer reported; monitor-all reports each interaction by ascending id.
INSTANTIATE_TEST_SUITE_P(
    Batches, TsBatchTest,
    ::testing::Values(
        BatchCase{false,
                  {Added(6, State("B")), Added(5, State("A")),
                   Updated(5, Attributes({{Xan_UserName, "u"}})), Updated(5, State("H")), Added(7),
                   Removed(5), Updated(5, State("X")), Removed(1)},
                  {"1 {Xan_State=G}", "5 {Xan_State=H,Xan_UserName=u}", "999 {Xan_State=S}"},
                  {6, 7}},
        BatchCase{true,
                  {Added(7, State("B")), Updated(6, State("A"))},
                  {"1 {Xan_State=G}", "6 {Xan_State=A}", "7 {Xan_State=B}", "999 {Xan_State=S}"},
                  {1, 7}}));

// A TS server monitor ended by its own callback of interaction 5, with 6
// still to report: deactivated there (and deleted on another thread later),
// or deleted there. Its worker ends without hanging, and reports nothing
// more.
class TsEndingTest : public MediaMonitorsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TsEndingTest, EndedInsideItsCallbackStopsTheWorkerWithoutLaterCallbacks) {
  const bool deletedInside = GetParam();
  ServeQueue(Calls(), {});
  auto* monitor = new RecordingTsMonitor(true);
  const std::shared_ptr<WaitableLog> log = monitor->log;
  W4Os::CEvent inside(true);
  monitor->hook = [&, monitor](std::uint32_t id) {
    if (id != 5) return;
    if (deletedInside) {
      delete monitor;
    } else {
      monitor->Deactivate();
    }
    inside.Set();
  };
  monitor->Activate(eGenericObject, {Xan_State});
  Publish(Calls(), {.events = {Updated(5, State("A")), Updated(6, State("A"))}});
  inside.Wait();
  if (!deletedInside) std::thread([monitor] { delete monitor; }).join();
  const std::vector<std::string> reported = log->Lines();
  Publish(Calls(), {.events = {Updated(5, State("B"))}});
  EXPECT_EQ(log->Lines(), reported);
  EXPECT_EQ(reported.size(), 1u);  // 6 was never reported
}

INSTANTIATE_TEST_SUITE_P(Endings, TsEndingTest, ::testing::Bool());

// Activated on a delivery thread, a TS server monitor cannot wait for its
// media type's answer, which that thread delivers later; the inbox already
// holds a change the server made after that answer. The cache must end with
// the change, not with the answer applied over it.
TEST_F(MediaMonitorsTest, ATsServerMonitorActivatedOnADeliveryThreadAppliesItsInboxAfterTheAnswer) {
  const CEntityId trigger = UserQueue(60);
  ServeQueue(trigger, {});
  ServeQueue(Calls(), {.events = {Added(1, State("C"))}}, {Xan_State});
  // A request handled after the answer to the load, publishing the change.
  constexpr int kAfterTheAnswer = 99;
  server_->Handle(ServerEntity(), kAfterTheAnswer, [this](const CMessage&) {
    server_->Publish(Calls(), kMonitorQueueEvent,
                     Notification({.events = {Updated(1, State("H"))}}));
    return CScriptedReply::Respond();
  });
  RecordingTsMonitor ts(true);
  W4Os::CEvent reported(true);
  ts.hook = [&](std::uint32_t) { reported.Set(); };
  RecordingMonitor onDelivery;
  onDelivery.hook = [&](const std::string& entry) {
    if (entry.rfind("Added 9", 0) != 0) return;
    ts.Activate(eGenericObject, {Xan_State});
    std::thread([] {
      W4Notifier::CRequestObject request(ServerEntity(), kAfterTheAnswer);
      W4Notifier::CResponseObject response;
      request.Send(response, W4Notifier::CNotifierTimeout::Query());
    }).join();
    // Without the wait for the answer the worker applies the change now.
    reported.Wait(2000);
  };
  onDelivery.Activate(trigger, {Xan_State}, true);
  Publish(trigger, {.events = {Added(9)}});
  ASSERT_TRUE(reported.Wait(10000));
  server_->WaitIdle();
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(1, Xan_State, value));
  EXPECT_EQ(value, "H");
}

// A media type monitor and a TS server monitor on one media type: the
// cache's delivery thread is held in a callback while the server changes
// interaction 1 to "1", then "2"; the TS server monitor's worker meanwhile
// receives both. Every value seen in the cache, by either monitor's
// callbacks, follows the server's order.
TEST_F(MediaMonitorsTest, AMediaTypeAndATsServerMonitorOnOneMediaTypeApplyInOneOrder) {
  ServeQueue(Calls(), {.events = {Added(1, State("0"))}}, {Xan_State});
  std::mutex mutex;
  std::vector<std::string> seen;
  const auto see = [&] {
    CQmAttributeValue value;
    Cache().QueryAttribute(1, Xan_State, value);
    std::lock_guard lock(mutex);
    seen.push_back(fmt::format("{}", value));
  };
  W4Os::CEvent held(true), release(true), reported(true);
  RecordingTsMonitor ts(true);
  ts.hook = [&](std::uint32_t id) {
    if (id != 1) return;
    see();
    reported.Set();
  };
  ts.Activate(eGenericObject, {Xan_State});
  RecordingMediaMonitor media;
  media.Activate(eGenericObject, {Xan_State}, true);
  media.hook = [&](std::uint32_t id) {
    if (id == 1) see();
    if (id != 7) return;
    held.Set();
    release.Wait(10000);
  };
  server_->Publish(Calls(), kMonitorQueueEvent, Notification({.events = {Added(7, State("x"))}}));
  ASSERT_TRUE(held.Wait(10000));
  for (const char* value : {"1", "2"}) {
    server_->Publish(Calls(), kMonitorQueueEvent,
                     Notification({.events = {Updated(1, State(value))}}));
  }
  ASSERT_TRUE(reported.Wait(10000));
  release.Set();
  server_->WaitIdle();
  std::lock_guard lock(mutex);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << ::testing::PrintToString(seen);
}

// Monitors created, activated, told what to report, replaced and destroyed on
// three threads while the server publishes events. Checks: no data race or
// deadlock (ThreadSanitizer), no callback after Deactivate, and every end
// leaves the cache empty (the fixture's tear-down).
TEST_F(MediaMonitorsTest, StressMonitorsComeAndGoWhileEventsArrive) {
  ServeQueue(Calls(), {.events = {Added(1, State("C"))}});
  std::atomic<bool> publishing{true};
  std::atomic<int> lateCallbacks{0};
  std::thread publisher = W4Os::StartThread([&] {
    for (std::uint32_t i = 0; publishing; ++i) {
      Publish(Calls(), {.events = {Added(i % 20 + 1, State("A")), Removed((i + 10) % 20 + 1)}});
    }
  });
  const auto churn = [&](std::uint32_t first) {
    for (int round = 0; round < 100; ++round) {
      std::atomic<bool> ended{false};
      RecordingTsMonitor ts(round % 2 == 0);
      ts.hook = [&](std::uint32_t id) {  // widens its set from inside its callbacks
        lateCallbacks += ended ? 1 : 0;
        ts.MonitorInteraction(id + 1);
      };
      ts.Activate(eGenericObject, {Xan_State});
      for (std::uint32_t id = first; id < first + 8; ++id) ts.MonitorInteraction(id);
      ts.UnmonitorInteraction(first);
      RecordingMediaMonitor media;
      media.Activate(eGenericObject, {Xan_State}, round % 3 == 0);
      if (round % 4 == 0) ts.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
      media.Activate(eGenericObject, {Xan_State}, true);  // replaced
      ts.Deactivate();
      ended = true;
    }
  };
  std::thread churners[] = {W4Os::StartThread([&] { churn(1u); }),
                            W4Os::StartThread([&] { churn(2u); }),
                            W4Os::StartThread([&] { churn(3u); })};
  for (std::thread& churner : churners) W4Os::JoinThread(churner);
  publishing = false;
  W4Os::JoinThread(publisher);
  EXPECT_EQ(lateCallbacks, 0);
}

// Ends of media type and TS server monitors that the common lifetime cases
// do not reach: a deletion during a synchronous activation, and monitors
// outliving the cache at exit.

constexpr std::uint32_t kWaitMs = 10000;

class QuietMulti : public CQmMultiQueueMonitor {
 protected:
  void InteractionAdded(const CEntityId&, InteractionId, const CQmAttributeMap&) override {}
};

using StopTest = MonitorCacheTest;

// The monitor is deleted while another thread waits in Activate() for the
// media type's answer; that thread finishes the activation on nothing freed
// and leaves nothing held.
TEST_F(StopTest, ATsServerMonitorDeletedDuringItsActivationLeavesNothingBehind) {
  W4Os::CEvent loading(true), answer(true);
  server_->Handle(ServerEntity(), kMonitorQueueEvent, [&](const CMessage&) {
    loading.Set();
    answer.Wait(kWaitMs);
    return W4Notifier::CScriptedReply::Respond(MonitorResponse(Calls(), {}, {}));
  });
  auto* monitor = new RecordingTsMonitor(true);
  std::thread activator([&] { monitor->Activate(eGenericObject, {Xan_State}); });
  ASSERT_TRUE(loading.Wait(kWaitMs));
  delete monitor;
  answer.Set();
  activator.join();
  server_->WaitIdle();
  EXPECT_EQ(Cache().CachedQueueCount(), 0u);
}

// Monitors built before the cache are destroyed after it at exit: they must
// leave the dead cache alone. Run in a process of its own, whose cache is
// built by the first activation.
TEST(StopAtExitTest, MonitorsDestroyedAfterTheCacheLeaveItAlone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static QuietMulti multi;
        static RecordingMediaMonitor media;
        multi.Activate(UserQueue(3), {Xan_State}, true);
        media.Activate(eGenericObject, {Xan_State}, true);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Notifications applied on the delivery thread while application threads
// activate (synchronously and not), deactivate, destroy and re-create
// monitors at one address, and query the cache. The server keeps the true
// contents of each queue and answers loads from it, on its own thread and in
// order with its notifications, as a real server does. Checks: the monitors
// that stayed active saw exactly the published events, in order; every
// monitor's view built from its callbacks never adds an interaction twice nor
// removes one it does not hold (a snapshot and the events after it were
// applied in one order); no callback ran after Deactivate returned, nor
// reached a later monitor at the same address.

using ::testing::ElementsAreArray;

constexpr std::uint32_t kStableQueues = 4;
constexpr std::uint32_t kChurnOnlyQueues = 2;
constexpr std::uint32_t kQueues = kStableQueues + kChurnOnlyQueues;
constexpr std::uint32_t kFirstQueue = 9001;
constexpr int kRounds = 150;
constexpr int kChurnThreads = 3;
// Publishing goes on until the churn threads have made this many monitors.
constexpr int kMinChurnedMonitors = 300;
// One-way requests to this entity make the server change a queue and publish.
const CEntityId kPublisher(W4Notifier::eGenericObject, 77u);
constexpr int kPublishEvent = 1;

std::atomic<int> g_lateCallbacks{0};
std::atomic<int> g_misdirected{0};
std::atomic<int> g_doubleAdds{0};
std::atomic<int> g_phantomRemoves{0};

CEntityId QueueNumber(std::uint32_t index) { return UserQueue(kFirstQueue + index); }

// A short-lived monitor that keeps the view its callbacks build and counts
// what no sound delivery would do.
class ChurnMonitor : public CQmQueueMonitor {
 public:
  ChurnMonitor(const CEntityId& queue, bool deactivateInCallback)
      : queue_(queue), deactivateInCallback_(deactivateInCallback) {}
  ~ChurnMonitor() override { Stop(); }
  void Stop() {
    Deactivate();
    stopped_ = true;
  }

 protected:
  void AttributesUpdated(const CEntityId& queue, InteractionId id,
                         const CQmAttributeMap&) override {
    Check(queue, id);
  }
  void InteractionAdded(const CEntityId& queue, InteractionId id, const CQmAttributeMap&) override {
    Check(queue, id);
    std::lock_guard lock(mutex_);
    if (!view_.insert(id.QueryObjectId()).second) ++g_doubleAdds;
  }
  void InteractionRemoved(const CEntityId& queue, InteractionId id) override {
    Check(queue, id);
    std::lock_guard lock(mutex_);
    if (view_.erase(id.QueryObjectId()) == 0) ++g_phantomRemoves;
  }
  void StatisticsUpdate(const CEntityId& queue, const CQmQueueStats&) override { Check(queue, 0); }
  void QueueRemoved(const CEntityId& queue) override { Check(queue, 0); }

 private:
  void Check(const CEntityId& queue, InteractionId id) {
    if (stopped_) ++g_lateCallbacks;
    if (queue != queue_) ++g_misdirected;  // meant for an earlier monitor here
    // Callbacks may call back into the cache.
    Contains(id);
    if (deactivateInCallback_) Stop();
  }
  const CEntityId queue_;
  const bool deactivateInCallback_;
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::set<std::uint32_t> view_;
};

class CacheStressTest : public MonitorCacheTest {
 protected:
  void SetUp() override {
    MonitorCacheTest::SetUp();
    // Loads are answered from the server's contents, an all-queues load with
    // a section for each queue; an adding load carries attribute values only.
    // Reloads are refused. Requests are handled on one server thread, so an
    // answer holds every change published before it, and none after.
    server_->Handle(ServerEntity(), kMonitorQueueEvent, [this](const CMessage& request) {
      const LoadRequest load = ReadLoadRequest(request);
      const bool adding = load.adding;
      const auto section = [&](CMessage& answer, const CEntityId& listed) {
        QueueBody body{.stats = Stats(1)};
        std::lock_guard lock(modelMutex_);
        for (const std::uint32_t member : model_[listed]) {
          const CQmAttributeMap attributes = Attributes({{Xan_State, "b"}});
          body.events.push_back(adding ? Updated(member, attributes) : Added(member, attributes));
        }
        WriteSection(answer, listed, {}, body);
      };
      CMessage answer;
      WriteServerTime(answer, LocalUtcSeconds());
      section(answer, load.queue);
      if (load.queue == AllUserQueues()) {
        for (std::uint32_t q = 0; q < kQueues; ++q) section(answer, QueueNumber(q));
      }
      return CScriptedReply::Respond(answer);
    });
    server_->Reject(ServerEntity(), kCacheReloadEvent);
    server_->Handle(kPublisher, kPublishEvent, [this](const CMessage& request) {
      CMessage copy = request;
      std::uint32_t q = 0;
      std::uint32_t id = 0;
      bool add = false;
      copy >> q >> id >> add;
      {
        std::lock_guard lock(modelMutex_);
        if (add) {
          model_[QueueNumber(q)].insert(id);
        } else {
          model_[QueueNumber(q)].erase(id);
        }
      }
      const QueueBody body =
          add ? QueueBody{.events = {Added(id, Attributes({{Xan_State, "a"}})),
                                     Updated(id, Attributes({{Xan_State, "b"}}))}}
              : QueueBody{.events = {Removed(id)}};
      server_->Publish(QueueNumber(q), kMonitorQueueEvent, Notification(body));
      return CScriptedReply::Silence();
    });
  }

  void Churn(unsigned seed) {
    std::mt19937 random(seed);
    // Every monitor of this thread is built at the same address.
    alignas(ChurnMonitor) unsigned char storage[sizeof(ChurnMonitor)];
    while (!done_) {
      const CEntityId queue = QueueNumber(random() % kQueues);
      const bool deactivatesItself = random() % 4 == 0;
      auto* monitor = new (storage) ChurnMonitor(queue, deactivatesItself);
      monitor->Activate(queue, {Xan_State}, random() % 2 == 0);
      // Queried and extended by its owner while its own callbacks may
      // deactivate it.
      if (random() % 3 == 0) {
        monitor->RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
      }
      std::vector<InteractionId> contents;
      monitor->QueryContents(contents);
      CQmQueueStats stats;
      monitor->QueryStatistics(stats);
      monitor->Contains(InteractionId(1u));
      CQmAttributeValue value;
      CQmCache::Instance().QueryAttribute(random() % 1000, Xan_State, value);
      W4Os::SleepFor(std::chrono::microseconds(random() % 500));
      if (random() % 2 == 0) monitor->Stop();
      monitor->~ChurnMonitor();  // destroyed, whether stopped before or not
      ++churned_;
      churned_.notify_all();
    }
  }

  void Change(std::uint32_t q, std::uint32_t id, bool add) {
    W4Notifier::CRequestObject request(kPublisher, kPublishEvent);
    request << q << id << add;
    request.Send();
  }

  void PublishAll(std::vector<std::vector<std::string>>& expected) {
    expected.assign(kQueues, {});
    for (int round = 0; round < kRounds || churned_ < kMinChurnedMonitors; ++round) {
      if (round >= kRounds) {
        // Past the planned rounds, a round per monitor made: on a loaded
        // machine, publishing must not outrun the churn threads, whose loads
        // are answered behind everything published.
        const int churned = churned_.load();
        if (churned < kMinChurnedMonitors) testing::AwaitChange(churned_, churned);
      }
      for (std::uint32_t q = 0; q < kQueues; ++q) {
        const std::uint32_t id = (q + 1) * 100000 + static_cast<std::uint32_t>(round);
        // Each interaction stays a while, so that loads find some present.
        Change(q, id, true);
        if (round >= 3) Change(q, id - 3, false);
        expected[q].push_back(fmt::format("Added {} {{Xan_State=a}}", id));
        expected[q].push_back(fmt::format("Updated {} {{Xan_State=b}}", id));
        if (round >= 3) expected[q].push_back(fmt::format("Removed {}", id - 3));
      }
      if (round % 50 == 25) connection_->Renegotiate();
      W4Os::SleepFor(std::chrono::microseconds(200));
    }
  }

  std::atomic<bool> done_{false};
  std::atomic<int> churned_{0};
  std::mutex modelMutex_;
  std::map<CEntityId, std::set<std::uint32_t>> model_;
};

TEST_F(CacheStressTest, ConcurrentActivationsKeepLiveDeliveriesExact) {
  g_lateCallbacks = 0;
  g_misdirected = 0;
  g_doubleAdds = 0;
  g_phantomRemoves = 0;
  std::vector<std::unique_ptr<RecordingMonitor>> stable;
  for (std::uint32_t q = 0; q < kStableQueues; ++q) {
    stable.push_back(std::make_unique<RecordingMonitor>());
    stable.back()->Activate(QueueNumber(q), {Xan_State}, true);
    stable.back()->ClearLog();
  }
  RecordingMonitor all;
  all.Activate(AllUserQueues(), {Xan_State}, true);
  all.ClearLog();

  std::vector<std::thread> churners;
  for (int i = 0; i < kChurnThreads; ++i) {
    churners.push_back(W4Os::StartThread([this, i] { Churn(static_cast<unsigned>(i) + 1); }));
  }
  std::vector<std::vector<std::string>> expected;
  PublishAll(expected);
  server_->WaitIdle();
  done_ = true;
  for (std::thread& churner : churners) W4Os::JoinThread(churner);
  server_->WaitIdle();

  EXPECT_EQ(g_lateCallbacks, 0);
  EXPECT_EQ(g_misdirected, 0);
  EXPECT_EQ(g_doubleAdds, 0);
  EXPECT_EQ(g_phantomRemoves, 0);
  EXPECT_GE(churned_, kMinChurnedMonitors);
  for (std::uint32_t q = 0; q < kStableQueues; ++q) {
    EXPECT_THAT(stable[q]->Log(), ElementsAreArray(expected[q])) << "queue " << q;
  }
  // The all-queues monitor hears every queue of its type exactly.
  std::vector<std::vector<std::string>> heard(kQueues);
  for (const std::string& entry : all.Log(true)) {
    const auto space = entry.find(' ');
    const auto queue = std::stoul(entry.substr(1, space - 1));
    ASSERT_TRUE(queue >= kFirstQueue && queue < kFirstQueue + heard.size()) << entry;
    heard[queue - kFirstQueue].push_back(entry.substr(space + 1));
  }
  for (std::uint32_t q = 0; q < kQueues; ++q) {
    EXPECT_THAT(heard[q], ElementsAreArray(expected[q])) << "all-queues monitor, queue " << q;
  }
  stable.clear();
  all.Deactivate();
}

}  // namespace
}  // namespace QueueManager::testing

namespace QueueManager {
namespace {

// The callback gate that every monitor kind shares: turns, epochs, quiescing
// and stops that would wait for ever. Stops waiting for other threads'
// callbacks are the monitor contract's first case, over every kind.

using namespace std::chrono_literals;
using testing::Eventually;

// A latch the test opens once it has seen what it waits for.
struct Latch {
  std::atomic<bool> open{false};
  void Release() {
    open = true;
    open.notify_all();
  }
  void Wait() const { open.wait(false); }
};

TEST(CallbackGateTest, StartsClosedAndAdmitsOnlyTheOpenEpoch) {
  CallbackGate gate;
  EXPECT_FALSE(gate.Enter());
  const CallbackGate::Epoch first = gate.Open();
  EXPECT_TRUE(gate.Enter(first));
  const CallbackGate::Epoch second = gate.Open();
  EXPECT_FALSE(gate.Enter(first)) << "a delivery for an earlier activation";
  EXPECT_TRUE(gate.Enter(second));
  EXPECT_TRUE(gate.Enter(CallbackGate::kAnyEpoch));
  gate.Close();
  EXPECT_FALSE(gate.Enter(second));
  EXPECT_FALSE(gate.IsOpen(second));
}

TEST(CallbackGateTest, TheHolderEntersAgainAndOthersWaitForTheWholeTurn) {
  CallbackGate gate;
  gate.Open();
  CallbackGate::Turn outer = gate.Enter();
  ASSERT_TRUE(outer);
  EXPECT_TRUE(CallbackGate::InsideAnyCallback());
  std::atomic<bool> entered{false};
  std::thread other([&] {
    CallbackGate::Turn turn = gate.Enter();
    entered = static_cast<bool>(turn);
  });
  ASSERT_TRUE(Eventually([&] { return CallbackGate::BlockedThreadsForTesting() == 1; }));
  {
    CallbackGate::Turn inner = gate.Enter();
    EXPECT_TRUE(inner);
  }
  EXPECT_FALSE(entered) << "the turn was handed on while the outer callback ran";
  outer.Release();
  other.join();
  EXPECT_TRUE(entered);
  EXPECT_FALSE(CallbackGate::InsideAnyCallback());
}

TEST(CallbackGateTest, QuiesceWaitsForTheCallbackAndLeavesTheGateOpen) {
  CallbackGate gate;
  gate.Open();
  Latch finish;
  std::atomic<bool> holding{false}, running{true};
  std::thread callback([&] {
    CallbackGate::Turn turn = gate.Enter();
    holding = true;
    finish.Wait();
    running = false;
  });
  ASSERT_TRUE(Eventually([&] { return holding.load(); }));
  std::atomic<bool> returnedAfter{false};
  std::thread stopper([&] {
    gate.Quiesce();
    returnedAfter = !running;
  });
  ASSERT_TRUE(Eventually([&] { return CallbackGate::BlockedThreadsForTesting() == 1; }));
  finish.Release();
  callback.join();
  stopper.join();
  EXPECT_TRUE(returnedAfter);
  EXPECT_TRUE(gate.IsOpen());
}

// What must not run inside a callback runs at once outside any, and after
// the thread's outermost callback inside them, in order, also when the
// callbacks are of several monitors.
TEST(CallbackGateTest, AfterCallbacksWaitsForTheOutermostCallbackOfAnyMonitor) {
  std::vector<int> ran;
  CallbackGate::AfterCallbacks([&] { ran.push_back(0); });
  EXPECT_EQ(ran, std::vector<int>{0});
  CallbackGate a, b;
  a.Open();
  b.Open();
  {
    CallbackGate::Turn outer = a.Enter();
    {
      CallbackGate::Turn inner = b.Enter();
      CallbackGate::AfterCallbacks([&] { ran.push_back(1); });
    }
    CallbackGate::AfterCallbacks([&] {
      // Made once out of every callback: it may enter a gate itself.
      CallbackGate::Turn again = b.Enter();
      ran.push_back(2);
    });
    EXPECT_EQ(ran, std::vector<int>{0}) << "ran inside a callback";
  }
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
}

// A stop that waits for a callback whose thread then waits for the turn of
// the stopping thread's own monitor gives up its wait, instead of both
// waiting for ever; the delivery is made once the chain unwinds.
TEST(CallbackGateTest, ADeliveryWaitingOnAStopperReleasesTheStop) {
  CallbackGate a, b;
  a.Open();
  b.Open();
  Latch stopStarted;
  std::atomic<bool> delivered{false};
  std::thread stopper;
  CallbackGate::Turn turnB = b.Enter();  // this thread: inside b's callback
  stopper = std::thread([&] {
    CallbackGate::Turn turnA = a.Enter();  // inside a's callback
    stopStarted.Release();
    b.Close();  // waits for this thread's b callback
  });
  stopStarted.Wait();
  ASSERT_TRUE(Eventually([&] { return CallbackGate::BlockedThreadsForTesting() == 1; }));
  {
    // Delivering to a from inside b's callback: its holder waits for us.
    CallbackGate::Turn nested = a.Enter();
    delivered = static_cast<bool>(nested);
  }
  turnB.Release();
  stopper.join();
  EXPECT_TRUE(delivered);
}

}  // namespace
}  // namespace QueueManager
