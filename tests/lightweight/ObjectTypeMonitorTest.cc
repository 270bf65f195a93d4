// The object type monitor and the attribute monitor against the scripted
// server: what they ask for, what they report, and how long they live.

#include <gmock/gmock.h>

#include <cstring>

#include "lightweight/LightMonitorImpl.h"
#include "lightweight/LightweightTestSupport.h"
#include "lightweight/ObjectTypeMonitorImpl.h"
#include "requests/RequestFields.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const CQmAttributeName kNote(u"Note");
const CEntityId kTypeEntity = ObjectTypeEntity(kType);
const CEntityId kMatchEntity(W4Notifier::eAttributeMatch, u"Xan_State=A");

std::string EntityFields(const CEntityId& entity) {
  return fmt::format("int {}, int {}", static_cast<std::int32_t>(entity.QueryObjectType()),
                     static_cast<std::int32_t>(entity.QueryObjectId()));
}

// The vtable slot of a virtual member function (Itanium C++ ABI: a pointer to
// a virtual member holds 1 + the slot's byte offset).
template <class F>
std::size_t Slot(F function) {
  std::uintptr_t raw = 0;
  std::memcpy(&raw, &function, sizeof(raw));
  return (raw - 1) / sizeof(void*);
}

TEST_F(LightweightTest, EachMonitorSubscribesToItsEntityAndAsksForItsObjects) {
  const auto plainLog = NewRecorder();
  const auto cachingLog = NewRecorder();
  const auto matchLog = NewRecorder();
  initial_ = {EventAdded(101, Attributes({{Xan_State, u"A"}}))};
  CQmObjectTypeMonitor plain;
  CQmCachingObjectTypeMonitor caching;
  AttributeMonitor match;
  EXPECT_TRUE(plain.activate(kType, plainLog, {Xan_State, kNote}, true));
  EXPECT_TRUE(caching.activate(W4Notifier::eGenericObject2, cachingLog, {Xan_State}, false));
  EXPECT_TRUE(match.activate(Xan_State, CQmAttributeValue(u"A"), matchLog, {}, false));
  const CEntityId cachingEntity(W4Notifier::eObjectTypeEntity, u"GenericObject2");
  EXPECT_THAT(SentFields(ServerEntity(), 0),
              ElementsAre("bool false, " + EntityFields(kTypeEntity) +
                              ", int 2, int 38, int -1, wtext \"Note\"",
                          "bool false, " + EntityFields(cachingEntity) + ", int 1, int 38",
                          "bool false, " + EntityFields(kMatchEntity) + ", int 0"));
  const CMessage update = EventNotification({EventUpdated(101, Attributes({{Xan_State, u"B"}}))});
  Publish(kTypeEntity, update);
  Publish(cachingEntity, update);
  Publish(kMatchEntity, update);
  for (const auto& log : {plainLog, cachingLog}) {
    EXPECT_THAT(log->Log(), ElementsAre("Added 101 {Xan_State=A}", "Updated 101 {Xan_State=B}"));
  }
  EXPECT_THAT(matchLog->Log(),
              ElementsAre("Added 101 A {Xan_State=A}", "Updated 101 A {Xan_State=B}"));
}

TEST_F(LightweightTest, TheLightMonitorReportsEachEventOfABodyWithItsSequenceNumber) {
  HoldAnswers();
  initial_ = {EventAdded(7)};
  const auto log = NewRecorder();
  const auto light = w4core::MakeInterface<CQmLightMonitorImpl>();
  light->activate(kTypeEntity, log, {}, true);
  EXPECT_TRUE(light->QueryFlag());
  // Before the answer: dropped, not kept for later.
  server_->Publish(kTypeEntity, 0, EventNotification({EventAdded(99)}));
  ReleaseAnswers();
  server_->WaitIdle();
  CMessage withStatistics;
  WriteServerTime(withStatistics, LocalUtcSeconds());
  withStatistics << true << true << Stats(1) << std::int32_t{1};
  EventRemoved(103).Write(withStatistics) << 5ull;
  CMessage noEvents;
  WriteServerTime(noEvents, LocalUtcSeconds());
  noEvents << false << true << std::int32_t{1};
  Publish(kTypeEntity, noEvents);
  Publish(kTypeEntity, withStatistics);
  CQmMonitorEvent both = EventAdded(102);
  both.removed = true;
  Publish(kTypeEntity, EventNotification({EventUpdated(101, Attributes({{Xan_State, u"H"}})),
                                          EventRemoved(101), both},
                                         0x20007));
  EXPECT_THAT(log->Log(),
              ElementsAre("Added 7 {} #0", "Removed 103 #5", "Updated 101 {Xan_State=H} #131079",
                          "Removed 101 #131079", "Added 102 {} #131079"));
  light->deactivate();
  EXPECT_EQ(log->UseCount(), 1);
}

TEST_F(LightweightTest, MalformedMessagesAreDroppedWholeWithAFailureTrace) {
  const auto log = NewRecorder();
  CQmObjectTypeMonitor monitor;
  monitor.activate(kType, log, {}, false);
  struct Case {
    const char* label;
    std::function<void(CMessage&)> body;  // after the server time
  };
  const Case cases[] = {
      {"no server time", [](CMessage& m) { m.ClearBody(); }},
      {"truncated second event",
       [](CMessage& m) { EventAdded(1).Write(m << true << false << std::int32_t{2}) << true; }},
      {"huge count, one event",
       [](CMessage& m) { EventAdded(1).Write(m << true << false << std::int32_t{0x7FFFFFFF}); }},
      {"count of another type", [](CMessage& m) { m << true << false << u"2"; }},
      {"sequence number of another type",
       [](CMessage& m) { EventAdded(1).Write(m << true << false << std::int32_t{1}) << 5u; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    traces_->Clear();
    CMessage message;
    WriteServerTime(message, LocalUtcSeconds());
    c.body(message);
    Publish(kTypeEntity, message);
    EXPECT_THAT(log->Log(), IsEmpty());
    EXPECT_EQ(TracesAt(W4Trace::kLevelFailure), 1u);
  }
  Publish(kTypeEntity, EventNotification({EventRemoved(1)}));
  EXPECT_THAT(log->Log(), ElementsAre("Removed 1"));
}

TEST_F(LightweightTest, TheApplicationInterfacesHaveTheirSlotOrder) {
  EXPECT_EQ(Slot(&IQmObjectTypeMonitorInterface::ObjectRemoved), 1u);
  EXPECT_EQ(Slot(&IQmObjectTypeMonitorInterface::ObjectUpdated), 2u);
  EXPECT_EQ(Slot(&IQmLightMonitorInterface::ObjectRemoved), 2u);
  EXPECT_EQ(Slot(&IAttributeMonitor::ObjectRemoved), 1u);
}

// ---- lifetimes ----

TEST_F(LightweightTest, ActivationsThatEndOrAreRefusedLeaveNothingBehind) {
  const auto first = NewRecorder();
  const auto second = NewRecorder();
  CQmObjectTypeMonitor monitor;
  monitor.deactivate();  // never activated
  EXPECT_FALSE(monitor.activate(kType, nullptr, {}, false));
  EXPECT_EQ(RequestCount(), 0u);
  monitor.activate(kType, first, {}, false);
  // Refused: the running activation stays.
  EXPECT_FALSE(monitor.activate(W4Notifier::eGenericObject2, nullptr, {}, false));
  Publish(kTypeEntity, EventNotification({EventRemoved(1)}));
  // Activated again: the earlier subscription and callback go.
  monitor.activate(W4Notifier::eGenericObject2, second, {}, false);
  Publish(kTypeEntity, EventNotification({EventRemoved(2)}));
  Publish(ObjectTypeEntity(W4Notifier::eGenericObject2), EventNotification({EventRemoved(3)}));
  EXPECT_THAT(first->Log(), ElementsAre("Removed 1"));
  EXPECT_THAT(second->Log(), ElementsAre("Removed 3"));
  EXPECT_EQ(first->UseCount(), 1);
  // Deactivated while there is no default connection: the subscription on
  // the old connection still ends, and the callback is released.
  RemoveConnection();
  monitor.deactivate();
  monitor.deactivate();
  W4Notifier::SetDefaultConnection(connection_);
  Publish(ObjectTypeEntity(W4Notifier::eGenericObject2), EventNotification({EventRemoved(4)}));
  EXPECT_THAT(second->Log(), ElementsAre("Removed 3"));
  EXPECT_EQ(second->UseCount(), 1);
  EXPECT_EQ(RequestCount(), 2u);
}

TEST_F(LightweightTest, AnAnswerThatComesAfterTheMonitorWentFindsNothingToCall) {
  HoldAnswers();
  initial_ = {EventAdded(7)};
  const auto log = NewRecorder();
  {
    CQmCachingObjectTypeMonitor caching;  // its answer is on its way
    caching.activate(kType, log, {}, false);
  }
  ReleaseAnswers();
  // As a transport delivers an answer and a notification already on their
  // way: the notifier's reference to the light monitor is all that is left.
  auto impl = w4core::MakeInterface<CQmObjectTypeMonitorImpl>();
  impl->Activate(kType, log, {}, false);
  server_->WaitIdle();
  w4core::InterfacePtr<CQmLightMonitorImpl> light = impl->Light();
  impl->Deactivate();
  impl.reset();
  CMessage answer = ActivationResponse(kTypeEntity, {EventAdded(8)});
  CMessage notification = EventNotification({EventAdded(9)});
  light->OnAsyncResponseSuccess(1, answer);
  light->OnMessageReceived(notification);
  light.reset();
  EXPECT_THAT(log->Log(), ElementsAre("Added 7 {}"));
  EXPECT_EQ(log->UseCount(), 1);
}

TEST_F(LightweightTest, AMonitorThatDeactivatesItselfHearsNothingMore) {
  initial_ = {EventAdded(1), EventAdded(2)};
  const auto log = NewRecorder();
  CQmObjectTypeMonitor monitor;
  log->hook = [&monitor] { monitor.deactivate(); };
  monitor.activate(kType, log, {}, false);
  Publish(kTypeEntity, EventNotification({EventAdded(3)}));
  EXPECT_THAT(log->Log(), ElementsAre("Added 1 {}"));
  EXPECT_EQ(log->UseCount(), 1);
}

// ---- attribute monitor ----

TEST_F(LightweightTest, AnAttributeMonitorReportsTheValueEachInteractionHasInIt) {
  const auto configured = NewRecorder();
  const auto following = NewRecorder();
  AttributeMonitor onA;
  AttributeMonitor onAny;
  onA.activate(Xan_State, CQmAttributeValue(u"A"), configured, {Xan_State}, false);
  onAny.activate(Xan_State, CQmAttributeValue(), following, {Xan_State}, false);
  const CEntityId anyEntity(W4Notifier::eAttributeMatch, u"Xan_State=");
  const std::vector<CQmMonitorEvent> events = {
      EventAdded(1, Attributes({{Xan_State, u"A"}})),
      // Same value, another interaction: new to the monitor.
      EventUpdated(2, Attributes({{Xan_State, u"A"}})),
      EventUpdated(1, Attributes({{kNote, u"n"}})),
      EventUpdated(2, Attributes({{Xan_State, u"B"}})),
      EventUpdated(1, Attributes({{Xan_State, u"A"}})),
      EventRemoved(1),
      EventRemoved(2),
      EventRemoved(3),
  };
  Publish(kMatchEntity, EventNotification(events));
  Publish(anyEntity, EventNotification(events));
  EXPECT_THAT(configured->Log(), ElementsAre("Added 1 A {Xan_State=A}", "Updated 2 A {Xan_State=A}",
                                             "Updated 1 A {Note=n}", "Updated 2 A {Xan_State=B}",
                                             "Updated 1 A {Xan_State=A}", "Removed 1 A",
                                             "Removed 2 A", "Removed 3 A"));
  EXPECT_THAT(following->Log(),
              ElementsAre("Added 1 A {Xan_State=A}", "Added 2 A {Xan_State=A}",
                          "Updated 1 A {Note=n}", "Added 2 B {Xan_State=B}",
                          "Updated 1 A {Xan_State=A}", "Removed 1 A", "Removed 2 B", "Removed 3 "));
}

}  // namespace
}  // namespace QueueManager::testing
