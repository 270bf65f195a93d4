// The emulator's injected faults as the library meets them: what it reports
// for each request fault, how delayed answers keep their order, which
// messages each selection form hits, and the emulator's deterministic ids.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

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

}  // namespace
}  // namespace QueueManager::Emulator
