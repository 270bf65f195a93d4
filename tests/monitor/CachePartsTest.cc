// The cache's plain parts: tables, membership, attribute store, monitored-name
// registry, message readers, the clock skew filter fed with chosen times, the
// monitor proxy and the load protocol.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/ostream.h>

#include "QueueManager/QueueMonitor.h"
#include "QueueManager/QueueStats.h"
#include "monitor/CacheTables.h"
#include "monitor/CallbackBatch.h"
#include "monitor/ClockSkew.h"
#include "monitor/EventAttributes.h"
#include "monitor/FlatIdMap.h"
#include "monitor/LoadBook.h"
#include "monitor/MessageReaders.h"
#include "monitor/MonitorId.h"
#include "monitor/QueueMonitorProxy.h"
#include "platform/trace/TraceCapture.h"

namespace QueueManager {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using W4Notifier::CEntityId;

const CEntityId kUserQueue(W4Notifier::eUserQueue, 1u);
const CEntityId kWorkgroupQueue(W4Notifier::eWorkgroupQueue, 3u);

TEST(CacheTablesTest, AnInteractionIsMonitoredThroughAnyOfItsQueuesAndNamesPerObjectType) {
  CacheTables tables;
  tables.AddToQueue(*tables.FindOrAddQueue(kUserQueue).first, 40, W4Notifier::eGenericObject);
  tables.AddToQueue(*tables.FindOrAddQueue(kWorkgroupQueue).first, 40, W4Notifier::eGenericObject);
  tables.Names().Register(W4Notifier::eUserQueue, Xan_State);
  tables.Names().Register(W4Notifier::eWorkgroupQueue, Xan_UserName);
  EXPECT_EQ(tables.SetAttribute(40, Xan_State, CQmAttributeValue("C")), AttributeStore::kChanged);
  EXPECT_EQ(tables.SetAttribute(40, Xan_UserName, CQmAttributeValue("u")),
            AttributeStore::kChanged);
  std::vector<std::uint32_t> departed;
  tables.DropQueue(kUserQueue, departed);
  EXPECT_THAT(departed, IsEmpty());
  CQmAttributeValue value("stale");
  EXPECT_EQ(tables.QueryAttribute(40, Xan_State, value), AttributeLookup::kNotOnMonitoringQueue);
  EXPECT_EQ(tables.QueryAttribute(40, Xan_UserName, value), AttributeLookup::kFound);
  EXPECT_EQ(value, "u");

  // Names register per object type, whatever the name holds.
  MonitoredNames names;
  const CQmAttributeName custom(u"My Custom");
  const CQmAttributeName outsideCatalogue(static_cast<eAttributeName>(5000));
  const CQmAttributeName negative(static_cast<eAttributeName>(-7));
  for (const CQmAttributeName& name :
       {CQmAttributeName(Xan_State), custom, outsideCatalogue, negative}) {
    EXPECT_FALSE(names.IsRegistered(W4Notifier::eUserQueue, name));
    names.Register(W4Notifier::eUserQueue, name);
    EXPECT_TRUE(names.IsRegistered(W4Notifier::eUserQueue, name));
    EXPECT_FALSE(names.IsRegistered(W4Notifier::eWorkgroupQueue, name));
  }
  EXPECT_TRUE(names.IsRegistered(W4Notifier::eUserQueue, CQmAttributeName(u"MY_CUSTOM")));
  EXPECT_THAT(names.Unregistered(W4Notifier::eUserQueue,
                                 {Xan_UserName, Xan_State, CQmAttributeName(u"other"), custom}),
              ElementsAre(CQmAttributeName(Xan_UserName), CQmAttributeName(u"other")));
}

// A destructor that runs after the thread's own scratch objects are gone
// (a monitor stopped by a thread-exit or exit-time destructor) still changes
// the tables and leases a batch; ASan tells a use of the destroyed ones.
TEST(CacheTablesTest, ServeDestructorsThatRunAfterTheThreadsScratchObjects) {
  struct LateUser {
    ~LateUser() {
      CacheTables tables;
      tables.AddToQueue(*tables.FindOrAddQueue(kUserQueue).first, 40, W4Notifier::eGenericObject);
      std::vector<std::uint32_t> departed;
      tables.DropQueue(kUserQueue, departed);
      CBatchLease batch;
      batch->Departures().push_back(40);
    }
  };
  std::thread([] {
    thread_local LateUser user;  // built first, so destroyed last
    static_cast<void>(&user);
    const LateUser warm;  // its destructor builds the thread's scratch objects
  }).join();
}

// The packed record against a map given the same changes: names of every
// kind (catalogue numbers, custom names in any letter case, numbers outside
// the catalogue), values that keep or change their length, texts past the
// narrow offsets' 65,535 units, and queue changes that rebuild the block.
// Growth from no array, erasure's back shifts and clearing, against a map.
TEST(FlatIdMapTest, AgreesWithAMapThroughRandomChanges) {
  FlatIdMap<int> map;
  std::map<std::uint32_t, int> model;
  EXPECT_EQ(map.Find(1), nullptr);
  EXPECT_FALSE(map.Erase(1));
  std::mt19937 random(5);
  for (int round = 0; round < 20000; ++round) {
    // Ids that collide often: a few hundred, some a multiple of a power of two.
    const std::uint32_t id = random() % 2 == 0 ? random() % 300 : (random() % 300) << 16U;
    switch (random() % 8) {
      case 0:
      case 1:
        EXPECT_EQ(map.Erase(id), model.erase(id) == 1) << id;
        break;
      case 2:
        if (round % 1000 == 2) {
          map.clear();
          model.clear();
        }
        break;
      default:
        map[id] = round;
        model[id] = round;
    }
    ASSERT_EQ(map.size(), model.size());
    const int* found = map.Find(id);
    const auto it = model.find(id);
    ASSERT_EQ(found != nullptr, it != model.end()) << id;
    if (found != nullptr) {
      EXPECT_EQ(*found, it->second);
    }
  }
  std::size_t visited = 0;
  map.ForEach([&](std::uint32_t id, int value) {
    EXPECT_EQ(model.at(id), value);
    ++visited;
  });
  EXPECT_EQ(visited, model.size());
}

TEST(InteractionRecordTest, KeepsWhatAMapGivenTheSameChangesKeeps) {
  const CQmAttributeName custom(u"Customer Tier");
  const CQmAttributeName outside(static_cast<eAttributeName>(70000));
  const CQmAttributeName negative(static_cast<eAttributeName>(-7));
  const std::u16string huge(70000, u'x');
  struct Step {
    std::vector<std::pair<CQmAttributeName, std::u16string>> updates;
    int sameValues;
  };
  const std::vector<Step> steps = {
      {{{Xan_State, u"A"}, {custom, u"gold"}, {outside, u"o"}, {negative, u"n"}}, 0},
      {{{Xan_State, u"C"}, {CQmAttributeName(u"CUSTOMER TIER"), u"lead"}}, 0},  // in place
      {{{Xan_State, u"C"}, {Xan_UserName, u"someone"}}, 1},                     // one is new
      {{{negative, u"longer"}, {outside, u""}}, 0},                             // lengths change
      {{{Xan_Note, std::u16string(300, u'y')}}, 0},                             // unit-sized ends
      {{{Xan_Note, huge}}, 0},                                                  // two-unit ends
      {{{Xan_Note, huge}, {custom, u"lead"}, {Xan_State, u"H"}}, 2},
      {{{Xan_Note, u"short again"}}, 0},
  };
  InteractionRecord record;
  QueueRecord first(kUserQueue);
  QueueRecord second(kWorkgroupQueue);
  record.SetType(W4Notifier::eGenericObject);
  record.AddQueue(&first);
  CQmAttributeMap expected;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    CQmAttributeMap updates;
    for (const auto& [name, value] : steps[i].updates) {
      updates.insert(name, CQmAttributeValue(value));
      expected[name] = CQmAttributeValue(value);
    }
    int same = 0;
    EventAttributes decoded;
    decoded.Assign(updates);
    record.Merge(
        decoded, [](const CQmAttributeName&) { return true; },
        [&](const CQmAttributeName&, std::u16string_view) { ++same; });
    EXPECT_EQ(same, steps[i].sameValues) << "step " << i;
    EXPECT_EQ(record.Attributes(), expected) << "step " << i;
    if (i == 2) record.AddQueue(&second);
    if (i == 5) record.RemoveQueue(&first);
  }
  EXPECT_EQ(record.Type(), W4Notifier::eGenericObject);
  EXPECT_FALSE(record.IsOn(&first));
  EXPECT_TRUE(record.IsOn(&second));
  for (const auto& [name, value] : expected) {
    CQmAttributeValue found;
    EXPECT_TRUE(record.FindAttribute(name, found)) << name;
    EXPECT_EQ(found, value) << name;
  }
  CQmAttributeValue none;
  EXPECT_FALSE(record.FindAttribute(CQmAttributeName(u"absent"), none));
  EXPECT_FALSE(record.FindAttribute(Xan_AccountCode, none));
  // Only the kept names are stored.
  CQmAttributeMap filtered;
  filtered.insert(Xan_AccountCode, CQmAttributeValue("kept"));
  filtered.insert(Xan_Language, CQmAttributeValue("dropped"));
  EventAttributes decodedFiltered;
  decodedFiltered.Assign(filtered);
  record.Merge(
      decodedFiltered, [](const CQmAttributeName& name) { return name == Xan_AccountCode; },
      [](const CQmAttributeName&, std::u16string_view) {});
  EXPECT_TRUE(record.FindAttribute(Xan_AccountCode, none));
  EXPECT_FALSE(record.FindAttribute(Xan_Language, none));
  record.RemoveQueue(&second);
  EXPECT_FALSE(record.OnAnyQueue());
  EXPECT_EQ(record.AttributeCount(), expected.size() + 1);
}

// The merge walk names the cached non-empty values that a listing lacks,
// whatever kinds of names either side has and wherever they fall.
TEST(InteractionRecordTest, ForEachUnlistedNamesWhatAListingLacks) {
  const CQmAttributeName custom(u"Customer Tier");
  const CQmAttributeName outside(static_cast<eAttributeName>(70000));
  CQmAttributeMap cached;
  cached.insert(Xan_State, CQmAttributeValue("A"));
  cached.insert(Xan_UserName, CQmAttributeValue(""));  // empty: never named
  cached.insert(custom, CQmAttributeValue("gold"));
  cached.insert(outside, CQmAttributeValue("o"));
  InteractionRecord record;
  EventAttributes decoded;
  decoded.Assign(cached);
  record.Merge(
      decoded, [](const CQmAttributeName&) { return true; },
      [](const CQmAttributeName&, std::u16string_view) {});
  const std::vector<std::pair<std::vector<CQmAttributeName>, std::vector<CQmAttributeName>>> cases =
      {
          {{}, {Xan_State, custom, outside}},
          {{Xan_State, custom, outside}, {}},
          {{Xan_State}, {custom, outside}},
          {{CQmAttributeName(u"CUSTOMER TIER"), Xan_Note}, {Xan_State, outside}},
          {{Xan_AccountCode, outside, CQmAttributeName(u"zzz")}, {Xan_State, custom}},
      };
  for (const auto& [listedNames, expected] : cases) {
    CQmAttributeMap listed;
    for (const CQmAttributeName& name : listedNames) listed.insert(name, CQmAttributeValue("x"));
    EventAttributes listing;
    listing.Assign(listed);
    std::set<CQmAttributeName> found;
    record.ForEachUnlisted(listing, [&](const CQmAttributeName& name) { found.insert(name); });
    EXPECT_EQ(found, std::set<CQmAttributeName>(expected.begin(), expected.end()))
        << testing::PrintToString(listedNames);
  }
}

// Counts past what the block's narrow fields hold take wider ones.
TEST(InteractionRecordTest, ManyAttributesAndManyQueuesWidenTheirCounts) {
  InteractionRecord record;
  record.SetType(W4Notifier::eGenericObject2);
  std::vector<std::unique_ptr<QueueRecord>> queues;
  for (std::uint32_t i = 0; i < 5000; ++i) {
    queues.push_back(std::make_unique<QueueRecord>(CEntityId(W4Notifier::eUserQueue, 100 + i)));
    record.AddQueue(queues.back().get());
  }
  CQmAttributeMap many;
  for (std::int32_t i = 0; i < 70000; ++i) {
    many.insert(static_cast<eAttributeName>(1000 + i), CQmAttributeValue(i % 2 == 0 ? "e" : "o"));
  }
  EventAttributes decodedMany;
  decodedMany.Assign(many);
  record.Merge(
      decodedMany, [](const CQmAttributeName&) { return true; },
      [](const CQmAttributeName&, std::u16string_view) {});
  EXPECT_EQ(record.AttributeCount(), many.size());
  EXPECT_EQ(record.Type(), W4Notifier::eGenericObject2);
  EXPECT_TRUE(record.IsOn(queues.front().get()));
  EXPECT_TRUE(record.IsOn(queues.back().get()));
  CQmAttributeValue value;
  EXPECT_TRUE(record.FindAttribute(static_cast<eAttributeName>(1000 + 69999), value));
  EXPECT_EQ(value, "o");
  record.RemoveQueue(queues.front().get());
  EXPECT_FALSE(record.IsOn(queues.front().get()));
  EXPECT_EQ(record.Attributes(), many);
}

// An event's attributes decode as CQmAttributeMap decodes the same bytes,
// whatever the order, repeats and spellings; a malformed map leaves none.
TEST(EventAttributesTest, DecodesAsTheMapDecodes) {
  using Entry = std::pair<std::int32_t, std::u16string>;  // number (-1: custom), text
  struct Case {
    const char* what;
    std::vector<std::pair<Entry, std::u16string>> entries;  // name, value
    std::int32_t count;                                     // as claimed on the wire
    bool malformed;
  };
  const std::u16string longValue(300, u'\u00e9');
  const std::vector<Case> cases = {
      {"in order", {{{Xan_State, u""}, u"C"}, {{Xan_UserName, u""}, u"ann"}}, 2, false},
      {"out of order",
       {{{Xan_Note, u""}, longValue}, {{-1, u"Tier"}, u"gold"}, {{Xan_State, u""}, u"H"}},
       3,
       false},
      {"repeats keep the first spelling and the last value",
       {{{-1, u"Tier"}, u"gold"},
        {{Xan_State, u""}, u"A"},
        {{-1, u"TIER"}, u"lead"},
        {{Xan_State, u""}, u"C"}},
       4,
       false},
      {"a standard key sent by text",
       {{{-1, u"xan_state"}, u"C"}, {{Xan_State, u""}, u"H"}},
       2,
       false},
      {"a count of none", {}, 0, false},
      {"a negative count", {}, -3, false},
      {"a count beyond the entries", {{{Xan_State, u""}, u"C"}}, 1'000'000, true},
  };
  EventAttributes reused;
  // A larger event first: what it left must not show in the next ones.
  CQmAttributeMap large;
  for (std::int32_t i = 0; i < 40; ++i) {
    large.insert(static_cast<eAttributeName>(i + 1), CQmAttributeValue(longValue));
  }
  W4Notifier::CMessage first;
  large.Write(first);
  reused.Read(first);
  first.Rewind();
  CQmAttributeMap largeAsSent;
  largeAsSent.Read(first);
  EXPECT_EQ(reused.Map(), largeAsSent);
  for (const Case& c : cases) {
    W4Notifier::CMessage message;
    message << c.count;
    for (const auto& [name, value] : c.entries) {
      message << name.first;
      if (name.first == -1) message << name.second;
      message << value;
    }
    CQmAttributeMap expected;
    EventAttributes fresh;
    if (c.malformed) {
      EXPECT_THROW(expected.Read(message), W4Notifier::CNotifierExtractException) << c.what;
      message.Rewind();
      EXPECT_THROW(reused.Read(message), W4Notifier::CNotifierExtractException) << c.what;
      EXPECT_TRUE(reused.empty()) << c.what;
      EXPECT_TRUE(reused.Map().empty()) << c.what;
      continue;
    }
    expected.Read(message);
    message.Rewind();
    reused.Read(message);
    message.Rewind();
    fresh.Read(message);
    for (const EventAttributes* decoded : {&reused, &fresh}) {
      EXPECT_EQ(decoded->Map(), expected) << c.what;
      ASSERT_EQ(decoded->size(), expected.size()) << c.what;
      std::size_t i = 0;
      for (const auto& [name, value] : expected) {
        EXPECT_EQ(decoded->Name(i).DisplayName(), name.DisplayName()) << c.what;
        EXPECT_EQ(decoded->Value(i), value.QueryString()) << c.what;
        ++i;
      }
    }
    EventAttributes assigned;
    assigned.Assign(expected);
    EXPECT_EQ(assigned.Map(), expected) << c.what;
  }
}

TEST(MessageReadersTest, HugeNameCountFailsAndTimesConvertToSeconds) {
  W4Notifier::CMessage message;
  message << std::int32_t{2000000000} << std::int32_t{38};
  EXPECT_THROW(ReadNameList(message), W4Notifier::CNotifierExtractException);

  // The time header and file times convert to seconds since 1601.
  EXPECT_EQ(SecondsFromFileTime(0, 10'000'000), 1);
  EXPECT_EQ(SecondsFromFileTime(0, 9'999'999), 0);
  EXPECT_EQ(SecondsFromFileTime(0x80000000u, 0), kInvalidTime);
  EXPECT_EQ(SecondsFromFileTime(0x7FFFFFFFu, 0xFFFFFFFFu), INT64_MAX / 10'000'000);
  // 1970-01-01 is 11644473600 seconds after 1601-01-01.
  EXPECT_GT(LocalUtcSeconds(), 11644473600 + 1'700'000'000);
  message = W4Notifier::CMessage();
  const std::uint64_t count = 13'000'000'000ull * 10'000'000ull + 9'999'999ull;
  message << static_cast<std::uint32_t>(count >> 32) << static_cast<std::uint32_t>(count);
  message << std::uint32_t{0x80000000u} << std::uint32_t{0};
  EXPECT_EQ(ReadServerTimeHeader(message), 13'000'000'000);
  EXPECT_EQ(ReadServerTimeHeader(message), kInvalidTime);
}

// ---- the clock skew filter ----

// One sample: the local time and the server's offset from it; the skew
// expected after the sample.
struct Sample {
  ServerSeconds local;
  std::int64_t offset;  // server - local
  std::int32_t skew;
};

struct FilterCase {
  const char* name;
  std::vector<Sample> samples;
};

class ClockSkewFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(ClockSkewFilterTest, FollowsTheWindows) {
  CClockSkewFilter filter;
  int step = 0;
  for (const Sample& sample : GetParam().samples) {
    filter.AddSample(sample.local + sample.offset, sample.local);
    EXPECT_EQ(filter.Skew(), sample.skew) << "after sample " << step;
    ++step;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, ClockSkewFilterTest,
    ::testing::Values(
        FilterCase{"ASingleSampleInTheFirstWindowNeverChangesIt",
                   {{1000, 0, 0}, {1011, 10, 0}, {1015, 10, 0}, {1021, 10, 10}}},
        FilterCase{"TheCollapsedMeanCountsInTheNextWindow",
                   {{1000, 0, 0}, {1011, 0, 0}, {1022, 9, 4}}},
        FilterCase{"ThreeSecondsOffIsEnough", {{1000, 0, 0}, {1001, 3, 0}, {1010, 3, 3}}},
        FilterCase{"TwoSecondsOffIsNot", {{1000, 0, 0}, {1001, 2, 0}, {1010, 2, 0}}},
        FilterCase{"NegativeMeansTruncateTowardZero",
                   {{1000, 0, 0}, {1001, -3, 0}, {1010, -4, -3}}},
        FilterCase{"AClockSteppingBackEndsTheWindow", {{1000, 0, 0}, {1005, 20, 0}, {900, 20, 20}}},
        // The local times lie far enough from 1601 for the server times to
        // stay valid.
        FilterCase{"HugeDifferencesClampTo32Bits",
                   {{6'000'001'000, 5'000'000'000, INT32_MAX},
                    {6'000'001'001, -5'000'000'000, INT32_MAX},
                    {6'000'001'002, -5'000'000'000, INT32_MAX},
                    {6'000'001'012, -5'000'000'000, INT32_MIN}}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(ClockSkewFilter, NoServerTimeCountsAsASampleOfZeroAndOnlyChangesAreReported) {
  CClockSkewFilter filter;
  EXPECT_EQ(filter.AddSample(kInvalidTime, 1000), 0);
  filter.AddSample(1001 + 30, 1001);
  EXPECT_EQ(filter.AddSample(kInvalidTime, 1012), 15);  // mean of 30 and 0
  // Only changes are reported.
  filter = CClockSkewFilter();
  EXPECT_EQ(filter.AddSample(1007, 1000), 7);
  EXPECT_EQ(filter.AddSample(1008, 1001), std::nullopt);
  EXPECT_EQ(filter.AddSample(1019, 1011), std::nullopt);  // mean 7.5 -> 7: agrees
  EXPECT_EQ(filter.SampleCount(), 1);
  EXPECT_EQ(filter.SampleSum(), 7);
}

// The monitor proxy: deliveries only to active monitors, deactivation that
// does not wait for the caller's own callback, and callbacks that throw.

using namespace std::chrono_literals;

const CEntityId kQueue(W4Notifier::eUserQueue, 77u);

// A monitor whose InteractionAdded runs a test's action.
class ActionMonitor : public CQmQueueMonitor {
 public:
  std::function<void()> action;
  std::atomic<int> calls{0};

 protected:
  void InteractionAdded(const CEntityId&, InteractionId, const CQmAttributeMap&) override {
    ++calls;
    if (action) action();
  }
};

void DeliverAdded(MonitorId id) {
  CQueueMonitorProxy::InteractionAdded(id, kQueue, 1, CQmAttributeMap());
}

MonitorId Attach(CQmQueueMonitor& monitor, const std::vector<CQmAttributeName>& names = {}) {
  const MonitorId id = NewMonitorId();
  CQueueMonitorProxy::Activate(id, &monitor, names);
  return id;
}

TEST(QueueMonitorProxyTest, DeliversOnlyToTheActiveAttachmentItWasMeantFor) {
  ActionMonitor monitor;
  const MonitorId first = Attach(monitor);
  EXPECT_TRUE(CQueueMonitorProxy::IsActive(first));
  DeliverAdded(first);
  CQueueMonitorProxy::Deactivate(first);
  // A later attachment of the same object (or of a new object at the same
  // address) never receives what was meant for the earlier one.
  const MonitorId second = Attach(monitor);
  DeliverAdded(first);
  EXPECT_FALSE(CQueueMonitorProxy::IsActive(first));
  EXPECT_EQ(monitor.calls, 1);
  DeliverAdded(second);
  CQueueMonitorProxy::Deactivate(second);
  DeliverAdded(second);
  EXPECT_EQ(monitor.calls, 2);
}

// A callback delivered inside the monitor's own callback does not wait for
// it, nor does a deactivation there; what comes after is not delivered.
TEST(QueueMonitorProxyTest, NestedCallbacksAndDeactivationOnOneThreadDoNotWaitForThemselves) {
  ActionMonitor monitor;
  const MonitorId id = Attach(monitor);
  monitor.action = [&] {
    if (monitor.calls == 1) DeliverAdded(id);
    if (monitor.calls != 2) return;
    CQueueMonitorProxy::Deactivate(id);
    DeliverAdded(id);
  };
  DeliverAdded(id);
  EXPECT_EQ(monitor.calls, 2);
  EXPECT_EQ(CQueueMonitorProxy::ActiveCount(), 0u);
}

TEST(QueueMonitorProxyTest, ExceptionsOfCallbacksAreCaughtTracedAndLeaveNoTrace) {
  const W4Trace::testing::TraceCapture capture(W4Trace::kLevelFailure);
  ActionMonitor monitor;
  monitor.action = [] { throw std::runtime_error("application fault"); };
  const MonitorId id = Attach(monitor);
  std::thread([&] { DeliverAdded(id); }).join();
  EXPECT_TRUE(capture->Contains("application fault"));
  // The delivery's bookkeeping ended: deactivation from here does not wait.
  auto done = std::async(std::launch::async, [&] { CQueueMonitorProxy::Deactivate(id); });
  EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
}

TEST(QueueMonitorProxyTest, AttributesMonitoredNeedsOneUpdatedNameAmongTheMonitoredOnes) {
  const struct {
    std::vector<CQmAttributeName> monitored;
    std::vector<eAttributeName> updated;
    bool expected;
  } cases[] = {{{Xan_State}, {Xan_State, Xan_UserName}, true},
               {{Xan_State, Xan_UserName, Xan_AccountCode}, {Xan_UserName}, true},
               {{Xan_AccountCode}, {Xan_State}, false},
               {{}, {Xan_State}, false},
               {{Xan_State}, {}, false},
               {{CQmAttributeName(u"custom")}, {Xan_State}, false}};
  for (const auto& c : cases) {
    ActionMonitor monitor;
    CQmAttributeMap updated;
    for (eAttributeName name : c.updated) updated.insert(name, "x");
    const MonitorId id = Attach(monitor, c.monitored);
    EXPECT_EQ(CQueueMonitorProxy::AttributesMonitored(id, updated), c.expected);
    CQueueMonitorProxy::Deactivate(id);
    EXPECT_FALSE(CQueueMonitorProxy::AttributesMonitored(id, updated));
  }
}

// The cache's load protocol on its own: which answer serves which load.

using Ticket = LoadBook::Ticket;

constexpr MonitorId kMonitor = 5;

// Activates kMonitor: `attached` whether it was attached (and live) before.
Ticket Activate(LoadBook& book, bool adding, bool attached) {
  const LoadBook::Activation activation =
      book.Activate(kMonitor, kUserQueue, adding, [&] { return !attached; });
  return Ticket{kMonitor, activation.load, activation.adding, true};
}

TEST(LoadBookTest, OnlyTheLatestLoadEndsTheWait) {
  LoadBook book;
  const Ticket first = Activate(book, false, false);
  const Ticket second = Activate(book, false, true);
  EXPECT_FALSE(book.Serves(first));
  book.Failed(first);  // superseded: the monitor is left to the later load
  book.Answered(first);
  EXPECT_FALSE(book.IsLive(kMonitor));
  EXPECT_TRUE(book.Serves(second));
  book.Answered(second);
  EXPECT_TRUE(book.IsLive(kMonitor));
  EXPECT_FALSE(book.AnyPending());
}

TEST(LoadBookTest, AFailureLeavesALiveMonitorLiveAndAnotherPendingForARetry) {
  const struct {
    bool attached;  // live before it asked
    bool live;      // after the failure
  } cases[] = {{true, true}, {false, false}};
  for (const auto& c : cases) {
    LoadBook book;
    const Ticket ticket = Activate(book, true, c.attached);
    EXPECT_EQ(ticket.adding, c.attached);
    EXPECT_EQ(book.IsLive(kMonitor), c.attached);
    book.Failed(ticket);
    EXPECT_EQ(book.IsLive(kMonitor), c.live);
    EXPECT_EQ(book.FailedMonitors(), c.live ? std::vector<MonitorId>{} : std::vector{kMonitor});
    const auto retry = book.Retry(kMonitor);
    ASSERT_EQ(retry.has_value(), !c.live);
    if (retry) {
      EXPECT_TRUE(book.Serves(Ticket{kMonitor, retry->second, false, true}));
    }
  }
}

TEST(LoadBookTest, MoreNamesAskedForDuringDeliveryKeepTheDeliveredLoad) {
  LoadBook book;
  const Ticket contents = Activate(book, false, false);
  // Before delivery starts, more names are no substitute for the contents.
  const LoadBook::Activation early =
      book.Activate(kMonitor, kUserQueue, true, [] { return false; });
  EXPECT_TRUE(early.allNames);
  EXPECT_FALSE(early.adding);
  EXPECT_FALSE(book.Serves(contents));
  const Ticket delivered{kMonitor, early.load, false, true};
  book.Delivering(delivered);
  const Ticket more = Activate(book, true, true);
  EXPECT_TRUE(more.adding);
  EXPECT_TRUE(book.AnswersCurrentLoad(delivered));
  book.Answered(delivered);
  EXPECT_TRUE(book.IsLive(kMonitor));
  EXPECT_TRUE(book.Serves(more));
}

TEST(LoadBookTest, AnAnswerIsLookedAtThenTaken) {
  LoadBook book;
  LoadBook::Request reload;
  reload.reload = true;
  LoadBook::Request load;
  load.requester = kMonitor;
  book.Sent(7, reload);
  book.Sent(8, load);
  ASSERT_TRUE(book.Look(7));
  EXPECT_TRUE(book.ReloadInFlight());
  EXPECT_TRUE(book.Take(7));
  EXPECT_FALSE(book.Take(7));
  EXPECT_FALSE(book.ReloadInFlight());
  EXPECT_EQ(book.Take(8)->requester, kMonitor);
  EXPECT_FALSE(book.AnyRequest());
}

using W4Notifier::CMessage;
using W4Notifier::CNotifierExtractException;
using W4Notifier::ObjectTypes;
using MediaTypeCounts = CQmQueueStats2::MediaTypeCounts;

CQmQueueStats OneToTwelve() { return CQmQueueStats({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}); }

// What operator<< writes.
std::string TextOf(const auto& value) { return fmt::format("{}", fmt::streamed(value)); }

CQmQueueStats2 ThreeMediaTypes() {
  CQmQueueStats2 stats;
  stats.SetTotalConnectionCallCount(40);
  stats.SetDisconnectedConnectionCallCount(4);
  stats.media_type_maps()[W4Notifier::eInteractionRequest] = {1, 2, 3, 4, 5, 6};
  stats.media_type_maps()[W4Notifier::eChatConferenceInteraction] = {7, 0, 0, 0, 0, 1};
  stats.media_type_maps()[static_cast<ObjectTypes>(7777)] = {0, 0, 0, 0, 9, 0};
  return stats;
}

// ---- CQmQueueStats ----

TEST(QueueStatsTest, DerivedCountsSumTheirStatesAndWrap) {
  const std::tuple<CQmQueueStats::Counters, std::uint32_t, std::uint32_t> cases[] = {
      {{}, 0, 0},
      {{0, 0, 5, 0, 0, 7}, 0, 5},  // disconnected and system are not active
      {{1, 2, 3, 4, 5, 6, 99, 99, 99, 99, 99, 99}, 12, 15},
      {{0xFFFFFFFFu, 2, 0, 0, 0, 0}, 1, 1},  // wraps instead of saturating
      {{0, 0, 0xFFFFFFFFu, 0, 3, 0}, 3, 2},
  };
  for (const auto& [counters, active, all] : cases) {
    const CQmQueueStats stats(counters);
    EXPECT_EQ(stats.QueryActiveInteractionCount(), active) << TextOf(stats);
    EXPECT_EQ(stats.QueryInteractionCount(), all) << TextOf(stats);
  }
}

TEST(QueueStatsTest, TravelsAsTwelveUnsignedFieldsAndAFailedReadChangesNothing) {
  CMessage message;
  message << OneToTwelve();
  EXPECT_EQ(message.DescribeFields(),
            "uint 1, uint 2, uint 3, uint 4, uint 5, uint 6, uint 7, uint 8, uint 9, uint 10, "
            "uint 11, uint 12");
  CQmQueueStats read;
  message >> read;
  EXPECT_EQ(read, OneToTwelve());
  EXPECT_EQ(read.QueryAbandonedCallsToday(), 12u);
  CMessage truncated;
  for (std::uint32_t i = 0; i < 11; ++i) truncated << i + 100;
  CMessage wrongType;
  wrongType << std::u16string(u"12");
  for (CMessage* bad : {&truncated, &wrongType}) {
    EXPECT_THROW(*bad >> read, CNotifierExtractException);
    EXPECT_EQ(read, OneToTwelve());
  }
  EXPECT_EQ(TextOf(OneToTwelve()),
            "Alert=1 Connect=2 Disconnect=3 Held=4 Messaging=5 System=6 ConnectionCalls=7 "
            "DisconnectedConnectionCalls=8 TotalCountToday=9 TotalTimeToday=10 LongestToday=11 "
            "AbandonedToday=12");
  EXPECT_THAT(TextOf(CQmQueueStats({0xFFFFFFFFu})), ::testing::StartsWith("Alert=4294967295 "));
}

// ---- CQmQueueStats2 ----

TEST(QueueStats2Test, TheFormsListTheTypesInOrder) {
  // The wire and text forms list the types in ascending order.
  CMessage message;
  message << ThreeMediaTypes();
  EXPECT_EQ(message.DescribeFields(),
            "uint 40, uint 4, int 3, "
            "int 30, uint 1, uint 2, uint 3, uint 4, uint 5, uint 6, "
            "int 100, uint 7, uint 0, uint 0, uint 0, uint 0, uint 1, "
            "int 7777, uint 0, uint 0, uint 0, uint 0, uint 9, uint 0");
  CMessage viaMember;
  ThreeMediaTypes().write(viaMember);
  EXPECT_EQ(viaMember.DescribeFields(), message.DescribeFields());

  CQmQueueStats2 read;
  message >> read;
  EXPECT_EQ(read, ThreeMediaTypes());
  EXPECT_TRUE(message.IsAtEndOfData());
  EXPECT_EQ(TextOf(CQmQueueStats2()), " ConnectionCalls=0 DisconnectedConnectionCalls=0");
  EXPECT_EQ(TextOf(ThreeMediaTypes()),
            " ConnectionCalls=40 DisconnectedConnectionCalls=4"
            "\nInteraction: Alerting=1 Connected=2 Disconnected=3 Held=4 Messaging=5 System=6"
            "\nChatConference: Alerting=7 Connected=0 Disconnected=0 Held=0 Messaging=0 System=1"
            "\n7777: Alerting=0 Connected=0 Disconnected=0 Held=0 Messaging=9 System=0");
}

// The totals 1 and 2, then `count`.
CMessage& Head(CMessage& message, std::int32_t count) {
  return message << std::uint32_t{1} << std::uint32_t{2} << count;
}

// Reading replaces every entry (a repeated type keeps its last counts, a count
// below one gives none and reads nothing more); a malformed message throws
// and leaves the record untouched. A huge count must fail at the first
// missing field rather than loop or allocate per claimed entry.
TEST(QueueStats2Test, ReadingReplacesTheRecordOrThrowsAndLeavesIt) {
  CQmQueueStats2 lastOfTwo;
  lastOfTwo.SetTotalConnectionCallCount(1);
  lastOfTwo.SetDisconnectedConnectionCallCount(2);
  CQmQueueStats2 none = lastOfTwo;
  lastOfTwo.media_type_maps()[W4Notifier::eUserQueue] = {11, 12, 13, 14, 15, 16};
  struct Case {
    const char* what;
    void (*build)(CMessage&);
    std::optional<CQmQueueStats2> read = std::nullopt;  // none: throws
    std::size_t unread = 0;
  };
  const Case cases[] = {
      {"a repeated type",
       [](CMessage& m) {
         Head(m, 2) << W4Notifier::eUserQueue;  // an ObjectTypes field reads as an int
         for (std::uint32_t c = 1; c <= 6; ++c) m << c;
         m << std::int32_t{W4Notifier::eUserQueue};
         for (std::uint32_t c = 11; c <= 16; ++c) m << c;
       },
       lastOfTwo},
      {"count 0", [](CMessage& m) { Head(m, 0) << std::int32_t{3}; }, none, 5},
      {"count -1", [](CMessage& m) { Head(m, -1) << std::int32_t{3}; }, none, 5},
      {"count INT_MIN", [](CMessage& m) { Head(m, INT_MIN) << std::int32_t{3}; }, none, 5},
      {"empty", [](CMessage&) {}},
      {"no count", [](CMessage& m) { m << std::uint32_t{1} << std::uint32_t{2}; }},
      {"truncated after the count", [](CMessage& m) { Head(m, 1); }},
      {"entry cut short",
       [](CMessage& m) {
         Head(m, 1) << std::int32_t{3};
         for (std::uint32_t c = 0; c < 5; ++c) m << c;
       }},
      {"a type that is text", [](CMessage& m) { Head(m, 1) << u"WorkgroupQueue"; }},
      {"count of INT_MAX with a few bytes left", [](CMessage& m) { Head(m, INT_MAX) << true; }},
      {"count of two billion after a valid entry",
       [](CMessage& m) {
         Head(m, 2000000000) << std::int32_t{3};
         for (std::uint32_t c = 0; c < 6; ++c) m << c;
       }},
  };
  for (const Case& c : cases) {
    CMessage message;
    c.build(message);
    CQmQueueStats2 stats = ThreeMediaTypes();
    if (c.read) {
      message >> stats;
      EXPECT_EQ(message.RemainingBytes(), c.unread) << c.what;
    } else {
      EXPECT_THROW(message >> stats, CNotifierExtractException) << c.what;
    }
    EXPECT_EQ(stats, c.read.value_or(ThreeMediaTypes())) << c.what;
  }
}

}  // namespace
}  // namespace QueueManager
