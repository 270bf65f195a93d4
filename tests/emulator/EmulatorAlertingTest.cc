// Alerting against the server emulator: orders held until answered, ended,
// timed out or overtaken by the interaction's fate, and bad orders answered at
// once.

#include <functional>
#include <future>

#include "QueueManager/Alerting.h"
#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

const CEntityId kAgent(W4Notifier::eUserQueue, 7);

// Answers each alert for `id` as the alerted party, on the delivery thread.
struct AnsweringParty : W4Notifier::IMessageCallback {
  void OnMessageReceived(W4Notifier::CMessage& message) override {
    const AlertNotification alert(message);
    alerted = alert.alerting_interaction();
    answered = emulator->AnswerAlerting(alert.alerting_interaction().QueryObjectId(),
                                        alert.alerted_entity());
  }
  CEmulator* emulator = nullptr;
  CEntityId alerted;
  bool answered = false;
};

struct Outcome : AsyncPerformAlertingResponse {
  void OnPerformAlertingResponse(ePerformAlertingResponse code) override {
    promise.set_value(code);
  }
  std::promise<ePerformAlertingResponse> promise;
};

using AlertingTest = EmulatorTest;
const AlertList kAlerts{{kAgent, CQmAlertingParameters()}};

TEST_F(AlertingTest, AnAnswerFromTheAlertedPartyEndsTheWaitConnected) {
  AnsweringParty party;
  party.emulator = emulator_.get();
  connection_->StartNotifications(kAgent, 15, &party, 0);
  const std::uint32_t id = Add({{u"Xan_State", u"O"}});
  EXPECT_EQ(PerformAlerting(id, 60, {kSales}, {kSupport}, kAlerts, 5), eAlertingAnswered);
  bus_->WaitIdle();
  EXPECT_TRUE(party.answered);
  EXPECT_EQ(party.alerted, CEntityId(kCall, id));
  EXPECT_EQ(Value(id, kState), u"C");
  EXPECT_THAT(emulator_->Interaction(id)->queues, ElementsAre(kSales, kSupport));
  EXPECT_FALSE(emulator_->Alerting(id).has_value());
  connection_->StopAllMessages(&party);
}

TEST_F(AlertingTest, BadOrdersAreAnsweredAtOnceAndChangeNothing) {
  const std::uint32_t id = Add({{u"Xan_State", u"O"}});
  const std::uint32_t gone = Add({{u"Xan_State", u"I"}});
  CQmAlertingParameters autoAnswer;
  autoAnswer.AutoAnswer = true;
  struct Case {
    std::uint32_t id;
    std::uint32_t seconds;
    std::vector<CEntityId> from, associated;
    AlertList alerts;
    ePerformAlertingResponse code;
  };
  const std::vector<Case> cases{
      {id, 60, {}, {}, {}, eAlertingInvalidParameter},
      {id, 0, {}, {}, kAlerts, eAlertingInvalidParameter},
      {id + 100, 60, {}, {}, kAlerts, eAlertingInvalidInteractionId},
      {gone, 60, {}, {}, kAlerts, eAlertingInvalidInteractionState},
      {id, 60, {kSupport}, {}, kAlerts, eAlertingNotOnAlertedQueue},
      {id, 60, {}, {kSales}, kAlerts, eAlertingAlreadyOnAssociatedQueue},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PerformAlerting(c.id, c.seconds, c.from, c.associated, c.alerts, 0), c.code);
  }
  EXPECT_EQ(Value(id, kState), u"O");
  EXPECT_EQ(PerformAlerting(id, 60, {}, {}, {{kAgent, autoAnswer}}, 0), eAlertingSucceeded);
  EXPECT_EQ(Value(id, kState), u"C");
}

TEST_F(AlertingTest, HeldOrdersEndByRequestTimeOutDisconnectionOrMove) {
  struct Case {
    const char* what;
    std::function<void(CEmulator&, std::uint32_t)> end;
    ePerformAlertingResponse code;
  };
  const std::vector<Case> cases{
      {"end", [](auto&, auto id) { EndAlerting(id, 0); }, eAlertingEnded},
      {"time-out made short", [](auto&, auto id) { EXPECT_TRUE(AlertConnectionTimeout(id, 0)); },
       eAlertingTimeout},
      {"disconnected",
       [](auto& e, auto id) {
         e.SetAttributes(id, MapOf({{u"Xan_State", u"I"}}));
       },
       eAlertingDisconnected},
      {"moved away", [](auto& e, auto id) { e.Move(id, {kSales}, {}); }, eAlertingTransferred},
  };
  for (const Case& c : cases) {
    const std::uint32_t id = Add({{u"Xan_State", u"O"}});
    auto outcome = W4Util::MakeObject<Outcome>();
    AsyncPerformAlerting(id, 60, {kSales}, {kSupport}, kAlerts, 3, outcome);
    bus_->WaitIdle();
    SilentAlerting(id);
    bus_->WaitIdle();
    ASSERT_TRUE(emulator_->Alerting(id).has_value()) << c.what;
    EXPECT_TRUE(emulator_->Alerting(id)->silent) << c.what;
    EXPECT_EQ(Value(id, kState), u"A") << c.what;
    c.end(*emulator_, id);
    EXPECT_EQ(outcome->promise.get_future().get(), c.code) << c.what;
    EXPECT_FALSE(emulator_->Alerting(id).has_value()) << c.what;
    EXPECT_THAT(emulator_->Interaction(id)->queues, ::testing::Not(::testing::Contains(kSupport)))
        << c.what;
  }
  EXPECT_FALSE(AlertConnectionTimeout(1, 0));  // nothing alerts any more
}

}  // namespace
}  // namespace QueueManager::Emulator
