// The caching object type monitor: which events its cache accepts given the
// writes of this process, what its writes send, what its queries answer.

#include <gmock/gmock.h>

#include <set>

#include "lightweight/CachingObjectTypeMonitorImpl.h"
#include "lightweight/LightweightTestSupport.h"
#include "lightweight/SequenceNumbers.h"
#include "monitor/CacheTrace.h"
#include "requests/RequestFields.h"

namespace QueueManager::testing {
namespace {

using lightweight::SequenceNumberGenerator;
using ::testing::ElementsAreArray;

const CQmAttributeName kNote(u"Note");
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
  struct Case {
    const char* label;
    std::function<void(Scene&)> steps;
    std::vector<std::string> log;
    std::string entry;
  };
  const Case cases[] = {
      {"nothing pending: all taken, whatever the number",
       [&](Scene& s) {
         s.Update(map(u"f"), foreign);
         s.Update(map(u"z", u"n"), 0);
         s.Update(map(u"o"), 0x10000 + connection_->QueryHandle());
       },
       {"Updated 42 {Xan_State=f}", "Updated 42 {Note=n,Xan_State=z}", "Updated 42 {Xan_State=o}"},
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Scene scene;
    c.steps(scene);
    EXPECT_THAT(scene.log->Log(), ElementsAreArray(c.log));
    EXPECT_EQ(scene.Entry(), c.entry);
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

}  // namespace
}  // namespace QueueManager::testing
