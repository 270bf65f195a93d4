// Alerting orders from several threads while another thread answers, ends
// and shortens them at random: every order gets exactly one outcome, and an
// answer that the server took is the outcome of exactly one order.

#include <gmock/gmock.h>

#include <atomic>
#include <random>
#include <thread>

#include "QueueManager/Alerting.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/QueueManager.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CEntityId;

constexpr unsigned kCallers = 4;
constexpr int kOrdersEach = 60;
const CEntityId kAgent(W4Notifier::eUserQueue, 7);

TEST(EmulatorAlertingStressTest, EveryOrderEndsOnceWhateverEndsIt) {
  auto bus = W4Notifier::CInProcessBus::Create();
  CEmulator emulator(bus);
  W4Notifier::SetDefaultConnection(bus->Connect());
  CQmAttributeMap offered;
  offered.insert(CQmAttributeName(u"Xan_State"), u"O");
  std::vector<std::uint32_t> ids;
  for (unsigned c = 0; c < kCallers; ++c) {
    ids.push_back(emulator.AddInteraction(static_cast<W4Notifier::ObjectTypes>(6), offered, {}));
  }
  std::atomic<int> answeredOutcomes = 0;
  std::atomic<unsigned> callersDone = 0;
  const auto call = [&](std::uint32_t id) {
    for (int i = 0; i < kOrdersEach; ++i) {
      const ePerformAlertingResponse code =
          PerformAlerting(id, 60, {}, {}, {{kAgent, CQmAlertingParameters()}}, 0);
      EXPECT_TRUE(code == eAlertingAnswered || code == eAlertingEnded || code == eAlertingTimeout)
          << code;
      if (code == eAlertingAnswered) ++answeredOutcomes;
    }
    ++callersDone;
  };
  std::vector<std::thread> callers;
  for (const std::uint32_t id : ids) callers.emplace_back(call, id);
  int answersTaken = 0;
  std::mt19937 random(3);
  // Runs until the last caller is done: each order is ended by this loop.
  while (callersDone < kCallers) {
    const std::uint32_t id = ids[random() % kCallers];
    switch (random() % 3) {
      case 0:
        answersTaken += emulator.AnswerAlerting(id, kAgent) ? 1 : 0;
        break;
      case 1:
        EndAlerting(id, 0);
        break;
      default:
        AlertConnectionTimeout(id, 0);
    }
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(answeredOutcomes, answersTaken);
  for (const std::uint32_t id : ids) {
    EXPECT_FALSE(emulator.Alerting(id).has_value());
    EXPECT_NE(emulator.Interaction(id)->attributes.Query(Xan_State).QueryString(), u"A");
  }
  W4Notifier::SetDefaultConnection(nullptr);
}

}  // namespace
}  // namespace QueueManager::Emulator
