// The library's public functions against the server emulator: each used as
// an application would, each result checked against the emulator's state.

#include <gmock/gmock.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

struct ChangeCase {
  const char* what;
  // The values of Custom and Xan_State before (none where null).
  const char16_t* custom;
  const char16_t* state;
  bool result;
  const char16_t* expected;  // Custom afterwards
  std::function<bool(std::uint32_t id)> act;
};

TEST_F(EmulatorTest, AttributeChangesAnswerAndStoreWhatTheServerComputed) {
  const std::vector<ChangeCase> cases{
      {"set", nullptr, nullptr, true, u"x",
       [](auto id) { return SetAttribute(id, kCustom, V(u"x")), true; }},
      {"compare and set", u"a", nullptr, true, u"b",
       [](auto id) {
         CQmAttributeValue now;
         return ConditionallySetAttribute(id, kCustom, V(u"a"), V(u"b"), now) &&
                now.QueryString() == u"b";
       }},
      {"compare fails", u"z", nullptr, false, u"z",
       [](auto id) {
         CQmAttributeValue now;
         return ConditionallySetAttribute(id, kCustom, V(u"a"), V(u"b"), now) ||
                now.QueryString() != u"z";
       }},
      {"increment", u"41", nullptr, true, u"42",
       [](auto id) {
         int now = 0;
         return IncrementAttribute(id, kCustom, 1, now) && now == 42;
       }},
      {"increment refused past the int range", u"2147483647", nullptr, false, u"2147483647",
       [](auto id) {
         int now = 0;
         return IncrementAttribute(id, kCustom, 1, now);
       }},
      {"mask", u"12", nullptr, true, u"9",
       [](auto id) {
         std::uint32_t now = 0;
         return MaskAttribute(id, kCustom, 0b1010, 0b0001, now) && now == 9;
       }},
      {"append", u"a", nullptr, true, u"a,b",
       [](auto id) { return AppendAttribute(id, kCustom, V(u"b"), u","), true; }},
      {"insert present", u"a|b", nullptr, true, u"a|b",
       [](auto id) { return InsertAttribute(id, kCustom, V(u"B")), true; }},
      {"remove", u"a|b|c", nullptr, true, u"a|c",
       [](auto id) { return RemoveAttribute(id, kCustom, V(u"B")), true; }},
      {"list all or nothing", u"a", u"A", false, u"a",
       [](auto id) {
         CQmAttributeMap now;
         return ConditionallySetAttributes(id, {kCustom, kState}, {V(u"a"), V(u"C")},
                                           {V(u"b"), V(u"H")}, now, true);
       }},
      {"setting under a condition", nullptr, u"A", true, u"y",
       [](auto id) {
         SetAttributeConditionally setting(kCustom, V(u"y"), true, false);
         setting.AddCondition(kState, SetAttributeConditionally::eComparisonType{0}, V(u"A"),
                              false);
         std::vector<CQmAttributeValue> now;
         return SyncConditionallySetAttributes(id, {setting}, false, now) && now.size() == 1 &&
                now[0].QueryString() == u"y";
       }},
  };
  for (const ChangeCase& c : cases) {
    SCOPED_TRACE(c.what);
    Seed seed;
    if (c.custom != nullptr) seed.emplace_back(u"Custom", c.custom);
    if (c.state != nullptr) seed.emplace_back(u"Xan_State", c.state);
    const std::uint32_t id = Add(seed);
    EXPECT_EQ(c.act(id), c.result);
    EXPECT_EQ(Value(id, kCustom), c.expected);
  }
}

TEST_F(EmulatorTest, QueriesReadTheServersAttributes) {
  const std::uint32_t id = Add({{u"Xan_State", u"C"}, {u"Custom", u"v"}, {u"Xan_LocalName", u"n"}});
  EXPECT_EQ(QueryAttribute(id, kCustom).QueryString(), u"v");
  std::vector<CQmAttributeValue> values;
  EXPECT_TRUE(QueryAttributes(id, {kState, kCustom}, values));
  EXPECT_THAT(testing::Texts(values), ElementsAre(u"C", u"v"));
  std::vector<CQmAttribute> matches;
  EXPECT_TRUE(QueryAttributesWildcard(id, u"XAN_*", matches));
  EXPECT_EQ(matches.size(), 2U);
  EXPECT_FALSE(QueryAttribute(id + 100, kCustom, values.emplace_back()));
  EXPECT_EQ(InteractionId(id).QueryObjectType(), kCall);  // asked of the server
  EXPECT_EQ(InteractionId(id + 100).QueryObjectType(), W4Notifier::eObjectTypeNone);
}

TEST_F(EmulatorTest, QueueAdministrationFollowsTheServersQueues) {
  EXPECT_FALSE(IsQueueActive(kSales));
  CreateQueue(kSales);
  Sync();
  EXPECT_TRUE(IsQueueActive(kSales));
  const std::uint32_t a = Add({{u"Xan_State", u"A"}}, {kSales, kSupport});
  const std::uint32_t b = emulator_->AddInteraction(kChat, MapOf({{u"Xan_State", u"H"}}), {kSales});
  std::vector<CEntityId> queues;
  QueryQueues(W4Notifier::eWorkgroupQueue, queues);
  EXPECT_EQ(queues, emulator_->Queues(W4Notifier::eWorkgroupQueue));
  std::vector<CEntityId> contents;
  EXPECT_TRUE(QueryQueueContents(kSales, contents));
  EXPECT_THAT(contents, ElementsAre(CEntityId(kCall, a), CEntityId(kChat, b)));

  CQmQueueStats stats;
  EXPECT_TRUE(QueryQueueStatistics(kSales, stats));
  EXPECT_EQ(stats.QueryAlertingCount(), emulator_->Counts(kSales)->alerting);
  EXPECT_EQ(stats.QueryHeldCount(), 1U);
  emulator_->UseTwoRecordStatistics(LibraryHandle());
  CQmQueueStats2 stats2;
  EXPECT_TRUE(QueryQueueStatistics(kSales, stats2));
  EXPECT_EQ(stats2.media_type_maps().at(kChat).Held, 1U);

  MoveAndSet(a, {kSales}, MapOf({{u"Xan_State", u"C"}}), {}, false);
  EXPECT_THAT(emulator_->Interaction(a)->queues, ElementsAre(kSupport));
  CEntityId created;
  EXPECT_TRUE(InstantiateInteraction(created, InteractionId(), kCall, eXAN_STATE_OFFERING,
                                     eXAN_DIRECTION_INBOUND, "l", "la", "li", eXAN_PARTY_INTERNAL,
                                     "r", "ra", "ri", eXAN_PARTY_EXTERNAL, {}, {kSupport}, false));
  EXPECT_THAT(*emulator_->QueueContents(kSupport), ElementsAre(a, created.QueryObjectId()));

  MonitorStatServerAttributes({kState});
  DeallocateAllInstances(kChat);
  RemoveQueue(kSupport);
  Sync();
  EXPECT_THAT(emulator_->StatServerNames(LibraryHandle()), ElementsAre(kState));
  EXPECT_FALSE(emulator_->Interaction(b).has_value());
  EXPECT_FALSE(IsQueueActive(kSupport));
  EXPECT_TRUE(emulator_->Interaction(a)->queues.empty());
}

// The time counters follow the server's clock: moving it on lengthens every
// stay by as much. The upper bounds only allow for the test's own run time.
TEST_F(EmulatorTest, StatisticsCountConnectionCallsAndStaysByTheServersClock) {
  struct Expected {
    std::uint32_t connectionCalls, disconnected, minimumTotal, minimumLongest;
  };
  const std::uint32_t a = Add({{u"Xan_State", u"A"}});
  const std::uint32_t b = Add({{u"Xan_State", u"C"}});
  const auto check = [&](const char* what, const Expected& e) {
    CQmQueueStats stats;
    ASSERT_TRUE(QueryQueueStatistics(kSales, stats)) << what;
    EXPECT_EQ(stats.QueryTotalConnectionCallCount(), e.connectionCalls) << what;
    EXPECT_EQ(stats.QueryDisconnectedConnectionCallCount(), e.disconnected) << what;
    EXPECT_GE(stats.QueryCallActiveTimeToday(), e.minimumTotal) << what;
    EXPECT_LT(stats.QueryCallActiveTimeToday(), e.minimumTotal + 600) << what;
    EXPECT_GE(stats.QueryLongestCallToday(), e.minimumLongest) << what;
    EXPECT_LT(stats.QueryLongestCallToday(), e.minimumLongest + 300) << what;
  };
  check("joined", {1, 0, 0, 0});
  emulator_->SetClock(1000);
  check("after 1000 s", {1, 0, 2000, 1000});
  SetAttribute(a, kState, V(u"C"));
  SetAttribute(b, kState, V(u"I"));
  check("both connected, one gone", {2, 1, 2000, 1000});
  emulator_->Move(b, {kSales}, {});
  emulator_->SetClock(3000);
  check("one left, 2000 s on", {1, 0, 1000 + 3000, 3000});
  CQmQueueStats2 stats2;
  emulator_->UseTwoRecordStatistics(LibraryHandle());
  ASSERT_TRUE(QueryQueueStatistics(kSales, stats2));
  EXPECT_EQ(stats2.QueryTotalConnectionCallCount(), 1U);
}

// The clock's offset may be anything: at the ends of its range a stay is as
// long as the counters hold, or has not begun.
TEST_F(EmulatorTest, ExtremeClockOffsetsSaturateTheStayCounters) {
  Add({{u"Xan_State", u"C"}});
  CQmQueueStats stats;
  emulator_->SetClock(std::numeric_limits<std::int64_t>::max());
  ASSERT_TRUE(QueryQueueStatistics(kSales, stats));
  EXPECT_EQ(stats.QueryLongestCallToday(), std::numeric_limits<std::uint32_t>::max());
  emulator_->SetClock(std::numeric_limits<std::int64_t>::min());
  ASSERT_TRUE(QueryQueueStatistics(kSales, stats));
  EXPECT_EQ(stats.QueryLongestCallToday(), 0U);
}

// One session of an application on a server of its own: a queue monitor
// watching Custom on Sales, and the value the cache answers for a new call.
std::u16string CustomSeenInASessionOnAFreshServer(const char16_t* value) {
  auto bus = W4Notifier::CInProcessBus::Create();
  auto connection = bus->Connect();
  CEmulator emulator(bus);
  W4Notifier::SetDefaultConnection(connection);
  testing::RecordingMonitor monitor;
  monitor.Activate(kSales, {kCustom}, true);
  const std::uint32_t id = emulator.AddInteraction(kCall, MapOf({{u"Custom", value}}), {kSales});
  bus->WaitIdle();
  CQmAttributeValue seen;
  const bool found = QueryMonitoredAttribute(InteractionId(id), kCustom, seen);
  monitor.Deactivate();
  W4Notifier::SetDefaultConnection(nullptr);
  return (found ? u"found " : u"missing ") + seen.QueryString();
}

TEST_F(EmulatorTest, ANewConnectionsServerIsAskedForTheWatchedNamesAgain) {
  // The first server was told to send Custom; the second, reached through
  // another default connection, knows nothing of it.
  EXPECT_EQ(CustomSeenInASessionOnAFreshServer(u"first"), u"found first");
  EXPECT_EQ(CustomSeenInASessionOnAFreshServer(u"second"), u"found second");
}

// Another client may send a queue of no object type (an unset entity): it is
// no queue, and creating it is refused.
TEST_F(EmulatorTest, AQueueOfNoTypeIsRefused) {
  W4Notifier::CRequestObject create(
      CEntityId(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects), 6);
  create << std::int32_t{W4Notifier::eObjectTypeNone} << std::int32_t{5};
  create.Send();
  Sync();
  EXPECT_EQ(emulator_->MalformedRequests(), 1U);
  EXPECT_THAT(emulator_->LastRejection(), ::testing::HasSubstr("queue entity not set"));
  EXPECT_THAT(emulator_->Queues(W4Notifier::eObjectTypeNone), ::testing::IsEmpty());
}

// The injected faults are EmulatorFaultTest's.
TEST_F(EmulatorTest, AMalformedRequestChangesNothing) {
  const std::uint32_t id = Add({{u"Custom", u"1"}});
  W4Notifier::CRequestObject truncated(CEntityId(W4Notifier::eInteractionRequest, id), 7);
  truncated << std::int32_t{30} << static_cast<std::int32_t>(id) << std::int32_t{0};
  CQmAttributeName(kCustom).Write(truncated << std::int32_t{1});
  W4Notifier::CResponseObject response;
  EXPECT_EQ(truncated.Send(response, 1000), 0);
  EXPECT_EQ(emulator_->MalformedRequests(), 1U);
  EXPECT_THAT(emulator_->LastRejection(), ::testing::HasSubstr("malformed request 7"));
  EXPECT_EQ(Value(id, kCustom), u"1");
  int now = 0;
  EXPECT_TRUE(IncrementAttribute(id, kCustom, 1, now));
  EXPECT_EQ(now, 2);
}

}  // namespace
}  // namespace QueueManager::Emulator
