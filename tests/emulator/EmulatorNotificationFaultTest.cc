// Notification faults as the library's cache meets them, the server clock's
// drift, and the wire log.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <chrono>
#include <tuple>

#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

using namespace std::chrono_literals;
using W4Notifier::CMessage;

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

}  // namespace
}  // namespace QueueManager::Emulator
