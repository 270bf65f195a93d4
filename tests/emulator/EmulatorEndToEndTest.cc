// The library's public functions against the server emulator: each used as
// an application would, each result checked against the emulator's state.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/Alerting.h"
#include "QueueManager/AttributeMonitor.h"
#include "QueueManager/CachingObjectTypeMonitor.h"
#include "QueueManager/ConditionalUpdates.h"
#include "QueueManager/Emulator/EmulatorClient.h"
#include "QueueManager/InteractionLifeCycle.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/QueueObjects.h"
#include "QueueManager/TsServerMonitor.h"
#include "StayBook.h"
#include "emulator/EmulatorTestSupport.h"
#include "interaction/InteractionTestSupport.h"
#include "lightweight/LightweightTestSupport.h"
#include "monitor/CacheTrace.h"
#include "monitor/MediaTypeEntity.h"
#include "platform/notifier/CallbackLog.h"
#include "support/Waits.h"

namespace QueueManager::Emulator {
namespace {

TEST_F(EmulatorTest, AttributeChangesAnswerAndStoreWhatTheServerComputed) {
  // What; the values of Custom and Xan_State before (none where null); the
  // result; Custom afterwards; the change.
  const std::vector<std::tuple<const char*, const char16_t*, const char16_t*, bool, const char16_t*,
                               std::function<bool(std::uint32_t id)>>>
      cases{
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
  for (const auto& [what, custom, state, result, expected, act] : cases) {
    SCOPED_TRACE(what);
    Seed seed;
    if (custom != nullptr) seed.emplace_back(u"Custom", custom);
    if (state != nullptr) seed.emplace_back(u"Xan_State", state);
    const std::uint32_t id = Add(seed);
    EXPECT_EQ(act(id), result);
    EXPECT_EQ(Value(id, kCustom), expected);
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

// The sums of a queue type reach the monitors of all its queues after a
// change of one of them.
TEST_F(EmulatorTest, TheSumsOfATypeReachTheMonitorsOfAllItsQueues) {
  const std::uint32_t a = Add({{u"Xan_State", u"C"}});
  testing::RecordingMonitor all;
  all.Activate(CEntityId(kSales.QueryObjectType(), W4Notifier::kAllObjects), {kState}, true);
  SetAttribute(a, kState, V(u"A"));
  Sync();
  EXPECT_THAT(all.Log(true),
              ::testing::Contains(fmt::format("q{} Stats 1", W4Notifier::kAllObjects)));
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

// The end of an interaction's life against the server emulator: the
// deactivation reports that clients ask for, and the notifications they hand
// on to an interaction.

using ::testing::IsEmpty;

const CEntityId kServer(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects);
constexpr int kDeactivationReport = 5;

// The deactivation reports as "<id> <attributes>", decoded as an application
// decodes them.
struct ReportCollector : W4Notifier::IMessageCallback, testing::WaitableLog {
  void OnMessageReceived(W4Notifier::CMessage& message) override {
    const CDeactivationData report(message);
    std::string line = std::to_string(report.QueryEntityId().QueryObjectId());
    line += report.IsComplete() ? "" : " incomplete";
    for (const auto& [name, value] : report.QueryAttributes()) {
      line += " " + W4Os::WideToNarrowLossy(name.DisplayName() + u"=" + value.QueryString());
    }
    Add(std::move(line));
  }
};

class LifeCycleTest : public EmulatorTest {
 protected:
  void SetUp() override {
    EmulatorTest::SetUp();
    if (IsSkipped()) return;
    connection_->StartNotifications(kServer, kDeactivationReport, &reports_, 0);
  }
  void TearDown() override {
    connection_->StopAllMessages(&reports_);
    EmulatorTest::TearDown();
  }
  ReportCollector reports_;
};

TEST_F(LifeCycleTest, DeactivationIsReportedWithTheNamesAskedForOnlyOnceAsked) {
  const std::uint32_t unreported = Add({{u"Xan_State", u"C"}});
  emulator_->RemoveInteraction(unreported);
  Sync();
  EXPECT_THAT(reports_.Take(0), IsEmpty());

  RequestDeactivationAttributes({kState, kCustom});
  const std::uint32_t removed = Add({{u"Xan_State", u"C"}, {u"Other", u"o"}});
  const std::uint32_t chat = emulator_->AddInteraction(kChat, MapOf({{u"Custom", u"x"}}), {});
  emulator_->AddInteraction(kCall, {}, {});
  Sync();
  emulator_->RemoveInteraction(removed);
  DeallocateAllInstances(kChat);
  Sync();
  EXPECT_EQ(reports_.Take(0), (std::vector<std::string>{std::to_string(removed) + " Xan_State=C",
                                                        std::to_string(chat) + " Custom=x"}));
}

TEST_F(LifeCycleTest, AForwardedNotificationIsKeptWithItsInteraction) {
  const std::uint32_t id = Add({{u"Xan_State", u"C"}});
  W4Notifier::CMessage notification(CEntityId(kCall, id), 3);
  notification << std::int32_t{42} << std::u16string(u"payload");
  ForwardNotification(notification);
  ForwardNotification(W4Notifier::CMessage(CEntityId(kCall, id + 1), 3));  // unknown: dropped
  Sync();
  const std::vector<W4Notifier::CMessage> kept = emulator_->Interaction(id)->forwarded;
  ASSERT_EQ(kept.size(), 1U);
  EXPECT_EQ(kept[0].QueryEventId(), 3);
  EXPECT_EQ(kept[0].Serialize(), notification.Serialize());
  EXPECT_EQ(emulator_->MalformedRequests(), 0U);
}

TEST_F(LifeCycleTest, OnlyTheLatestForwardedNotificationsAreKept) {
  const std::uint32_t id = Add({});
  const std::size_t sent = InteractionState::kForwardedKept + 3;
  for (std::size_t i = 0; i < sent; ++i) {
    W4Notifier::CMessage notification(CEntityId(kCall, id), static_cast<int>(i));
    ForwardNotification(notification);
  }
  Sync();
  const std::vector<W4Notifier::CMessage> kept = emulator_->Interaction(id)->forwarded;
  ASSERT_EQ(kept.size(), InteractionState::kForwardedKept);
  EXPECT_EQ(kept.front().QueryEventId(), 3);
  EXPECT_EQ(kept.back().QueryEventId(), static_cast<int>(sent - 1));
}

// The forms of the lightweight monitors' writes and of forwarded
// notifications that the server refuses: each is rejected whole.
TEST_F(LifeCycleTest, MalformedWritesAndForwardsAreRejectedWhole) {
  const std::uint32_t id = Add({{u"Custom", u"1"}});
  const CEntityId calls(W4Notifier::eObjectTypeEntity, W4STD::w4idstring(u"6"));
  const auto write = [&](const CQmAttributeMap& map, auto&& tail) {
    W4Notifier::CRequestObject request(CEntityId(W4Notifier::eInteractionRequest, id), 7);
    request << std::int32_t{30} << static_cast<std::int32_t>(id) << std::int32_t{0};
    map.Write(request);
    request << std::int32_t{0};
    tail(request);
    return request;
  };
  const CQmAttributeMap set = MapOf({{u"Custom", u"2"}});
  const auto view = [](W4Notifier::CMessage& m, const CEntityId& entity) {
    m << static_cast<std::int32_t>(entity.QueryObjectType())
      << static_cast<std::int32_t>(entity.QueryObjectId());
  };
  std::vector<std::pair<const char*, W4Notifier::CRequestObject>> cases;  // reason, request
  cases.push_back({"without attributes", write({}, [&](auto& m) {
                     m << 0x10001ULL;
                     view(m, calls);
                   })});
  cases.push_back({"sequence number 0", write(set, [&](auto& m) {
                     m << 0ULL;
                     view(m, calls);
                   })});
  cases.push_back({"no media type entity", write(set, [&](auto& m) {
                     m << 0x10001ULL;
                     view(m, kSales);
                   })});
  cases.push_back({"malformed request 7", write(set, [&](auto& m) { m << 0x10001ULL; })});
  W4Notifier::CRequestObject otherObject(CEntityId(W4Notifier::eInteractionRequest, id), 18);
  otherObject << W4Notifier::CMessage(CEntityId(kCall, id + 1), 3);
  cases.push_back({"concerns another object", otherObject});
  W4Notifier::CRequestObject notNested(CEntityId(W4Notifier::eInteractionRequest, id), 18);
  notNested << std::int32_t{3};
  cases.push_back({"malformed request 18", notNested});

  std::uint64_t rejected = 0;
  for (auto& [reason, request] : cases) {
    W4Notifier::CResponseObject response;
    EXPECT_EQ(request.Send(response, 1000), 0) << reason;
    EXPECT_EQ(emulator_->MalformedRequests(), ++rejected) << reason;
    EXPECT_THAT(emulator_->LastRejection(), ::testing::HasSubstr(reason));
  }
  EXPECT_EQ(Value(id, kCustom), u"1");
  EXPECT_THAT(emulator_->Interaction(id)->forwarded, IsEmpty());
}

// The control client on the emulator's own bus: a renegotiation it asks for
// reaches its own connection's subscribers, and no other connection's.

TEST(EmulatorControlLocalTest, RenegotiatesOnlyTheCallersConnection) {
  auto bus = W4Notifier::CInProcessBus::Create();
  CEmulator emulator(bus);
  emulator.ServeControlRequests();
  auto mine = bus->Connect();
  auto other = bus->Connect();
  const W4Notifier::CEntityId queue(W4Notifier::eWorkgroupQueue, 1u);
  W4Notifier::testing::CallbackLog mineHeard, otherHeard;
  mine->StartNotifications(queue, 0, &mineHeard, 0);
  other->StartNotifications(queue, 0, &otherHeard, 0);
  CEmulatorClient(mine).ForceRenegotiation();
  bus->WaitIdle();
  EXPECT_EQ(mineHeard.Lines(), std::vector<std::string>{"renegotiated"});
  EXPECT_TRUE(otherHeard.Lines().empty());
  mine->StopAllMessages(&mineHeard);
  other->StopAllMessages(&otherHeard);
}

// The kept sums of a queue's stays read the same time statistics as the
// stays counted one by one, at any time: before some stay began (a clock
// moved back), long after (lengths clamped), and across far-apart clocks.

constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kFar = std::int64_t{1} << 40;  // beyond what a length holds

struct Member {
  std::uint32_t id;
  Stay stay;
};

// The statistics counted stay by stay.
StayTotals Recount(const std::vector<Member>& open, std::uint64_t closed, std::uint32_t longest,
                   std::int64_t now) {
  StayTotals totals;
  std::uint64_t active = closed;
  totals.longestSeconds = longest;
  for (const Member& member : open) {
    const std::uint64_t length =
        now <= member.stay.since
            ? 0
            : std::min<std::uint64_t>(kMax, static_cast<std::uint64_t>(now) -
                                                static_cast<std::uint64_t>(member.stay.since));
    active = std::min(kMax, active + length);
    totals.longestSeconds =
        std::max<std::uint32_t>(totals.longestSeconds, static_cast<std::uint32_t>(length));
    totals.connectionCalls += member.stay.connected ? 1 : 0;
    totals.disconnectedConnectionCalls += member.stay.connected && member.stay.disconnected ? 1 : 0;
  }
  totals.activeSeconds = static_cast<std::uint32_t>(std::min(kMax, active));
  return totals;
}

void ExpectTotals(const StayTotals& actual, const StayTotals& expected, std::int64_t now) {
  EXPECT_EQ(actual.activeSeconds, expected.activeSeconds) << "at " << now;
  EXPECT_EQ(actual.longestSeconds, expected.longestSeconds) << "at " << now;
  EXPECT_EQ(actual.connectionCalls, expected.connectionCalls) << "at " << now;
  EXPECT_EQ(actual.disconnectedConnectionCalls, expected.disconnectedConnectionCalls)
      << "at " << now;
}

TEST(StayBookTest, ReadsAsTheStaysCountedOneByOne) {
  // Joining times and readings lie around each base, within its spread.
  const std::tuple<const char*, std::int64_t, std::int64_t> cases[] = {
      {"a day's clock", 13'000'000'000, 100'000},
      {"lengths beyond 32 bits", 0, kFar},
      {"clock near its lowest", std::numeric_limits<std::int64_t>::min() / 2, kFar},
      {"clock near its highest", std::numeric_limits<std::int64_t>::max() / 2, kFar},
  };
  for (const auto& [name, base, spread] : cases) {
    SCOPED_TRACE(name);
    std::mt19937_64 random(42);
    std::uniform_int_distribution<std::int64_t> time(base - spread, base + spread);
    StayBook book;
    std::vector<Member> open;
    std::uint64_t closed = 0;
    std::uint32_t longest = 0;
    for (std::uint32_t step = 0; step < 2'000; ++step) {
      const std::int64_t now = time(random);
      const std::uint32_t id = static_cast<std::uint32_t>(random() % 64);
      const auto it = std::ranges::find(open, id, &Member::id);
      switch (random() % 4) {
        case 0:
          if (it == open.end()) {
            const Stay stay{now, random() % 2 == 0, random() % 2 == 0};
            book.Begin(id, stay);
            open.push_back({id, stay});
          }
          break;
        case 1:
          ASSERT_EQ(book.End(id, now), it != open.end());
          if (it != open.end()) {
            const StayTotals one = Recount({*it}, 0, 0, now);
            closed += one.activeSeconds;
            longest = std::max(longest, one.longestSeconds);
            open.erase(it);
          }
          break;
        case 2:
          book.MarkConnected(id);
          if (it != open.end()) it->stay.connected = true;
          break;
        default:
          book.SetDisconnected(id, random() % 2 == 0);
          if (it != open.end()) it->stay.disconnected = book.Find(id)->disconnected;
          break;
      }
      StayTotals totals;
      book.AddTo(totals, now);
      ExpectTotals(totals, Recount(open, closed, longest, now), now);
      ASSERT_TRUE(book.IsConsistent());
      if (HasFailure()) return;
    }
  }
}

// The emulator's injected faults as the library meets them: what it reports
// for each request fault, how delayed answers keep their order, which
// messages each selection form hits, and the emulator's deterministic ids.

using namespace std::chrono_literals;
using W4Notifier::CMessage;
using W4Notifier::eSendStatus;

constexpr int kObjectTypeEvent = 37;  // to an interaction: its object type, no fields
constexpr int kIncrementEvent = 10;

// One object for both answers and notifications, as the library's cache is:
// the connection calls it in order, so its log is the order this client saw.
class AnswerRecorder : public W4Notifier::IAsyncResponseCallback,
                       public W4Notifier::IMessageCallback,
                       public testing::WaitableLog {
 public:
  void OnAsyncResponseSuccess(std::uint32_t, CMessage&) override { Add("answer"); }
  void OnAsyncResponseRejected(std::uint32_t, CMessage&) override { Add("rejected"); }
  void OnAsyncResponseTimeout(std::uint32_t) override { Add("timeout"); }
  void OnAsyncResponseConnectionLoss(std::uint32_t) override { Add("lost"); }
  void OnMessageReceived(CMessage& message) override {
    Add(fmt::format("notify {}", message.QueryObjectId()));
  }
  void OnConnectionRenegotiated() override { Add("renegotiated"); }
};

// Waits until a line of the wire log holds `part`.
bool WaitForLine(testing::WaitableLog& wire, const std::string& part) {
  const auto found = [&part](const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(part) != line.npos; });
  };
  return found(wire.WaitUntil(found));
}

CMessage ObjectTypeRequest(std::uint32_t id) {
  return CMessage(CEntityId(W4Notifier::eInteractionRequest, id, 0), kObjectTypeEvent);
}

RequestFaultPlan Plan(int eventId, eFault fault, FaultSelection selection,
                      std::chrono::milliseconds delay = {}) {
  return RequestFaultPlan{W4Notifier::eInteractionRequest, eventId, fault, selection, delay};
}

class FaultTest : public EmulatorTest {
 protected:
  void TearDown() override {
    W4Notifier::CNotifierTimeout::Set(W4Notifier::CNotifierTimeout::kDefaultMs);
    EmulatorTest::TearDown();
  }
  // "X" for each rejected request, "." for each answered one.
  std::string Pattern(std::uint32_t id, int requests) {
    std::string pattern;
    for (int i = 0; i < requests; ++i) {
      CMessage answer;
      const eSendStatus status = library_->SendRequest(ObjectTypeRequest(id), &answer, 5000);
      pattern += status == eSendStatus::kRejected  ? 'X'
                 : status == eSendStatus::kSuccess ? '.'
                                                   : '?';
    }
    return pattern;
  }
};

TEST_F(FaultTest, EachRequestFaultIsReportedAsTheLibraryMeetsIt) {
  W4Notifier::CNotifierTimeout::Set(1000);
  testing::WaitableLog wire;
  emulator_->SetWireLog(SinkTo(wire));
  // The delay past the time-out goes last: a delayed answer holds back the
  // later answers to its client.
  // Each fault, what IncrementAttribute returns and the server's value afterwards.
  const std::tuple<const char*, eFault, std::chrono::milliseconds, bool, const char16_t*> cases[] =
      {
          {"rejected: nothing applied", eFault::kReject, 0ms, false, u"1"},
          {"no answer: time-out, applied", eFault::kNoReply, 0ms, false, u"2"},
          {"answer cut short", eFault::kTruncated, 0ms, false, u"2"},
          {"short delay: answered late", eFault::kDelay, 10ms, true, u"2"},
          {"connection dropped: the send fails, applied", eFault::kDropConnection, 0ms, false,
           u"2"},
          {"delay past the time-out", eFault::kDelay, 60s, false, u"2"},
      };
  for (const auto& [what, fault, delay, reported, after] : cases) {
    SCOPED_TRACE(what);
    const std::uint32_t id = Add({{u"Custom", u"1"}});
    emulator_->InjectFault(Plan(kIncrementEvent, fault, FaultSelection::Next(1), delay));
    int now = 0;
    EXPECT_EQ(IncrementAttribute(id, kCustom, 1, now), reported);
    EXPECT_EQ(Value(id, kCustom), after);
    if (fault == eFault::kDropConnection) {
      EXPECT_TRUE(WaitForLine(wire, "connection dropped and renegotiated"));
    }
    EXPECT_TRUE(library_->IsConnected());
  }
  emulator_->SetWireLog({});  // the delayed answer is logged when the emulator ends
}

TEST_F(FaultTest, ADelayedAnswerStillComesBeforeLaterNotificationsButHoldsUpNoOtherClient) {
  // Due in time, or sent when the emulator ends.
  for (const auto& [delay, releasedByDestruction] :
       {std::pair(50ms, false), std::pair(60000ms, true)}) {
    SCOPED_TRACE(delay.count());
    emulator_.reset();  // the bus serves one emulator at a time
    emulator_ = std::make_unique<CEmulator>(bus_);
    const std::uint32_t id = Add({});
    AnswerRecorder recorder;
    connection_->StartNotifications(kSupport, 0, &recorder, 0);
    emulator_->InjectFault(Plan(kObjectTypeEvent, eFault::kDelay, FaultSelection::Next(1), delay));
    connection_->SendAsyncRequest(ObjectTypeRequest(id), &recorder, 0, 120'000);
    bus_->WaitIdle();  // served: its answer waits in the emulator
    Add({}, {kSupport});
    if (releasedByDestruction) {
      const auto other = bus_->Connect();
      CMessage answer;
      EXPECT_EQ(other->SendRequest(ObjectTypeRequest(id), &answer, 5000), eSendStatus::kSuccess);
      EXPECT_THAT(recorder.Lines(), ::testing::IsEmpty());
      emulator_.reset();
    }
    EXPECT_THAT(recorder.WaitFor(2),
                ElementsAre("answer", fmt::format("notify {}", kSupport.QueryObjectId())));
    connection_->StopAllMessages(&recorder);
  }
}

TEST_F(FaultTest, ADroppedConnectionFailsItsRequestsAndIsRenegotiated) {
  const std::uint32_t id = Add({});
  AnswerRecorder recorder;
  connection_->StartNotifications(kSales, 0, &recorder, 0);
  emulator_->InjectFault(Plan(kObjectTypeEvent, eFault::kDropConnection, FaultSelection::Next(1)));
  // The connection may drop before the send has finished: the send fails
  // then, instead of the callback.
  const bool sent = connection_->SendAsyncRequest(ObjectTypeRequest(id), &recorder, 0, 120'000) ==
                    W4Notifier::eMsgSuccess;
  if (sent) {
    EXPECT_THAT(recorder.WaitFor(2), ElementsAre("lost", "renegotiated"));
  } else {
    EXPECT_THAT(recorder.WaitFor(1), ElementsAre("renegotiated"));
  }
  connection_->StopAllMessages(&recorder);
}

TEST_F(FaultTest, EachSelectionFormHitsItsRequests) {
  // The pattern of ten requests expected; nullptr: some hit, some not.
  const std::tuple<const char*, FaultSelection, const char*> cases[] = {
      {"the next three", FaultSelection::Next(3), "XXX......."},
      {"never by chance", FaultSelection::WithProbability(0, 1), ".........."},
      {"always by chance", FaultSelection::WithProbability(1, 1), "XXXXXXXXXX"},
      {"half by chance", FaultSelection::WithProbability(0.5, 7), nullptr},
      {"in an open window", FaultSelection::During(1h), "XXXXXXXXXX"},
      {"after the window closed", FaultSelection::During(1s, -1h), ".........."},
      {"before the window opens", FaultSelection::During(1h, 1h), ".........."},
  };
  for (const auto& [what, selection, expected] : cases) {
    SCOPED_TRACE(what);
    emulator_.reset();  // the bus serves one emulator at a time
    emulator_ = std::make_unique<CEmulator>(bus_);
    const std::uint32_t id = Add({});
    emulator_->InjectFault(Plan(kObjectTypeEvent, eFault::kReject, selection));
    const std::string pattern = Pattern(id, 10);
    if (expected != nullptr) {
      EXPECT_EQ(pattern, expected);
      continue;
    }
    EXPECT_THAT(pattern, ::testing::AllOf(::testing::HasSubstr("X"), ::testing::HasSubstr(".")));
    // The same seed hits the same requests again.
    emulator_.reset();  // the bus serves one emulator at a time
    emulator_ = std::make_unique<CEmulator>(bus_);
    emulator_->InjectFault(Plan(kObjectTypeEvent, eFault::kReject, selection));
    EXPECT_EQ(Pattern(Add({}), 10), pattern);
  }
}

TEST_F(FaultTest, ACountOfZeroOrClearingEndsAPlan) {
  const std::uint32_t id = Add({});
  emulator_->InjectFault(W4Notifier::eInteractionRequest, kObjectTypeEvent, eFault::kReject, 5);
  EXPECT_EQ(Pattern(id, 1), "X");
  emulator_->InjectFault(W4Notifier::eInteractionRequest, kObjectTypeEvent, eFault::kReject, 0);
  EXPECT_EQ(Pattern(id, 1), ".");
  emulator_->InjectFault(Plan(kObjectTypeEvent, eFault::kReject, FaultSelection::During(1h)));
  emulator_->ClearFaults();
  EXPECT_EQ(Pattern(id, 1), ".");
}

// Ids handed out by seeding, by instantiation and in object id blocks.
std::vector<std::uint32_t> IdsHandedOut(const std::shared_ptr<W4Notifier::CInProcessBus>& bus) {
  CEmulator emulator(bus);
  const auto client = bus->Connect();
  std::vector<std::uint32_t> ids;
  ids.push_back(emulator.AddInteraction(kCall, {}, {kSales}));
  CMessage block(CEntityId(W4Notifier::eInteractionRequest, W4Notifier::kAllObjects, 0), 35);
  block << std::int32_t{4};
  CMessage answer;
  if (client->SendRequest(block, &answer, 5000) == eSendStatus::kSuccess) {
    std::uint32_t first = 0;
    answer >> first;
    ids.push_back(first);
  }
  emulator.SetNextInteractionId(100);
  ids.push_back(emulator.AddInteraction(kCall, {}, {}));
  emulator.SetNextInteractionId(100);  // in use: the next free one
  ids.push_back(emulator.AddInteraction(kChat, {}, {kSupport}));
  return ids;
}

TEST(EmulatorIdsTest, TheSameOperationsHandOutTheSameIds) {
  const std::vector<std::uint32_t> first = IdsHandedOut(W4Notifier::CInProcessBus::Create());
  EXPECT_THAT(first, ElementsAre(1U, 2U, 100U, 101U));
  EXPECT_EQ(IdsHandedOut(W4Notifier::CInProcessBus::Create()), first);
}

// Notification faults as the library's cache meets them, the server clock's
// drift, and the wire log.

// A queue monitor whose log can be waited for.
class WaitableMonitor : public testing::RecordingMonitor {
 public:
  WaitableMonitor() {
    hook = [this](const std::string& entry) { entries.Add(entry); };
  }
  ~WaitableMonitor() override { Deactivate(); }
  testing::WaitableLog entries;
};

NotificationFaultPlan OnSales(eNotificationFault fault, std::chrono::milliseconds delay = {}) {
  return NotificationFaultPlan{W4Notifier::eWorkgroupQueue, kSales.QueryObjectId(), fault,
                               FaultSelection::Next(1), delay};
}

std::vector<std::uint32_t> Cached(const testing::RecordingMonitor& monitor) {
  std::vector<InteractionId> cached;
  monitor.QueryContents(cached);
  std::vector<std::uint32_t> ids;
  for (const InteractionId& id : cached) ids.push_back(id.QueryObjectId());
  return ids;
}

using NotificationFaultTest = EmulatorTest;

TEST_F(NotificationFaultTest, ADroppedNotificationIsMissedUntilTheReload) {
  emulator_->CreateQueue(kSales);
  WaitableMonitor monitor;
  monitor.Activate(kSales, {kState}, true);
  emulator_->InjectNotificationFault(OnSales(eNotificationFault::kDrop));
  const std::uint32_t id = Add({{u"Xan_State", u"A"}});
  Sync();
  EXPECT_THAT(Cached(monitor), ::testing::IsEmpty());
  transport_.Interrupt([] {});
  EXPECT_TRUE(transport_.AwaitAgreement([&] { return Cached(monitor).size() == 1; }));
  EXPECT_THAT(Cached(monitor), ElementsAre(id));
}

TEST_F(NotificationFaultTest, ADelayedNotificationArrivesLater) {
  emulator_->CreateQueue(kSales);
  WaitableMonitor monitor;
  monitor.Activate(kSales, {kState}, true);
  emulator_->InjectNotificationFault(OnSales(eNotificationFault::kDelay, 30ms));
  const std::size_t loaded = monitor.entries.WaitFor(0).size();
  const std::uint32_t id = Add({{u"Xan_State", u"A"}});
  EXPECT_THAT(monitor.entries.WaitFor(loaded + 2),
              ::testing::IsSupersetOf(std::vector<std::string>{
                  fmt::format("Added {} {{Xan_State=A}}", id), "Stats 1"}));
  EXPECT_THAT(Cached(monitor), ElementsAre(id));
}

// The cache applies each queue notification once and in the server's order,
// by the sequence number that each carries.
TEST_F(NotificationFaultTest, DuplicatedOrReorderedNotificationsLeaveTheCacheAsTheServer) {
  const std::tuple<const char*, eNotificationFault> cases[] = {
      {"duplicated", eNotificationFault::kDuplicate}, {"reordered", eNotificationFault::kReorder}};
  for (const auto& [what, fault] : cases) {
    SCOPED_TRACE(what);
    testing::Cache().ResetForTesting();
    emulator_.reset();  // the bus serves one emulator at a time
    emulator_ = std::make_unique<CEmulator>(bus_);
    emulator_->CreateQueue(kSales);
    WaitableMonitor monitor;
    monitor.Activate(kSales, {kState}, true);
    emulator_->InjectNotificationFault(OnSales(fault));
    const std::uint32_t id = Add({{u"Xan_State", u"A"}});
    emulator_->Move(id, {kSales}, {});
    const std::uint32_t stays = Add({{u"Xan_State", u"C"}});
    Sync();
    EXPECT_THAT(Cached(monitor), ElementsAre(stays)) << ::testing::PrintToString(monitor.Log());
    CQmQueueStats stats;
    monitor.QueryStatistics(stats);
    EXPECT_EQ(stats.QueryConnectedCount(), 1U);
    EXPECT_EQ(stats.QueryAlertingCount(), 0U);
    EXPECT_THAT(monitor.Log(), ::testing::Contains(fmt::format("Added {} {{Xan_State=A}}", id))
                                   .Times(fault == eNotificationFault::kDuplicate ? 1 : 0));
  }
}

TEST_F(NotificationFaultTest, TheClockDriftsFromTheOffset) {
  using Clock = std::chrono::steady_clock;
  emulator_->SetClock(-300);
  const Clock::time_point set = Clock::now();
  emulator_->SetClockDrift(100);
  RequestClockSkewUpdates();  // the first sample sets the skew
  const double elapsed = std::chrono::duration<double>(Clock::now() - set).count();
  EXPECT_GE(QueryClockSkew(), -301);
  EXPECT_LE(QueryClockSkew(), -300 + 100 * elapsed + 1);
}

// The server time of one answer, in seconds, with the steady clock read just
// before and just after.
struct TimedAnswer {
  double before;
  double server;
  double after;
};

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

TimedAnswer ServerTime(W4Notifier::CNotifierConnection& connection) {
  TimedAnswer timed{SteadySeconds(), 0, 0};
  CMessage request(CEntityId(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects, 0), 16);
  CMessage answer;
  connection.SendRequest(request, &answer, 5000);
  timed.after = SteadySeconds();
  std::uint32_t high = 0;
  std::uint32_t low = 0;
  answer >> high >> low;
  timed.server = static_cast<double>((std::uint64_t{high} << 32U) | low) / 1e7;
  return timed;
}

TEST_F(NotificationFaultTest, TheServerTimeGainsTheDriftOnTheRealTime) {
  constexpr double kDrift = 3600;
  constexpr double kClockSlack = 0.05;  // between the system and the steady clock
  emulator_->SetClockDrift(kDrift);
  const TimedAnswer first = ServerTime(*library_);
  const TimedAnswer second = ServerTime(*library_);
  const double gained = second.server - first.server;
  EXPECT_GE(gained, (1 + kDrift) * (second.before - first.after) - kClockSlack);
  EXPECT_LE(gained, (1 + kDrift) * (second.after - first.before) + kClockSlack);
  // Stopping the drift keeps what it gained: the time goes on from there,
  // it does not fall back. The drift ran at least until the call below.
  const double stopping = SteadySeconds();
  emulator_->SetClockDrift(0);
  const TimedAnswer third = ServerTime(*library_);
  EXPECT_GE(third.server - second.server, kDrift * (stopping - second.after) - kClockSlack);
}

TEST_F(NotificationFaultTest, TheWireLogShowsEachMessageByItsMeaning) {
  testing::WaitableLog wire;
  emulator_->SetWireLog(SinkTo(wire));
  emulator_->SetNextInteractionId(12);
  const std::uint32_t id = Add({{u"Xan_State", u"A"}, {u"Custom", u"v"}});
  std::vector<CQmAttributeValue> values;
  QueryAttributes(id, {kState, kCustom}, values);
  emulator_->InjectFault(W4Notifier::eInteractionRequest, 0, eFault::kReject);
  QueryAttributes(id, {kState}, values);
  emulator_->InjectNotificationFault(OnSales(eNotificationFault::kDuplicate));
  emulator_->Move(id, {kSales}, {});
  CMessage malformed(CEntityId(W4Notifier::eInteractionRequest, id, 0), 10);
  malformed << std::int32_t{1};
  CMessage answer;
  library_->SendRequest(malformed, &answer, 5000);
  emulator_->SetWireLog({});
  Add({});
  const int c = LibraryHandle();
  const char* const kMalformed =
      "malformed request 10: cannot read message field at offset 5: no field left";
  EXPECT_THAT(
      wire.Lines(),
      ElementsAre(
          "⇢ notify queue WorkgroupQueue/1 seq=1 +1 -0 ~0",
          "⇢ notify queue WorkgroupQueue/* seq=1 +0 -0 ~0",
          fmt::format("→ client {} req QueryAttributes interaction 12 names=[Xan_State,Custom]", c),
          fmt::format("← client {} ans QueryAttributes: int 2, wstring \"A\", wstring \"v\"", c),
          fmt::format("→ client {} req QueryAttributes interaction 12 names=[Xan_State]", c),
          fmt::format("← client {} rej QueryAttributes: injected fault", c),
          "⇢ notify queue WorkgroupQueue/1 seq=2 +0 -1 ~0",
          "⇢ notify queue WorkgroupQueue/1 seq=2 +0 -1 ~0 [duplicate]",
          "⇢ notify queue WorkgroupQueue/* seq=2 +0 -0 ~0",
          fmt::format("→ client {} req Interaction/12 event 10 ({})", c, kMalformed),
          fmt::format("← client {} rej request: {}", c, kMalformed)));
}

// The monitors of every kind, alerting and the legacy queue object functions
// against the server emulator.

using testing::RecordingConferenceMonitor;
using testing::RecordingInteractionMonitor;
using testing::RecordingMediaMonitor;
using testing::RecordingTsMonitor;
using ::testing::UnorderedElementsAre;

// The callbacks since the last call.
std::vector<std::string> Take(testing::EntryLog& log) {
  std::vector<std::string> lines = log.Log();
  log.ClearLog();
  return lines;
}

using InteractionMonitorTest = EmulatorTest;

TEST_F(InteractionMonitorTest, ReportsWatchedChangesFromRequestsAndControlThenTheEnd) {
  const std::uint32_t id = Add({{u"Xan_State", u"A"}, {u"Custom", u"x"}});
  RecordingInteractionMonitor watcher;
  watcher.Activate(id, {kState}, false);
  watcher.Activate(id + 100, {kState}, true);  // unknown to the server
  Sync();
  // The two answers come on different threads.
  EXPECT_THAT(Take(watcher), UnorderedElementsAre("Updated 1 {Xan_State=A}", "Deallocated 101"));
  watcher.RequestAttributeUpdateCallback(kCustom);           // a snapshot: reported
  SetAttribute(id, kState, V(u"C"));                         // through a request
  emulator_->SetAttributes(id, MapOf({{u"Custom", u"y"}}));  // not watched: not reported
  emulator_->RemoveInteraction(id);
  Sync();
  EXPECT_THAT(Take(watcher),
              ElementsAre("Updated 1 {Custom=x}", "Updated 1 {Xan_State=C}", "Deallocated 1"));
  EXPECT_THAT(emulator_->WatchedNames(LibraryHandle(), id), ::testing::IsEmpty());
}

TEST_F(InteractionMonitorTest, ConferenceFollowsItsMemberListToTheEnd) {
  const std::uint32_t a = Add({{u"Custom", u"a"}});
  const std::uint32_t b = Add({{u"Custom", u"b"}});
  const std::uint32_t conference = emulator_->AddInteraction(W4Notifier::eConferenceInteraction,
                                                             MapOf({{u"Xan_State", u"C"}}), {});
  RecordingConferenceMonitor watcher;
  watcher.Activate(conference, {kCustom}, true);
  CQmAttributeMap members;
  members[CQmAttributeName(Xan_ConferenceMembers)].insert(a);
  members[CQmAttributeName(Xan_ConferenceMembers)].insert(b);
  emulator_->SetAttributes(conference, members);
  Sync();
  emulator_->SetAttributes(a, MapOf({{u"Custom", u"a2"}}));
  emulator_->RemoveInteraction(b);  // leaves the member list, published whole
  emulator_->SetAttributes(conference, MapOf({{u"Xan_State", u"I"}}));
  Sync();
  EXPECT_THAT(Take(watcher),
              ElementsAre("Added 1 {Custom=a}", "Added 2 {Custom=b}", "Updated 1 {Custom=a2}",
                          "Removed 2", "Updated 3 {Xan_State=I}", "Ended 3"));
}

using QueueObjectTest = EmulatorTest;

TEST_F(QueueObjectTest, ObjectsWithAllocatedIdsMoveOnTheServersQueues) {
  const std::uint32_t first = AllocateQueueObjectId(3);
  EXPECT_EQ(AllocateQueueObjectId(3), first + 1);  // from the same block
  const CEntityId object(W4Notifier::eGenericObject, first);
  InsertObjectOnQueues(object, {kSales, kSupport});
  EXPECT_EQ(MoveQueueObject(object, kSupport, kSales), 1);
  W4Notifier::CEntityIdArray queues;
  EXPECT_EQ(QueryQueuesContainingObject(object, queues), 1);
  RemoveObjectFromAllQueues(object);
  EXPECT_THAT(emulator_->Interaction(first)->queues, ::testing::IsEmpty());
  EXPECT_EQ(MoveQueueObject(CEntityId(W4Notifier::eGenericObject, first + 1), kSales, {}), 0);
  EXPECT_GT(Add({}), first + 2);  // the block's ids stay reserved
}

TEST_F(QueueObjectTest, CountsAndSelectionsFollowTheStates) {
  Add({{u"Xan_State", u"H"}});
  const std::uint32_t onSales = Add({{u"Xan_State", u"A"}});
  const std::uint32_t onSupport = Add({{u"Xan_State", u"O"}}, {kSupport});
  EXPECT_EQ(QueryActiveQueueObjectCount(kSales, kCall) +
                QueryActiveHeldQueueObjectCount(kSales, kCall) +
                QueryActiveHeldQueueObjectCount(kSales, kChat),
            2);
  std::ostringstream support, sales;
  support << kSupport;
  sales << kSales;
  std::uint32_t selected = 0;
  for (const std::uint32_t expected : {onSupport, onSales, 0U}) {
    EXPECT_EQ(SelectCall({support.str(), sales.str()}, 0, selected), expected != 0);
    EXPECT_EQ(selected, expected);
  }
  EXPECT_EQ(Value(onSales, kState), u"C");  // taken
}

// The media type entity holds every interaction of its type, whatever its
// queues.

using MediaEmulatorTest = EmulatorTest;

TEST_F(MediaEmulatorTest, MediaTypeMonitorFollowsEveryInteractionOfItsType) {
  const std::uint32_t queued = Add({{u"Xan_State", u"A"}});
  const std::uint32_t unqueued = Add({{u"Xan_State", u"C"}}, {});
  const std::uint32_t chat = emulator_->AddInteraction(kChat, MapOf({{u"Xan_State", u"A"}}), {});
  RecordingMediaMonitor watcher;
  watcher.Activate(kCall, {kState}, true);
  EXPECT_THAT(watcher.log->Take(2), UnorderedElementsAre("1 {Xan_State=A}", "2 {Xan_State=C}"));

  SetAttribute(queued, kState, V(u"C"));
  emulator_->SetAttributes(chat, MapOf({{u"Xan_State", u"C"}}));   // another type
  emulator_->SetAttributes(unqueued, MapOf({{u"Custom", u"x"}}));  // not monitored
  const std::uint32_t added = emulator_->AddInteraction(kCall, MapOf({{u"Xan_State", u"O"}}), {});
  emulator_->RemoveInteraction(unqueued);
  Sync();
  EXPECT_THAT(
      watcher.log->Take(3),
      ElementsAre("1 {Xan_State=C}", fmt::format("{} {{Xan_State=O}}", added), "2 Deallocated"));

  EXPECT_THAT(*emulator_->ViewContents(MediaTypeEntity(kCall)), ElementsAre(queued, added));
  EXPECT_FALSE(emulator_->ViewContents(MediaTypeEntity(kChat)).has_value());  // never activated
  CQmQueueStats stats;
  ASSERT_TRUE(QueryQueueStatistics(MediaTypeEntity(kCall), stats));
  EXPECT_EQ(stats.QueryConnectedCount(), 1U);
  EXPECT_EQ(stats.QueryAlertingCount(), 1U);

  // After a renegotiation the cache reloads the media type entity from the
  // server and goes on following it.
  transport_.Interrupt([] {});
  watcher.log->Take(0);
  emulator_->SetAttributes(added, MapOf({{u"Xan_State", u"C"}}));
  EXPECT_THAT(watcher.log->Take(1), ElementsAre(fmt::format("{} {{Xan_State=C}}", added)));
}

// A monitor of its interactions only reports them; one of all reports every
// interaction of the type.
TEST_F(MediaEmulatorTest, TsServerMonitorReportsTheInteractionsItIsToldOrAll) {
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "all" : "told");
    testing::Cache().ResetForTesting();
    const std::uint32_t watched = Add({{u"Xan_State", u"A"}});
    const std::uint32_t other = Add({{u"Xan_State", u"A"}});
    Sync();  // their additions are over before the monitor subscribes
    RecordingTsMonitor monitor(all);
    monitor.Activate(kCall, {kState});
    if (!all) monitor.MonitorInteraction(watched);
    emulator_->SetAttributes(other, MapOf({{u"Xan_State", u"C"}}));
    emulator_->SetAttributes(watched, MapOf({{u"Xan_State", u"H"}}));
    const std::string heldLine = fmt::format("{} {{Xan_State=H}}", watched);
    if (all) {
      // In one batch or two: a batch is reported in ascending ids.
      EXPECT_THAT(monitor.log->Take(2),
                  UnorderedElementsAre(fmt::format("{} {{Xan_State=C}}", other), heldLine));
    } else {
      EXPECT_THAT(monitor.log->Take(1), ElementsAre(heldLine));
    }
    emulator_->RemoveInteraction(watched);
    emulator_->RemoveInteraction(other);
  }
}

// Alerting orders are held until answered, ended, timed out or overtaken by
// the interaction's fate; bad orders are answered at once.
const CEntityId kAgent(W4Notifier::eUserQueue, 7);
const AlertList kAlerts{{kAgent, CQmAlertingParameters()}};

// Answers each alert as the alerted party, on the delivery thread.
struct AnsweringParty : W4Notifier::IMessageCallback {
  void OnMessageReceived(W4Notifier::CMessage& message) override {
    const AlertNotification alert(message);
    emulator->AnswerAlerting(alert.alerting_interaction().QueryObjectId(), alert.alerted_entity());
  }
  CEmulator* emulator = nullptr;
};

struct Outcome : AsyncPerformAlertingResponse {
  void OnPerformAlertingResponse(ePerformAlertingResponse code) override {
    promise.set_value(code);
  }
  std::promise<ePerformAlertingResponse> promise;
};

using AlertingTest = EmulatorTest;

TEST_F(AlertingTest, AnAnswerFromTheAlertedPartyEndsTheWaitConnected) {
  AnsweringParty party;
  party.emulator = emulator_.get();
  connection_->StartNotifications(kAgent, 15, &party, 0);
  const std::uint32_t id = Add({{u"Xan_State", u"O"}});
  EXPECT_EQ(PerformAlerting(id, 60, {kSales}, {kSupport}, kAlerts, 5), eAlertingAnswered);
  EXPECT_EQ(Value(id, kState), u"C");
  EXPECT_THAT(emulator_->Interaction(id)->queues, ElementsAre(kSales, kSupport));
  connection_->StopAllMessages(&party);
}

TEST_F(AlertingTest, BadOrdersAreAnsweredAtOnceAndChangeNothing) {
  const std::uint32_t id = Add({{u"Xan_State", u"O"}});
  const std::uint32_t gone = Add({{u"Xan_State", u"I"}});
  const std::vector<std::tuple<std::uint32_t, std::uint32_t, CEntityId, CEntityId, AlertList,
                               ePerformAlertingResponse>>
      cases{{id, 60, kSales, kSupport, {}, eAlertingInvalidParameter},
            {id, 0, kSales, kSupport, kAlerts, eAlertingInvalidParameter},
            {id + 100, 60, kSales, kSupport, kAlerts, eAlertingInvalidInteractionId},
            {gone, 60, kSales, kSupport, kAlerts, eAlertingInvalidInteractionState},
            {id, 60, kSupport, kSupport, kAlerts, eAlertingNotOnAlertedQueue},
            {id, 60, kSales, kSales, kAlerts, eAlertingAlreadyOnAssociatedQueue}};
  for (const auto& [target, seconds, from, associated, alerts, code] : cases) {
    EXPECT_EQ(PerformAlerting(target, seconds, {from}, {associated}, alerts, 0), code);
  }
  EXPECT_EQ(Value(id, kState), u"O");
  CQmAlertingParameters autoAnswer;
  autoAnswer.AutoAnswer = true;
  EXPECT_EQ(PerformAlerting(id, 60, {}, {}, {{kAgent, autoAnswer}}, 0), eAlertingSucceeded);
  EXPECT_EQ(Value(id, kState), u"C");
}

TEST_F(AlertingTest, HeldOrdersEndByRequestTimeOutDisconnectionOrMove) {
  const std::vector<
      std::pair<std::function<void(CEmulator&, std::uint32_t)>, ePerformAlertingResponse>>
      cases{{[](auto&, auto id) { EndAlerting(id, 0); }, eAlertingEnded},
            {[](auto&, auto id) { EXPECT_TRUE(AlertConnectionTimeout(id, 0)); }, eAlertingTimeout},
            {[](auto& e, auto id) {
               e.SetAttributes(id, MapOf({{u"Xan_State", u"I"}}));
             },
             eAlertingDisconnected},
            {[](auto& e, auto id) { e.Move(id, {kSales}, {}); }, eAlertingTransferred}};
  for (const auto& [end, code] : cases) {
    const std::uint32_t id = Add({{u"Xan_State", u"O"}});
    auto outcome = W4Util::MakeObject<Outcome>();
    AsyncPerformAlerting(id, 60, {kSales}, {kSupport}, kAlerts, 3, outcome);
    SilentAlerting(id);
    Sync();
    ASSERT_TRUE(emulator_->Alerting(id).has_value() && emulator_->Alerting(id)->silent) << code;
    EXPECT_EQ(Value(id, kState), u"A");
    end(*emulator_, id);
    EXPECT_EQ(outcome->promise.get_future().get(), code);
    EXPECT_FALSE(emulator_->Alerting(id).has_value());
    EXPECT_THAT(emulator_->Interaction(id)->queues, ::testing::Not(::testing::Contains(kSupport)));
  }
}

// The time-out thread sleeps until the earliest time-out it knows of: what
// falls due before it, a shorter alerting or an answer a fault delays, wakes
// it, and is not left waiting for the longer time-out.
TEST_F(AlertingTest, WhatFallsDueFirstIsNotHeldBackByALongerTimeOut) {
  using namespace std::chrono_literals;
  const std::uint32_t held = Add({{u"Xan_State", u"O"}});
  auto heldOutcome = W4Util::MakeObject<Outcome>();
  AsyncPerformAlerting(held, 600, {kSales}, {kSupport}, kAlerts, 0, heldOutcome);
  Sync();
  ASSERT_TRUE(emulator_->Alerting(held).has_value());
  const std::vector<std::pair<const char*, std::function<bool()>>> cases{
      {"a one-second alerting times out",
       [this] {
         const std::uint32_t id = Add({{u"Xan_State", u"O"}});
         auto outcome = W4Util::MakeObject<Outcome>();
         AsyncPerformAlerting(id, 1, {kSales}, {kSupport}, kAlerts, 0, outcome);
         auto code = outcome->promise.get_future();
         return code.wait_for(30s) == std::future_status::ready && code.get() == eAlertingTimeout;
       }},
      {"a delayed answer comes",
       [this] {
         const std::uint32_t id = Add({{u"Custom", u"1"}});
         emulator_->InjectFault(RequestFaultPlan{W4Notifier::eInteractionRequest, 10,
                                                 eFault::kDelay, FaultSelection::Next(1), 50ms});
         int now = 0;
         return IncrementAttribute(id, CQmAttributeName(u"Custom"), 1, now);
       }},
  };
  for (const auto& [what, fellDue] : cases) EXPECT_TRUE(fellDue()) << what;
  EXPECT_TRUE(emulator_->Alerting(held).has_value());
}

// The object type, caching object type and attribute monitors against the
// server emulator: every callback and every cached value follows from a
// change of the emulator's state or from the monitor's own writes.

using QueueManager::testing::NewRecorder;
using QueueManager::testing::Recorder;

const CQmAttributeName kGrade(u"Custom");

class LightweightEmulatorTest : public EmulatorTest {
 protected:
  // The log since the last call, once everything sent so far was handled.
  std::vector<std::string> Settle() {
    Sync();
    return recorder_->Take(0);
  }
  w4core::InterfacePtr<Recorder> recorder_ = NewRecorder();
};

// One step of a monitor's life: what the server is made to do, the callbacks
// it gives, in order ("; " between them), and how it is made to.
using Step = std::tuple<const char*, const char*, std::function<void(CEmulator&)>>;

TEST_F(LightweightEmulatorTest, ObjectTypeMonitorFollowsItsTypeFromActivationToDeactivation) {
  const std::uint32_t first = Add({{u"Xan_State", u"A"}, {u"Custom", u"x"}});
  Add({{u"Xan_State", u"C"}}, {});  // on no queue: of the type all the same
  const std::uint32_t chat = emulator_->AddInteraction(kChat, MapOf({{u"Xan_State", u"A"}}), {});
  CQmObjectTypeMonitor monitor;
  monitor.activate(kCall, recorder_, {kState}, false);
  EXPECT_THAT(Settle(), UnorderedElementsAre("Added 1 {Xan_State=A}", "Added 2 {Xan_State=C}"));

  const std::vector<Step> steps{
      {"a request changes a monitored name", "Updated 1 {Xan_State=C}",
       [&](CEmulator&) { SetAttribute(first, kState, V(u"C")); }},
      {"a name not monitored changes", "",
       [&](CEmulator& e) {
         e.SetAttributes(first, MapOf({{u"Custom", u"y"}}));
       }},
      {"an interaction of another type changes", "",
       [&](CEmulator& e) {
         e.SetAttributes(chat, MapOf({{u"Xan_State", u"C"}}));
       }},
      {"an interaction of the type is created", "Added 4 {Xan_State=O}",
       [&](CEmulator& e) {
         e.AddInteraction(kCall, MapOf({{u"Xan_State", u"O"}}), {kSupport});
       }},
      {"a client instantiates one", "Added 5 {Xan_State=C}",
       [&](CEmulator&) {
         CEntityId created;
         InstantiateInteraction(created, InteractionId(), kCall, eXAN_STATE_CONNECTED,
                                eXAN_DIRECTION_INBOUND, "l", "la", "li", eXAN_PARTY_INTERNAL, "r",
                                "ra", "ri", eXAN_PARTY_EXTERNAL, {}, {}, false);
       }},
      {"a move changes no attribute", "",
       [&](CEmulator& e) { e.Move(first, {kSales}, {kSupport}); }},
      {"an interaction is removed", "Removed 1", [&](CEmulator& e) { e.RemoveInteraction(first); }},
  };
  for (const auto& [what, expected, act] : steps) {
    act(*emulator_);
    EXPECT_EQ(fmt::format("{}", fmt::join(Settle(), "; ")), expected) << what;
  }
  monitor.deactivate();
  emulator_->AddInteraction(kCall, MapOf({{u"Xan_State", u"A"}}), {});
  EXPECT_THAT(Settle(), IsEmpty());
}

TEST_F(LightweightEmulatorTest, AttributeMonitorWithAValueFollowsTheInteractionsThatHoldIt) {
  const std::uint32_t gold = Add({{u"Xan_State", u"A"}, {u"Custom", u"Gold"}});
  const std::uint32_t silver = Add({{u"Xan_State", u"A"}, {u"Custom", u"Silver"}});
  AttributeMonitor monitor;
  monitor.activate(kGrade, V(u"Gold"), recorder_, {kState}, false);
  EXPECT_THAT(Settle(), ::testing::ElementsAre("Added 1 Gold {Xan_State=A}"));

  const std::vector<Step> steps{
      {"a member's monitored name changes", "Updated 1 Gold {Xan_State=C}",
       [&](CEmulator& e) {
         e.SetAttributes(gold, MapOf({{u"Xan_State", u"C"}}));
       }},
      {"another interaction takes the value", "Added 2 Gold {Xan_State=A}",
       [&](CEmulator&) { SetAttribute(silver, kGrade, V(u"Gold")); }},
      {"a member loses the value", "Removed 1 Gold",
       [&](CEmulator& e) {
         e.SetAttributes(gold, MapOf({{u"Custom", u"Bronze"}}));
       }},
      {"a non-member changes", "",
       [&](CEmulator& e) {
         e.SetAttributes(gold, MapOf({{u"Xan_State", u"I"}}));
       }},
      {"a member is removed", "Removed 2 Gold", [&](CEmulator& e) { e.RemoveInteraction(silver); }},
  };
  for (const auto& [what, expected, act] : steps) {
    act(*emulator_);
    EXPECT_EQ(fmt::format("{}", fmt::join(Settle(), "; ")), expected) << what;
  }
}

TEST_F(LightweightEmulatorTest,
       AttributeMonitorWithoutAValueFollowsEveryInteractionThatHasTheName) {
  Add({{u"Custom", u"Gold"}});
  Add({{u"Xan_State", u"A"}});  // without the name: not followed
  AttributeMonitor monitor;
  monitor.activate(kGrade, V(u""), recorder_, {kGrade}, false);
  EXPECT_THAT(Settle(), ::testing::ElementsAre("Added 1 Gold {Custom=Gold}"));
  emulator_->SetAttributes(2, MapOf({{u"Custom", u"Silver"}}));
  emulator_->SetAttributes(1, MapOf({{u"Custom", u"Bronze"}}));
  EXPECT_THAT(Settle(), ::testing::ElementsAre("Added 2 Silver {Custom=Silver}",
                                               "Added 1 Bronze {Custom=Bronze}"));
}

class CachingEmulatorTest : public LightweightEmulatorTest {
 protected:
  void SetUp() override {
    LightweightEmulatorTest::SetUp();
    if (IsSkipped()) return;
    id_ = Add({{u"Xan_State", u"A"}, {u"Custom", u"x"}});
    monitor_.activate(kCall, recorder_, {kState, kGrade}, false);
    Settle();
  }
  void TearDown() override {
    monitor_.deactivate();
    LightweightEmulatorTest::TearDown();
  }
  std::u16string Cached(const CQmAttributeName& name) const {
    CQmAttributeValue value;
    EXPECT_TRUE(monitor_.query_attribute(id_, name, value));
    return value.QueryString();
  }

  std::uint32_t id_ = 0;
  CQmCachingObjectTypeMonitor monitor_;
};

// Each own write is echoed once with its number; once every write is
// confirmed, a change by someone else is taken again. Without the echo the
// written value would be kept against every later foreign change.
TEST_F(CachingEmulatorTest, OwnWritesAreConfirmedSoThatLaterForeignChangesAreTaken) {
  const std::tuple<const char*, std::vector<const char16_t*>> cases[] = {
      {"one write of a new value", {u"y"}},
      {"a write of the value the server holds", {u"foreign"}},
      {"two writes in a row", {u"p", u"q"}},
  };
  for (const auto& [what, writes] : cases) {
    for (const char16_t* value : writes) monitor_.set_attribute(id_, kGrade, V(value));
    EXPECT_EQ(Cached(kGrade), writes.back()) << what;  // at once, before any echo
    Settle();
    EXPECT_EQ(Value(id_, kGrade), writes.back()) << what;
    emulator_->SetAttributes(id_, MapOf({{u"Custom", u"foreign"}}));
    Settle();
    EXPECT_EQ(Cached(kGrade), u"foreign") << what;
  }
}

TEST_F(CachingEmulatorTest, AWriteThatMovesTheInteractionIsEchoedAndMoves) {
  monitor_.MoveAndSet(id_, {kSales}, MapOf({{u"Xan_State", u"H"}}), {kSupport});
  Settle();
  EXPECT_THAT(emulator_->Interaction(id_)->queues, ::testing::ElementsAre(kSupport));
  EXPECT_EQ(Value(id_, kState), u"H");
  emulator_->SetAttributes(id_, MapOf({{u"Xan_State", u"C"}}));
  Settle();
  EXPECT_EQ(Cached(kState), u"C");
}

TEST_F(CachingEmulatorTest, RemovalEmptiesTheCacheEntry) {
  emulator_->RemoveInteraction(id_);
  EXPECT_THAT(Settle(), ::testing::ElementsAre("Removed 1"));
  CQmAttributeValue value(u"kept");
  EXPECT_FALSE(monitor_.query_attribute(id_, kState, value));
}

}  // namespace
}  // namespace QueueManager::Emulator
