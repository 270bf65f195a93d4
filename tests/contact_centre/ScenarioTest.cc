// The scenario against the server emulator, stepped as fast as it goes: the
// agents' work goes through the library, and the cache follows the server.

#include <gmock/gmock.h>

#include <cstdio>

#include "FinalCheck.h"
#include "QueueManager/QueueManager.h"
#include "Scenario.h"

namespace ContactCentre {
namespace {

TEST(ContactCentreScenario, ALongRunEndsWithEveryAlertingAnsweredAndTheCacheEqualToTheServer) {
  const auto bus = W4Notifier::CInProcessBus::Create();
  QueueManager::Emulator::CEmulator server(bus);
  const auto connection = bus->Connect();
  W4Notifier::SetDefaultConnection(connection);
  const Floor floor = DemoFloor();
  for (const NamedQueue& queue : floor.Queues()) server.CreateQueue(queue.entity);
  Console console(Console::eMode::kQuiet, stdout);
  constexpr int kTicks = 400;
  {
    Board board(floor, {QueueManager::CQmAttributeName(u"Xan_State"),
                        QueueManager::CQmAttributeName(u"Xan_RemoteName")});
    board.Activate();
    Scenario scenario(server, floor, console, 7, kTicks);
    for (int tick = 0; tick < kTicks; ++tick) {
      scenario.Step(tick);
      bus->WaitIdle();  // each order reaches the server before the next decision
    }
    ASSERT_TRUE(scenario.Finish(std::chrono::seconds(30)));
    EXPECT_EQ(scenario.PendingAlertings(), 0U);
    bus->WaitIdle();

    const ScenarioCounts& counts = scenario.Counts();
    EXPECT_GT(counts.answered, 0U);
    EXPECT_GT(counts.hangUps, 0U);
    EXPECT_GT(counts.agentTransfers + counts.workgroupTransfers, 0U);
    EXPECT_GE(counts.conferenceParties, 2U);
    EXPECT_EQ(server.MalformedRequests(), 0U) << server.LastRejection();
    const Snapshot cache = CacheSnapshot(board, floor);
    EXPECT_THAT(Differences(cache, ServerSnapshot(server, floor, board.Names(), cache)),
                ::testing::IsEmpty());
    // Nothing is left alerting: each agent's queue holds at most what it handles.
    for (const NamedQueue& agent : floor.agents)
      EXPECT_EQ(server.Counts(agent.entity)->alerting, 0U) << agent.name;
  }
  W4Notifier::SetDefaultConnection(nullptr);
}

}  // namespace
}  // namespace ContactCentre
