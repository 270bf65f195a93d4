// The emulator's control functions through its control entity: a
// CEmulatorClient over NATS, to an emulator whose bus is bridged onto NATS,
// answers as the emulator's own functions do, and malformed control requests
// are rejected with a reason.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "ControlWire.h"
#include "QueueManager/Emulator/EmulatorClient.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Text.h"
#include "platform/nats/NatsServerProcess.h"
#include "platform/notifier/CallbackLog.h"
#include "support/Waits.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::testing::NatsServerProcess;

const CEntityId kSales(W4Notifier::eWorkgroupQueue, 1u);
const CEntityId kSupport(W4Notifier::eWorkgroupQueue, 2u);
const CEntityId kMissing(W4Notifier::eWorkgroupQueue, 99u);
const auto kCall = W4Notifier::ObjectTypes{6};

CQmAttributeMap State(const char16_t* letter) {
  CQmAttributeMap attributes;
  attributes.insert(CQmAttributeName(u"Xan_State"), letter);
  return attributes;
}

std::string Text(const std::optional<InteractionState>& i) {
  if (!i) return "none";
  std::string attributes;
  for (const auto& [name, value] : i->attributes)
    attributes += W4Os::WideToNarrowLossy(name.DisplayName()) + "=" +
                  W4Os::WideToNarrowLossy(value.QueryString()) + " ";
  std::vector<std::uint32_t> queues;
  for (const CEntityId& queue : i->queues) queues.push_back(queue.QueryObjectId());
  return fmt::format("#{} type {} {}on {}", i->id, int(i->type), attributes, queues);
}

std::string Text(const std::optional<QueueCounts>& c) {
  if (!c) return "none";
  return fmt::format("{} {} {} {} {} {}", c->alerting, c->connected, c->disconnected, c->held,
                     c->messaging, c->system);
}

// A nats-server, an emulator bridged onto it and serving its control entity,
// and a client of it on a NATS connection.
class ControlOverNats : public ::testing::Test {
 protected:
  void SetUp() override {
    QM_START_NATS_OR_SKIP(nats_);
    options_.urls = {nats_.Url()};
    options_.root = "control";
    emulator_.ServeControlRequests();
    bridge_ = std::make_unique<W4Notifier::CNatsBusBridge>(options_, "emulators", bus_);
    connection_ = W4Notifier::ConnectNats(options_);
    client_ = std::make_unique<CEmulatorClient>(connection_, 5000);
  }

  // Sends `request` raw; the rejection's reason, or "answered".
  std::string Outcome(const CMessage& request) {
    CMessage answer;
    const auto status = connection_->SendRequest(request, &answer, 5000);
    if (status == W4Notifier::eSendStatus::kSuccess) return "answered";
    std::string reason;
    answer >> reason;
    return reason;
  }

  NatsServerProcess nats_;
  W4Notifier::CNatsOptions options_;
  std::shared_ptr<W4Notifier::CInProcessBus> bus_ = W4Notifier::CInProcessBus::Create();
  CEmulator emulator_{bus_};
  std::unique_ptr<W4Notifier::CNatsBusBridge> bridge_;
  std::shared_ptr<W4Notifier::CNotifierConnection> connection_;
  std::unique_ptr<CEmulatorClient> client_;
};

// Each step runs on the remote emulator through the client and on a twin in
// this process directly; the two must answer alike, step after step.
TEST_F(ControlOverNats, AnswersAsTheEmulatorItselfDoes) {
  auto twinBus = W4Notifier::CInProcessBus::Create();
  CEmulator twin(twinBus);
  using Step = std::function<std::string(IEmulatorControl&)>;
  // A step whose answer is shown as fmt shows it.
  const auto shown = [](auto call) -> Step {
    return [call](IEmulatorControl& e) { return fmt::format("{}", call(e)); };
  };
  const CEntityId user5(W4Notifier::eUserQueue, 5u);
  const std::vector<std::pair<const char*, Step>> steps{
      {"create a queue", shown([](auto& e) { return e.CreateQueue(kSales); })},
      {"create it again", shown([](auto& e) { return e.CreateQueue(kSales); })},
      {"add a call", shown([](auto& e) {
         return e.AddInteraction(kCall, State(u"A"), {kSales, kSupport});
       })},
      {"set its state", shown([](auto& e) { return e.SetAttributes(1, State(u"C")); })},
      {"set a missing one's", shown([](auto& e) { return e.SetAttributes(7, State(u"C")); })},
      {"move it", shown([](auto& e) { return e.Move(1, {kSupport}, {kMissing}); })},
      {"contents", shown([](auto& e) {
         return e.QueueContents(kSales).value_or(std::vector<std::uint32_t>{0});
       })},
      {"no contents", shown([&](auto& e) { return e.QueueContents(user5).has_value(); })},
      {"counts", [](auto& e) { return Text(e.Counts(kSales)); }},
      {"no counts", [&](auto& e) { return Text(e.Counts(user5)); }},
      {"the call", [](auto& e) { return Text(e.Interaction(1)); }},
      {"no call", [](auto& e) { return Text(e.Interaction(2)); }},
      {"queues", shown([](auto& e) { return e.Queues(W4Notifier::eWorkgroupQueue).size(); })},
      {"answer no alerting", shown([](auto& e) { return e.AnswerAlerting(1, kSales); })},
      {"ids from 40", shown([](auto& e) {
         e.SetNextInteractionId(40);
         return e.AddInteraction(kCall, {}, {});
       })},
      {"remove the call", shown([](auto& e) { return e.RemoveInteraction(1); })},
      {"remove it again", shown([](auto& e) { return e.RemoveInteraction(1); })},
      {"rejections",
       [](auto& e) { return fmt::format("{} '{}'", e.MalformedRequests(), e.LastRejection()); }},
  };
  for (const auto& [name, step] : steps) {
    SCOPED_TRACE(name);
    EXPECT_EQ(step(*client_), step(twin));
  }
}

// A call that found nobody serving is sent again until the emulator is
// there, within the client's patience; beyond it, it fails saying so.
TEST_F(ControlOverNats, ACallWaitsForTheEmulatorWithinItsPatience) {
  W4Notifier::CNatsOptions later = options_;
  later.root = "later";
  auto connection = W4Notifier::ConnectNats(later);
  try {
    CEmulatorClient(connection, 5000, 100).CreateQueue(kSales);
    ADD_FAILURE() << "answered with nobody serving";
  } catch (const CEmulatorControlError& error) {
    EXPECT_NE(std::string(error.what()).find("still after 100 ms"), std::string::npos);
  }
  const auto sent = [&] { return W4Notifier::NatsStatistics(*connection, false).messagesOut; };
  const std::uint64_t before = sent();
  std::unique_ptr<W4Notifier::CNatsBusBridge> bridge;
  std::thread serving([&] {
    // Once the call was sent again, the emulator comes.
    EXPECT_TRUE(testing::Eventually([&] { return sent() >= before + 2; }));
    bridge = std::make_unique<W4Notifier::CNatsBusBridge>(later, "emulators", bus_);
  });
  EXPECT_TRUE(CEmulatorClient(connection, 5000, 20000).CreateQueue(kSales));
  serving.join();
}

TEST_F(ControlOverNats, MalformedControlRequestsAreRejectedWithAReason) {
  const auto request = [](eControl kind, const std::function<void(CMessage&)>& write) {
    CMessage message = ControlMessage(kind);
    write(message);
    return message;
  };
  NotificationFaultPlan tooLate;
  tooLate.selection = FaultSelection::During(std::chrono::hours(25));
  NotificationFaultPlan notANumber;
  notANumber.selection.probability = std::numeric_limits<double>::quiet_NaN();
  CMessage unknown = ControlMessage(eControl::kCreateQueue);
  unknown.SetEventId(99);
  const struct {
    const char* name;
    CMessage message;
    std::string reason;
  } cases[] = {
      {"unknown function", unknown, "no control request 99"},
      {"missing field", request(eControl::kCreateQueue, [](auto&) {}),
       "malformed control request CreateQueue"},
      {"text for a queue", request(eControl::kCounts, [](auto& m) { m << std::string("Sales"); }),
       "malformed control request Counts"},
      {"field after the end", request(eControl::kRemoveInteraction, [](auto& m) { m << 1u << 2u; }),
       "malformed control request RemoveInteraction: fields after the end of the request"},
      {"negative count", request(eControl::kMove, [](auto& m) { m << 1u << -1 << 0; }),
       "negative count -1"},
      {"probability not a number",
       request(eControl::kInjectNotificationFault,
               [&](auto& m) { WriteNotificationFault(m, notANumber); }),
       "probability outside [0, 1]"},
      {"window beyond a day",
       request(eControl::kInjectNotificationFault,
               [&](auto& m) { WriteNotificationFault(m, tooLate); }),
       "beyond a day"},
      {"next id 0", request(eControl::kSetNextInteractionId, [](auto& m) { m << 0u; }),
       "no next id 0"},
  };
  std::uint64_t malformed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string outcome = Outcome(c.message);
    EXPECT_NE(outcome.find(c.reason), std::string::npos) << outcome;
    ++malformed;
    EXPECT_EQ(emulator_.MalformedRequests(), malformed);
  }
  EXPECT_EQ(client_->Counts(kSales), std::nullopt);  // still serving
}

TEST_F(ControlOverNats, FaultPlansTravelWhole) {
  client_->InjectFault({W4Notifier::eQueueManagerServer, 10, eFault::kReject,
                        FaultSelection::WithProbability(1.0, 3), std::chrono::milliseconds(0)});
  CMessage active(CEntityId(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects), 10);
  active << std::int32_t{3} << std::int32_t{1};
  EXPECT_EQ(Outcome(active), "injected fault");
  client_->ClearFaults();
  EXPECT_EQ(Outcome(active), "answered");
}

TEST_F(ControlOverNats, RenegotiatesTheCallersNatsConnectionOnly) {
  auto other = W4Notifier::ConnectNats(options_);
  CEmulatorClient otherClient(other, 5000);
  W4Notifier::testing::CallbackLog mine, theirs;
  ASSERT_EQ(connection_->StartNotifications(kSales, 0, &mine, 0), W4Notifier::eMsgSuccess);
  ASSERT_EQ(other->StartNotifications(kSales, 0, &theirs, 0), W4Notifier::eMsgSuccess);
  otherClient.Queues(W4Notifier::eWorkgroupQueue);  // the bridge knows both clients
  client_->ForceRenegotiation();
  EXPECT_EQ(mine.WaitFor(1).size(), 1u);
  // A round trip of the other client: a notice meant for it would have come.
  otherClient.Queues(W4Notifier::eWorkgroupQueue);
  EXPECT_EQ(theirs.Lines().size(), 0u) << "renegotiated a connection that did not ask";
  connection_->StopAllMessages(&mine);
  other->StopAllMessages(&theirs);
}

TEST_F(ControlOverNats, FailuresThrowRatherThanAnswer) {
  emulator_.ServeControlRequests(false);
  EXPECT_THROW(client_->CreateQueue(kSales), CEmulatorControlError);
  W4Notifier::CNatsOptions elsewhere = options_;
  elsewhere.root = "nobody";
  CEmulatorClient unserved(W4Notifier::ConnectNats(elsewhere), 2000);
  EXPECT_THROW(unserved.Counts(kSales), CEmulatorControlError);
}

}  // namespace
}  // namespace QueueManager::Emulator
