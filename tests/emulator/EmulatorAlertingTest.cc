// Alerting against the server emulator: orders held until answered, ended,
// timed out or overtaken by the interaction's fate; bad orders answered at
// once.

#include <functional>
#include <future>

#include "QueueManager/Alerting.h"
#include "QueueManager/ConditionalUpdates.h"
#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

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

}  // namespace
}  // namespace QueueManager::Emulator
