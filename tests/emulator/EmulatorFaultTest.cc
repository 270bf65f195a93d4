// The emulator's injected faults as the library meets them: what it reports
// for each request fault, how delayed answers keep their order, which
// messages each selection form hits, and the emulator's deterministic ids.

#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

using namespace std::chrono_literals;
using W4Notifier::CMessage;
using W4Notifier::eSendStatus;

constexpr int kObjectTypeEvent = 37;  // to an interaction: its object type, no fields
constexpr int kIncrementEvent = 10;

// One object for both answers and notifications, as the library's cache is:
// the connection calls it in order, so its log is the order this client saw.
class Recorder : public W4Notifier::IAsyncResponseCallback,
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
    Recorder recorder;
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
  Recorder recorder;
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

}  // namespace
}  // namespace QueueManager::Emulator
