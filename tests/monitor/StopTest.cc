// Ends of media type and TS server monitors that the common lifetime cases
// do not reach: a deletion during a synchronous activation, and monitors
// outliving the cache at exit.

#include <cstdlib>
#include <memory>
#include <thread>

#include "CacheTestSupport.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/TsServerMonitor.h"
#include "monitor/MediaTypeEntity.h"

namespace QueueManager::testing {
namespace {

using W4Notifier::eGenericObject;

constexpr std::uint32_t kWaitMs = 10000;
CEntityId Calls() { return MediaTypeEntity(eGenericObject); }

class QuietMulti : public CQmMultiQueueMonitor {
 protected:
  void InteractionAdded(const CEntityId&, InteractionId, const CQmAttributeMap&) override {}
};

using StopTest = MonitorCacheTest;

// The monitor is deleted while another thread waits in Activate() for the
// media type's answer; that thread finishes the activation on nothing freed
// and leaves nothing held.
TEST_F(StopTest, ATsServerMonitorDeletedDuringItsActivationLeavesNothingBehind) {
  W4Os::CEvent loading(true), answer(true);
  server_->Handle(ServerEntity(), kMonitorQueueEvent, [&](const CMessage&) {
    loading.Set();
    answer.Wait(kWaitMs);
    return W4Notifier::CScriptedReply::Respond(MonitorResponse(Calls(), {}, {}));
  });
  auto* monitor = new RecordingTsMonitor(true);
  std::thread activator([&] { monitor->Activate(eGenericObject, {Xan_State}); });
  ASSERT_TRUE(loading.Wait(kWaitMs));
  delete monitor;
  answer.Set();
  activator.join();
  server_->WaitIdle();
  EXPECT_EQ(Cache().CachedQueueCount(), 0u);
}

// Monitors built before the cache are destroyed after it at exit: they must
// leave the dead cache alone. Run in a process of its own, whose cache is
// built by the first activation.
TEST(StopAtExitTest, MonitorsDestroyedAfterTheCacheLeaveItAlone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static QuietMulti multi;
        static RecordingMediaMonitor media;
        multi.Activate(UserQueue(3), {Xan_State}, true);
        media.Activate(eGenericObject, {Xan_State}, true);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace QueueManager::testing
