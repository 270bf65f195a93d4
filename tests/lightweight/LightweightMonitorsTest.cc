// The lightweight monitors against the scripted server, alone and on several
// threads at once.

#include <gmock/gmock.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "lightweight/CachedAttributes.h"
#include "lightweight/CachingObjectTypeMonitorImpl.h"
#include "lightweight/LightMonitorImpl.h"
#include "lightweight/LightweightTestSupport.h"
#include "lightweight/ObjectTypeMonitorBase.h"
#include "lightweight/SequenceNumbers.h"
#include "monitor/CacheTrace.h"
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

// The caching object type monitor: which events its cache accepts given the
// writes of this process, what its writes send, what its queries answer.

using lightweight::SequenceNumberGenerator;
using ::testing::ElementsAreArray;

constexpr std::uint32_t kId = 42;
const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);

// Which numbers are own and most recent: the cache table below.
TEST(SequenceNumberTest, NumbersCountOnFromTheFirstHandleAndNeverStartOver) {
  const std::uint16_t handles[] = {0, 0, 5, 9};  // what the source gives, call by call
  std::size_t call = 0;
  SequenceNumberGenerator generator([&] { return handles[call++]; });
  std::vector<std::uint64_t> numbers = {generator.Next()};
  EXPECT_FALSE(generator.IsOwn(numbers[0]));  // origin 0: no process's
  for (int i = 1; i < 4; ++i) numbers.push_back(generator.Next());
  EXPECT_THAT(numbers, ElementsAre(0x10000u, 0x20000u, 0x30005u, 0x40005u));
}

// Stores of standard, monitored, unmonitored and wire-numbered names, in
// any mix, leave what an attribute map given the same values holds.
TEST(CachedAttributesTest, HoldWhatAnAttributeMapGivenTheSameValuesHolds) {
  const lightweight::CachedAttributes::Names monitored = {CQmAttributeName(u"Tier"), Xan_State};
  const CQmAttributeName names[] = {kNote, CQmAttributeName(u"tier"), Xan_State,
                                    CQmAttributeName(static_cast<eAttributeName>(-7)),
                                    Xan_UserName};
  const std::vector<std::vector<int>> stores = {{0, 2}, {1, 3}, {4, 0}, {2, 1, 4}, {}};
  lightweight::CachedAttributes cached;
  CQmAttributeMap expected;
  int round = 0;
  for (const std::vector<int>& store : stores) {
    CQmAttributeMap received;
    for (const int i : store) received.insert(names[i], std::to_string(++round));
    cached.Store(received, monitored);
    for (const auto& [name, value] : received) expected.insert(name, value);
    EXPECT_EQ(cached.ToMap(), expected);
    for (const CQmAttributeName& name : names) {
      const CQmAttributeValue* found = cached.Find(name);
      EXPECT_EQ(found ? *found : CQmAttributeValue(u"absent"),
                expected.count(name) ? expected.Query(name) : CQmAttributeValue(u"absent"));
    }
  }
}

// A caching monitor of Xan_State, its writes and the events it is fed as the
// light part would feed them.
struct Scene {
  Scene() {
    impl->Activate(lightweight::ActivationGate::OpenOwn(), kType, log, {Xan_State}, false, 131u);
  }
  ~Scene() { impl->Deactivate(); }
  CQmCachingMonitorImpl& Cache() { return *impl->Light(); }
  // Writes through the monitor; returns the write's sequence number.
  std::uint64_t Write(const CQmAttributeMap& attributes, std::uint32_t id = kId) {
    Cache().MoveAndSet(id, {}, attributes, {});
    Cache().QueryEntry(id, cached, pending);
    return pending.at(attributes.begin()->first);
  }
  void Update(const CQmAttributeMap& attributes, std::uint64_t sequence) {
    Cache().ObjectUpdated(Object(kId), attributes, sequence);
  }
  // The entry of kId as "{cached} pending {names}", or "none".
  std::string Entry() {
    if (!Cache().QueryEntry(kId, cached, pending)) return "none";
    std::set<CQmAttributeName> names;
    for (const auto& entry : pending) names.insert(entry.first);
    return MapText(cached) + " pending " + NamesText(names);
  }

  const w4core::InterfacePtr<Recorder> log = NewRecorder();
  const w4core::InterfacePtr<CQmCachingObjectTypeMonitorImpl> impl =
      w4core::MakeInterface<CQmCachingObjectTypeMonitorImpl>();
  CQmAttributeMap cached;
  std::map<CQmAttributeName, std::uint64_t> pending;
};

TEST_F(LightweightTest, TheCacheKeepsOwnWritesAgainstOlderAndForeignValues) {
  const auto map = [](const char16_t* state, const char16_t* note = nullptr) {
    CQmAttributeMap attributes = Attributes({{Xan_State, state}});
    if (note != nullptr) attributes.insert(kNote, note);
    return attributes;
  };
  const std::uint64_t foreign = 0x10000 + (connection_->QueryHandle() ^ 0x8000u);
  // What is shown, the steps, the callbacks and the cache entry after them.
  const std::tuple<const char*, std::function<void(Scene&)>, std::vector<std::string>, std::string>
      cases[] = {
          {"nothing pending: all taken, whatever the number",
           [&](Scene& s) {
             s.Update(map(u"f"), foreign);
             s.Update(map(u"z", u"n"), 0);
             s.Update(map(u"o"), 0x10000 + connection_->QueryHandle());
           },
           {"Updated 42 {Xan_State=f}", "Updated 42 {Note=n,Xan_State=z}",
            "Updated 42 {Xan_State=o}"},
           "{Note=n,Xan_State=o} pending {}"},
          {"a foreign or numberless change loses against a pending write, others are taken",
           [&](Scene& s) {
             s.Write(map(u"1"));
             s.Update(map(u"f", u"n"), foreign);
             s.Update(map(u"z"), 0);
           },
           {"Updated 42 {Note=n}"},
           "{Note=n,Xan_State=1} pending {Xan_State}"},
          {"an older own number is skipped; the most recent clears every pending write",
           [&](Scene& s) {
             const std::uint64_t first = s.Write(map(u"1"));
             const std::uint64_t second = s.Write(map(u"2", u"w"));
             s.Update(map(u"1"), first);
             s.Update(map(u"2", u"n"), second);
           },
           {"Updated 42 {Note=n,Xan_State=2}"},
           "{Note=n,Xan_State=2} pending {}"},
          {"an own number that is not the latest confirms attribute by attribute",
           [&](Scene& s) {
             const std::uint64_t first = s.Write(map(u"1", u"w"));
             s.Write(map(u"elsewhere"), 43);
             CQmAttributeMap echo = map(u"1");
             echo.insert(Xan_Workgroup, u"g");
             s.Update(echo, first);
           },
           {"Updated 42 {Xan_State=1,Xan_Workgroup=g}"},
           "{Note=w,Xan_State=1,Xan_Workgroup=g} pending {Note}"},
          {"an addition with nothing taken is not reported; a removal always is",
           [&](Scene& s) {
             s.Write(map(u"1"));
             s.Cache().ObjectAdded(Object(kId), map(u"f"), foreign);
             s.Cache().ObjectAdded(Object(44), CQmAttributeMap(), 0);
             s.Cache().ObjectRemoved(Object(44), 0);
             s.Cache().ObjectRemoved(Object(45), 0);
           },
           {"Removed 44", "Removed 45"},
           "{Xan_State=1} pending {Xan_State}"},
      };
  for (const auto& [label, steps, log, entry] : cases) {
    SCOPED_TRACE(label);
    Scene scene;
    steps(scene);
    EXPECT_THAT(scene.log->Log(), ElementsAreArray(log));
    EXPECT_EQ(scene.Entry(), entry);
    scene.Cache().ObjectRemoved(Object(kId), 0);
    EXPECT_EQ(scene.Entry(), "none");
  }
}

TEST_F(LightweightTest, WritesSendMoveAndSetWithTheirNumberAndTheMonitoredEntity) {
  CQmCachingObjectTypeMonitor never;
  never.set_attribute(kId, Xan_State, CQmAttributeValue(u"C"));
  never.MoveAndSet(kId, {kQueue}, CQmAttributeMap(), {});
  CQmCachingObjectTypeMonitor monitor;
  monitor.activate(kType, NewRecorder(), {}, false);
  server_->WaitIdle();
  server_->ClearTraffic();
  const CEntityId request = InteractionEntity(kId);
  monitor.set_attribute(kId, Xan_State, CQmAttributeValue(u"C"));
  const std::vector<std::string> first = SentFields(request, 7);
  ASSERT_EQ(first.size(), 1u);
  const std::uint64_t number = std::stoull(first[0].substr(first[0].find("uint64 ") + 7));
  EXPECT_EQ(number & 0xFFFF, connection_->QueryHandle());
  const std::string trailer = fmt::format(
      ", int 125, int {}", static_cast<std::int32_t>(ObjectTypeEntity(kType).QueryObjectId()));
  const auto tagged = [&](int write) {
    return fmt::format("uint64 {}{}", number + 0x10000u * static_cast<unsigned>(write), trailer);
  };
  monitor.set_attributes(kId, Attributes({{Xan_State, u"H"}, {kNote, u"hi"}}));
  monitor.MoveAndSet(kId, {kQueue}, Attributes({{Xan_State, u"A"}}), {kQueue});
  monitor.MoveAndSet(kId, {kQueue}, CQmAttributeMap(), {});
  monitor.MoveAndSet(kId, {}, CQmAttributeMap(), {});
  monitor.deactivate();
  monitor.set_attribute(kId, Xan_State, CQmAttributeValue(u"late"));
  monitor.MoveAndSet(kId, {kQueue}, CQmAttributeMap(), {});
  const std::string head = "int 30, int 42, ";
  const std::string state = "int 38, wtext ";
  EXPECT_THAT(SentFields(request, 7),
              ElementsAre(head + "int 0, int 1, " + state + "\"C\", int 0, " + tagged(0),
                          head + "int 0, int 2, int -1, wtext \"Note\", wtext \"hi\", " + state +
                              "\"H\", int 0, " + tagged(1),
                          head + "int 1, int 3, int 77, int 1, " + state +
                              "\"A\", int 1, int 3, int 77, " + tagged(2),
                          head + "int 1, int 3, int 77, int 0, int 0"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(false, false, false, false));
}

TEST_F(LightweightTest, QueriesAnswerFromTheCacheOnlyWhileActive) {
  initial_ = {EventAdded(kId, Attributes({{Xan_State, u"C"}, {kNote, u"n"}}))};
  CQmCachingObjectTypeMonitor monitor;
  const CQmCachingObjectTypeMonitor& queried = monitor;
  monitor.activate(kType, NewRecorder(), {Xan_State, kNote, Xan_Workgroup}, false);
  server_->WaitIdle();
  struct Case {
    const char* label;
    std::uint32_t id;
    std::vector<CQmAttributeName> names;
    bool found;
    std::vector<std::u16string> values;
  };
  const Case cases[] = {
      {"cached", kId, {Xan_State}, true, {u"C"}},
      {"not cached", kId, {Xan_Workgroup}, true, {u""}},
      {"not monitored", kId, {Xan_UserName}, false, {u"old"}},
      {"unknown interaction", 7, {Xan_State}, false, {u""}},
      // Nothing left of an earlier use where nothing is cached.
      {"several", kId, {Xan_State, Xan_Workgroup, kNote}, true, {u"C", u"", u"n"}},
      {"one not monitored", kId, {Xan_State, Xan_UserName, kNote}, false, {u"C", u"", u""}},
      {"several of an unknown interaction", 7, {Xan_State, kNote}, false, {}},
  };
  // The outcome and the values, from {"old"} for one name and four "old"
  // for several.
  const auto query = [&](const Case& c) {
    std::vector<CQmAttributeValue> values(c.names.size() == 1 ? 1 : 4, CQmAttributeValue(u"old"));
    const bool found = c.names.size() == 1 ? queried.query_attribute(c.id, c.names[0], values[0])
                                           : queried.query_attributes(c.id, c.names, values);
    return std::make_pair(found, Texts(values));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(query(c), std::make_pair(c.found, c.values));
  }
  // Deactivated without a connection: nothing is answered, nothing changed.
  RemoveConnection();
  monitor.deactivate();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::vector<std::u16string> unchanged(c.names.size() == 1 ? 1 : 4, u"old");
    EXPECT_EQ(query(c), std::make_pair(false, unchanged));
  }
}

TEST_F(LightweightTest, TheBucketCountIsClamped) {
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {0, 2}, {1, 2}, {2, 2}, {131, 131}, {1367, 1367}, {1368, 1367}, {5000, 1367}};
  for (const auto& [requested, used] : cases) {
    SCOPED_TRACE(requested);
    const auto cache = w4core::MakeInterface<CQmCachingMonitorImpl>();
    cache->activate(ObjectTypeEntity(kType), NewRecorder(), {Xan_State}, false,
                    lightweight::ActivationGate::OpenOwn(), requested);
    EXPECT_EQ(cache->BucketCount(), used);
    cache->deactivate();
  }
}

// What still comes for an activation of a lightweight monitor that has ended.

// What comes for an activation once it is stopped, or once the handle has
// moved on to its next activation, reaches no one.
TEST_F(LightweightTest, AnswersAndNotificationsOfAnEndedActivationReachNothing) {
  server_->Silence(ServerEntity(), 0);
  const CEntityId entity = ObjectTypeEntity(kType);
  // Stopped, else activated again; the late message an answer, else a
  // notification after the answer.
  const std::tuple<const char*, bool, bool> cases[] = {
      {"answer after the stop", true, true},
      {"notification after the stop", true, false},
      {"answer of the previous activation", false, true},
      {"notification of the previous activation", false, false},
  };
  for (const auto& [label, stopped, answerLate] : cases) {
    SCOPED_TRACE(label);
    const auto log = NewRecorder();
    const auto light = w4core::MakeInterface<CQmLightMonitorImpl>();
    const auto gate = lightweight::ActivationGate::OpenOwn();
    light->activate(entity, log, {}, false, gate);
    if (!answerLate) {
      CMessage answer = ActivationResponse(entity, {});
      light->OnAsyncResponseSuccess(0, answer);
    }
    if (stopped) {
      gate.gate->Close();
      light->deactivate();
    } else {
      gate.gate->Open();
    }
    CMessage late = answerLate ? ActivationResponse(entity, {EventAdded(1)})
                               : EventNotification({EventAdded(1)});
    if (answerLate) {
      light->OnAsyncResponseSuccess(0, late);
    } else {
      light->OnMessageReceived(late);
    }
    EXPECT_THAT(log->Log(), ::testing::IsEmpty());
    light->deactivate();
  }
}

// The caching monitor with several application threads writing and querying
// while the delivery thread applies the server's echoes of those writes, and
// while the monitor is deactivated.

constexpr int kThreads = 4;
constexpr int kWritesPerThread = 500;
constexpr std::uint32_t kInteractions = 6;
// Each thread's own attribute, then the one all threads write.
const std::vector<CQmAttributeName> kNames = {u"T0", u"T1", u"T2", u"T3", Xan_State};
const CQmAttributeName& kShared = kNames.back();

// A write as the server received it.
struct Write {
  std::uint32_t id = 0;
  CQmAttributeMap attributes;
  std::uint64_t sequence = 0;
  CEntityId monitored;
};

Write ReadWrite(const CMessage& request) {
  Write write;
  write.id = requests::ReadEntity(request).QueryObjectId();
  requests::ReadEntityList(request);
  write.attributes.Read(request);
  requests::ReadEntityList(request);
  unsigned long long sequence = 0;
  request >> sequence;
  write.sequence = sequence;
  write.monitored = requests::ReadEntity(request);
  return write;
}

class CachingStressTest : public LightweightTest {
 protected:
  void SetUp() override {
    LightweightTest::SetUp();
    // The server confirms each write with a notification that carries it.
    server_->HandleType(W4Notifier::eInteractionRequest, 7, [this](const CMessage& request) {
      const Write write = ReadWrite(request);
      server_->Publish(
          write.monitored, 0,
          EventNotification({EventUpdated(write.id, write.attributes)}, write.sequence));
      return W4Notifier::CScriptedReply::Respond();
    });
  }

  // Thread `thread`'s i-th operation: a write of its own attribute (and at
  // times of a shared one) of some interaction, then queries of it. No other
  // thread writes the own attribute, so once `check`ed the cache must hold
  // what this thread wrote last, whatever echoes of its older writes come.
  void Operate(int thread, int i, bool check) {
    // Runs of writes to one interaction, so that echoes of older writes
    // arrive after newer ones.
    const std::uint32_t id = 1 + static_cast<std::uint32_t>(thread + i / 8) % kInteractions;
    const std::u16string value = W4Os::NarrowToWideLossy(fmt::format("t{}-{}", thread, i));
    const CQmAttributeName& own = kNames[static_cast<std::size_t>(thread)];
    if (i % 3 == 0) {
      monitor_.set_attributes(id, Attributes({{own, value.c_str()}, {kShared, value.c_str()}}));
    } else {
      monitor_.set_attribute(id, own, CQmAttributeValue(value));
    }
    // Queried while the echoes of the run's earlier writes come in.
    for (int query = 0; query < 8; ++query) {
      std::vector<CQmAttributeValue> values;
      const bool found = monitor_.query_attributes(id, kNames, values);
      if (!check) continue;
      ASSERT_TRUE(found);
      EXPECT_EQ(values[static_cast<std::size_t>(thread)].QueryString(), value);
    }
  }

  CQmCachingObjectTypeMonitor monitor_;
};

TEST_F(CachingStressTest, TheCacheEndsWithTheLastWriteOfEachAttributeAndStopsAtOnce) {
  monitor_.activate(kType, NewRecorder(), kNames, false);
  server_->WaitIdle();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kWritesPerThread; ++i) Operate(t, i, true);
    });
  }
  for (std::thread& thread : threads) thread.join();
  server_->WaitIdle();
  // The server saw the writes of one interaction in the order of their
  // numbers: its last value of each attribute is the one to be cached.
  std::map<std::pair<std::uint32_t, CQmAttributeName>, CQmAttributeValue> last;
  std::set<std::uint64_t> numbers;
  for (const CMessage& request : server_->Requests()) {
    if (request.QueryEventId() != 7) continue;
    const Write write = ReadWrite(request);
    numbers.insert(write.sequence);
    for (const auto& [name, value] : write.attributes) last[{write.id, name}] = value;
  }
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kThreads * kWritesPerThread));
  ASSERT_EQ(last.size(), kInteractions * kNames.size());
  for (const auto& [key, value] : last) {
    CQmAttributeValue cached;
    EXPECT_TRUE(monitor_.query_attribute(key.first, key.second, cached));
    EXPECT_EQ(cached, value) << key.first << " " << key.second;
  }

  // Deactivated while the threads go on writing and querying.
  std::atomic<bool> stop{false};
  std::latch running(kThreads);
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      running.count_down();
      for (int i = 0; !stop; ++i) Operate(t, i, false);
    });
  }
  running.wait();
  monitor_.deactivate();
  stop = true;
  for (std::thread& thread : threads) thread.join();
  const std::size_t sent = RequestCount();
  Operate(0, 1, false);
  CQmAttributeValue value;
  EXPECT_FALSE(monitor_.query_attribute(1, Xan_State, value));
  EXPECT_EQ(RequestCount(), sent);
}

}  // namespace
}  // namespace QueueManager::testing
