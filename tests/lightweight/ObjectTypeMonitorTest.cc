// The object type monitor and the attribute monitor against the scripted
// server: what they ask for, what they report, and how long they live.

#include <gmock/gmock.h>

#include <cstring>

#include "lightweight/LightMonitorImpl.h"
#include "lightweight/LightweightTestSupport.h"
#include "lightweight/ObjectTypeMonitorBase.h"
#include "requests/RequestFields.h"

namespace QueueManager::testing {
namespace {

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

TEST_F(LightweightTest, EachMonitorSubscribesToItsEntityAndReportsItsObjects) {
  const auto plainLog = NewRecorder();
  const auto cachingLog = NewRecorder();
  const auto onALog = NewRecorder();
  const auto onAnyLog = NewRecorder();
  initial_ = {EventAdded(101, Attributes({{Xan_State, u"A"}}))};
  CQmObjectTypeMonitor plain;
  CQmCachingObjectTypeMonitor caching;
  AttributeMonitor onA, onAny;
  EXPECT_TRUE(plain.activate(kType, plainLog, {Xan_State, kNote}, true));
  EXPECT_TRUE(caching.activate(W4Notifier::eGenericObject2, cachingLog, {Xan_State}, false));
  EXPECT_TRUE(onA.activate(Xan_State, CQmAttributeValue(u"A"), onALog, {}, false));
  EXPECT_TRUE(onAny.activate(Xan_State, CQmAttributeValue(), onAnyLog, {Xan_State}, false));
  const CEntityId cachingEntity(W4Notifier::eObjectTypeEntity, u"GenericObject2");
  const CEntityId anyEntity(W4Notifier::eAttributeMatch, u"Xan_State=");
  EXPECT_THAT(SentFields(ServerEntity(), 0),
              ElementsAre("bool false, " + EntityFields(kTypeEntity) +
                              ", int 2, int 38, int -1, wtext \"Note\"",
                          "bool false, " + EntityFields(cachingEntity) + ", int 1, int 38",
                          "bool false, " + EntityFields(kMatchEntity) + ", int 0",
                          "bool false, " + EntityFields(anyEntity) + ", int 1, int 38"));
  const CMessage update = EventNotification({EventUpdated(101, Attributes({{Xan_State, u"B"}}))});
  Publish(kTypeEntity, update);
  Publish(cachingEntity, update);
  for (const auto& log : {plainLog, cachingLog}) {
    EXPECT_THAT(log->Log(), ElementsAre("Added 101 {Xan_State=A}", "Updated 101 {Xan_State=B}"));
  }
  // The attribute monitors report the value each interaction has in their
  // attribute.
  const std::vector<CQmMonitorEvent> events = {
      // Same value, another interaction: new to the monitor.
      EventUpdated(2, Attributes({{Xan_State, u"A"}})),
      EventUpdated(101, Attributes({{kNote, u"n"}})),
      EventUpdated(2, Attributes({{Xan_State, u"B"}})),
      EventUpdated(101, Attributes({{Xan_State, u"A"}})),
      EventRemoved(101),
      EventRemoved(2),
      EventRemoved(3),
  };
  Publish(kMatchEntity, EventNotification(events));
  Publish(anyEntity, EventNotification(events));
  EXPECT_THAT(onALog->Log(), ElementsAre("Added 101 A {Xan_State=A}", "Updated 2 A {Xan_State=A}",
                                         "Updated 101 A {Note=n}", "Updated 2 A {Xan_State=B}",
                                         "Updated 101 A {Xan_State=A}", "Removed 101 A",
                                         "Removed 2 A", "Removed 3 A"));
  EXPECT_THAT(onAnyLog->Log(), ElementsAre("Added 101 A {Xan_State=A}", "Added 2 A {Xan_State=A}",
                                           "Updated 101 A {Note=n}", "Added 2 B {Xan_State=B}",
                                           "Updated 101 A {Xan_State=A}", "Removed 101 A",
                                           "Removed 2 B", "Removed 3 "));
}

TEST_F(LightweightTest, TheLightMonitorReportsEachEventOfAWellFormedBodyAndDropsOthersWithATrace) {
  server_->Silence(ServerEntity(), 0);
  const auto log = NewRecorder();
  const auto light = w4core::MakeInterface<CQmLightMonitorImpl>();
  const auto gate = lightweight::ActivationGate::OpenOwn();
  light->activate(kTypeEntity, log, {}, true, gate);
  EXPECT_TRUE(light->QueryFlag());
  // Before the answer: dropped, not kept for later.
  Publish(kTypeEntity, EventNotification({EventAdded(99)}));
  CMessage answer = ActivationResponse(kTypeEntity, {EventAdded(7)});
  light->OnAsyncResponseSuccess(0, answer);
  CQmMonitorEvent both = EventAdded(102);
  both.removed = true;
  const std::vector<CQmMonitorEvent> events = {EventUpdated(101, Attributes({{Xan_State, u"H"}})),
                                               EventRemoved(101), both};
  const std::pair<const char*, std::function<void(CMessage&)>> bodies[] = {
      // after the server time
      {"no events", [](CMessage& m) { m << false << true << std::int32_t{1}; }},
      {"statistics",
       [](CMessage& m) {
         EventRemoved(103).Write(m << true << true << Stats(1) << std::int32_t{1}) << 5ull;
       }},
      {"several events; added and removed is an addition",
       [&](CMessage& m) {
         lightweight::WriteMonitorEventBody(m, {events, 0x20007});
       }},
      {"no server time", [](CMessage& m) { m.ClearBody(); }},
      {"truncated second event",
       [](CMessage& m) { EventAdded(1).Write(m << true << false << std::int32_t{2}) << true; }},
      {"huge count, one event",
       [](CMessage& m) { EventAdded(1).Write(m << true << false << std::int32_t{0x7FFFFFFF}); }},
      {"count of another type", [](CMessage& m) { m << true << false << u"2"; }},
      {"sequence number of another type",
       [](CMessage& m) { EventAdded(1).Write(m << true << false << std::int32_t{1}) << 5u; }},
  };
  std::vector<std::string> reported;  // with a line for each failure trace
  for (const auto& body : bodies) {
    traces_->Clear();
    CMessage message;
    WriteServerTime(message, LocalUtcSeconds());
    body.second(message);
    Publish(kTypeEntity, message);
    reported.insert(reported.end(), TracesAt(W4Trace::kLevelFailure), body.first);
  }
  // Stopped as a handle stops it: the gate first.
  gate.gate->Close();
  light->deactivate();
  // Late: an answer and a notification that were on their way.
  CMessage lateAnswer = ActivationResponse(kTypeEntity, {EventAdded(8)});
  CMessage notification = EventNotification({EventAdded(9)});
  light->OnAsyncResponseSuccess(1, lateAnswer);
  light->OnMessageReceived(notification);
  EXPECT_THAT(log->Log(),
              ElementsAre("Added 7 {} #0", "Removed 103 #5", "Updated 101 {Xan_State=H} #131079",
                          "Removed 101 #131079", "Added 102 {} #131079"));
  EXPECT_THAT(reported,
              ElementsAre("no server time", "truncated second event", "huge count, one event",
                          "count of another type", "sequence number of another type"));
  EXPECT_EQ(log->UseCount(), 1);
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
  // A callback that deactivates its monitor hears nothing more; a monitor
  // destroyed while active is deactivated.
  initial_ = {EventAdded(5), EventAdded(6)};
  first->hook = [&monitor] { monitor.deactivate(); };
  monitor.activate(kType, first, {}, false);
  {
    CQmCachingObjectTypeMonitor caching;
    caching.activate(kType, second, {}, false);
  }
  Publish(kTypeEntity, EventNotification({EventAdded(7)}));
  EXPECT_THAT(first->Log(), ElementsAre("Removed 1", "Added 5 {}"));
  EXPECT_EQ(first->UseCount(), 1);
  EXPECT_EQ(second->UseCount(), 1);
}

}  // namespace
}  // namespace QueueManager::testing
