// Alerting orders from several threads while another thread answers, ends
// and shortens them at random: every order gets exactly one outcome, and each
// answer the server took is the outcome of exactly one order.

#include <gmock/gmock.h>

#include <atomic>
#include <random>
#include <thread>

#include "QueueManager/Alerting.h"
#include "QueueManager/Emulator/Emulator.h"

namespace QueueManager::Emulator {
namespace {

TEST(EmulatorAlertingStressTest, EveryOrderEndsOnceWhateverEndsIt) {
  constexpr unsigned kCallers = 4;
  const W4Notifier::CEntityId agent(W4Notifier::eUserQueue, 7);
  auto bus = W4Notifier::CInProcessBus::Create();
  CEmulator emulator(bus);
  W4Notifier::SetDefaultConnection(bus->Connect());
  std::atomic<int> answeredOutcomes = 0;
  std::atomic<unsigned> callersDone = 0;
  const auto call = [&](std::uint32_t id) {
    for (int i = 0; i < 60; ++i) {
      const auto code = PerformAlerting(id, 60, {}, {}, {{agent, CQmAlertingParameters()}}, 0);
      EXPECT_TRUE(code == eAlertingAnswered || code == eAlertingEnded || code == eAlertingTimeout);
      answeredOutcomes += code == eAlertingAnswered ? 1 : 0;
    }
    ++callersDone;
  };
  std::vector<std::thread> callers;
  for (unsigned c = 0; c < kCallers; ++c) {
    callers.emplace_back(call, emulator.AddInteraction(W4Notifier::eGenericObject, {}, {}));
  }
  int answersTaken = 0;
  // Each order is ended by this loop, which runs until the last caller is done.
  for (std::mt19937 random(3); callersDone < kCallers;) {
    const std::uint32_t id = 1 + random() % kCallers;
    const std::uint32_t action = random() % 3;
    if (action == 0) answersTaken += emulator.AnswerAlerting(id, agent) ? 1 : 0;
    if (action == 1) EndAlerting(id, 0);
    if (action == 2) AlertConnectionTimeout(id, 0);
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(answeredOutcomes, answersTaken);
  for (std::uint32_t id = 1; id <= kCallers; ++id) EXPECT_FALSE(emulator.Alerting(id).has_value());
  W4Notifier::SetDefaultConnection(nullptr);
}

}  // namespace
}  // namespace QueueManager::Emulator
