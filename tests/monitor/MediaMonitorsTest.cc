// The media type and TS server monitors against the scripted server: what
// they report, what they leave in the cache, how they end, and many of them
// coming and going on several threads while events arrive.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include <fmt/format.h>

#include "CacheTestSupport.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Trace.h"
#include "QueueManager/TsServerMonitor.h"
#include "monitor/CacheTrace.h"
#include "monitor/MediaTypeEntity.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager::testing {
namespace {

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
  server_->Publish(Calls(), kMonitorQueueEvent, Notification({.events = {Updated(7, State("x"))}}));
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
  std::thread publisher([&] {
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
  std::thread churners[] = {std::thread(churn, 1u), std::thread(churn, 2u), std::thread(churn, 3u)};
  for (std::thread& churner : churners) churner.join();
  publishing = false;
  publisher.join();
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

}  // namespace
}  // namespace QueueManager::testing
