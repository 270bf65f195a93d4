// Live notifications, queue removal, the all-queues entity and hostile
// messages, against the scripted server.

#include <memory>
#include <string>
#include <tuple>

#include "CacheTestSupport.h"
#include "monitor/QmCache.h"
#include "platform/trace/TraceCapture.h"

namespace QueueManager::testing {
namespace {

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

}  // namespace
}  // namespace QueueManager::testing
