// Several application threads move interactions and change their states
// through the library while the test seeds changes through the control
// class and queue monitors are activated in the middle of it all. Afterwards
// the library's cache must hold exactly the emulator's queues: every snapshot
// was answered before the changes after it were published.

#include <gmock/gmock.h>

#include <random>
#include <set>
#include <thread>

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/QueueManager.h"
#include "monitor/CacheTestSupport.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CEntityId;

constexpr int kQueues = 3;
constexpr int kInteractions = 12;
constexpr int kOperations = 300;
constexpr int kRounds = 30;
constexpr auto kCall = static_cast<W4Notifier::ObjectTypes>(6);

CEntityId QueueNumber(std::uint32_t n) { return CEntityId(W4Notifier::eWorkgroupQueue, n + 1); }

CQmAttributeMap StateMap(std::mt19937& random) {
  static constexpr char16_t kLetters[] = u"AOCIEHPMS";
  CQmAttributeMap map;
  map.insert(CQmAttributeName(u"Xan_State"), std::u16string(1, kLetters[random() % 9]));
  return map;
}

TEST(EmulatorStressTest, CacheEndsEqualToTheServerAfterConcurrentChanges) {
  testing::Cache().ResetForTesting();
  auto bus = W4Notifier::CInProcessBus::Create();
  CEmulator emulator(bus);
  W4Notifier::SetDefaultConnection(bus->Connect());
  std::mt19937 seeding(7);
  for (int i = 0; i < kInteractions; ++i) {
    emulator.AddInteraction(kCall, StateMap(seeding), {QueueNumber(seeding() % kQueues)});
  }
  const auto work = [&emulator](unsigned seed, bool throughLibrary) {
    std::mt19937 random(seed);
    for (int i = 0; i < kOperations; ++i) {
      const std::uint32_t id = 1 + random() % kInteractions;
      const std::vector<CEntityId> from{QueueNumber(random() % kQueues)};
      const std::vector<CEntityId> to{QueueNumber(random() % kQueues)};
      if (throughLibrary) {
        MoveAndSet(id, from, StateMap(random), to, i % 2 == 0);
      } else {
        emulator.Move(id, from, to);
        emulator.SetAttributes(id, StateMap(random));
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 3; ++t) threads.emplace_back(work, t, t != 0);
  // Each round drops the queues from the cache and loads them again, mostly
  // asynchronously: the answers then travel the cache's lane with the
  // notifications.
  std::vector<std::unique_ptr<testing::RecordingMonitor>> monitors;
  for (int round = 0; round < kRounds; ++round) {
    monitors.clear();
    for (std::uint32_t q = 0; q < kQueues; ++q) {
      monitors.push_back(std::make_unique<testing::RecordingMonitor>());
      monitors.back()->Activate(QueueNumber(q), {CQmAttributeName(u"Xan_State")}, round == 0);
    }
  }
  for (std::thread& thread : threads) thread.join();
  bus->WaitIdle();

  for (std::uint32_t q = 0; q < kQueues; ++q) {
    SCOPED_TRACE(q);
    std::vector<InteractionId> cached;
    monitors[q]->QueryContents(cached);
    std::set<std::uint32_t> cachedIds;
    for (const InteractionId& id : cached) cachedIds.insert(id.QueryObjectId());
    const std::vector<std::uint32_t> served = emulator.QueueContents(QueueNumber(q)).value();
    EXPECT_EQ(cachedIds, std::set<std::uint32_t>(served.begin(), served.end()));
    CQmQueueStats stats;
    monitors[q]->QueryStatistics(stats);
    const QueueCounts counts = emulator.Counts(QueueNumber(q)).value();
    EXPECT_EQ(stats.QueryAlertingCount(), counts.alerting);
    EXPECT_EQ(stats.QueryHeldCount(), counts.held);
    EXPECT_EQ(stats.QuerySystemCount(), counts.system);
  }
  monitors.clear();
  W4Notifier::SetDefaultConnection(nullptr);
  testing::Cache().ResetForTesting();
}

}  // namespace
}  // namespace QueueManager::Emulator
