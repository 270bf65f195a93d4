// The media type and TS server monitors against the server emulator: the
// media type entity holds every interaction of its type, whatever its queues.

#include <string>

#include <fmt/format.h>

#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/TsServerMonitor.h"
#include "emulator/EmulatorTestSupport.h"
#include "monitor/CacheTrace.h"
#include "monitor/MediaTypeEntity.h"
#include "support/Waits.h"

namespace QueueManager::Emulator {
namespace {

using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

using testing::RecordingMediaMonitor;
using testing::RecordingTsMonitor;

using MediaEmulatorTest = EmulatorTest;

TEST_F(MediaEmulatorTest, MediaTypeMonitorFollowsEveryInteractionOfItsType) {
  const std::uint32_t queued = Add({{u"Xan_State", u"A"}});
  const std::uint32_t unqueued = Add({{u"Xan_State", u"C"}}, {});
  const std::uint32_t chat = emulator_->AddInteraction(kChat, MapOf({{u"Xan_State", u"A"}}), {});
  RecordingMediaMonitor watcher;
  watcher.Activate(kCall, {kState}, true);
  EXPECT_THAT(watcher.log->Take(2), UnorderedElementsAre("1 {Xan_State=A}", "2 {Xan_State=C}"));

  SetAttribute(queued, kState, V(u"C"));
  emulator_->SetAttributes(chat, MapOf({{u"Xan_State", u"C"}}));   // another type
  emulator_->SetAttributes(unqueued, MapOf({{u"Custom", u"x"}}));  // not monitored
  const std::uint32_t added = emulator_->AddInteraction(kCall, MapOf({{u"Xan_State", u"O"}}), {});
  emulator_->RemoveInteraction(unqueued);
  Sync();
  EXPECT_THAT(
      watcher.log->Take(3),
      ElementsAre("1 {Xan_State=C}", fmt::format("{} {{Xan_State=O}}", added), "2 Deallocated"));

  EXPECT_THAT(*emulator_->ViewContents(MediaTypeEntity(kCall)), ElementsAre(queued, added));
  EXPECT_FALSE(emulator_->ViewContents(MediaTypeEntity(kChat)).has_value());  // never activated
  CQmQueueStats stats;
  ASSERT_TRUE(QueryQueueStatistics(MediaTypeEntity(kCall), stats));
  EXPECT_EQ(stats.QueryConnectedCount(), 1U);
  EXPECT_EQ(stats.QueryAlertingCount(), 1U);

  // After a renegotiation the cache reloads the media type entity from the
  // server and goes on following it.
  transport_.Interrupt([] {});
  watcher.log->Take(0);
  emulator_->SetAttributes(added, MapOf({{u"Xan_State", u"C"}}));
  EXPECT_THAT(watcher.log->Take(1), ElementsAre(fmt::format("{} {{Xan_State=C}}", added)));
}

// A monitor of its interactions only reports them; one of all reports every
// interaction of the type.
TEST_F(MediaEmulatorTest, TsServerMonitorReportsTheInteractionsItIsToldOrAll) {
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "all" : "told");
    testing::Cache().ResetForTesting();
    const std::uint32_t watched = Add({{u"Xan_State", u"A"}});
    const std::uint32_t other = Add({{u"Xan_State", u"A"}});
    Sync();  // their additions are over before the monitor subscribes
    RecordingTsMonitor monitor(all);
    monitor.Activate(kCall, {kState});
    if (!all) monitor.MonitorInteraction(watched);
    emulator_->SetAttributes(other, MapOf({{u"Xan_State", u"C"}}));
    emulator_->SetAttributes(watched, MapOf({{u"Xan_State", u"H"}}));
    const std::string heldLine = fmt::format("{} {{Xan_State=H}}", watched);
    if (all) {
      // In one batch or two: a batch is reported in ascending ids.
      EXPECT_THAT(monitor.log->Take(2),
                  UnorderedElementsAre(fmt::format("{} {{Xan_State=C}}", other), heldLine));
    } else {
      EXPECT_THAT(monitor.log->Take(1), ElementsAre(heldLine));
    }
    emulator_->RemoveInteraction(watched);
    emulator_->RemoveInteraction(other);
  }
}

}  // namespace
}  // namespace QueueManager::Emulator
