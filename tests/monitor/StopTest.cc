// Ends of media type and TS server monitors that the common lifetime cases
// do not reach: a deletion racing a callback that re-activated its monitor,
// a deletion during a synchronous activation, and monitors outliving the
// cache at exit.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "CacheTestSupport.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/TsServerMonitor.h"
#include "monitor/CallbackGate.h"
#include "monitor/MediaTypeEntity.h"
#include "support/Waits.h"

namespace QueueManager::testing {
namespace {

using namespace std::chrono_literals;
using W4Notifier::eGenericObject;

constexpr std::uint32_t kWaitMs = 10000;
// A callback held for the test outlasts every wait for a stopper.
constexpr std::uint32_t kHeldMs = 60000;

CEntityId Calls() { return MediaTypeEntity(eGenericObject); }

// Bounded wait until `blocked` threads wait in a callback gate, or the
// stopper has returned (without the wait it would never return).
void AwaitStopper(std::size_t blocked, const std::atomic<bool>& returned) {
  Within(5s, [&] { return CallbackGate::BlockedThreadsForTesting() >= blocked || returned; });
}

class HookedMedia : public CQmMediaTypeMonitor {
 public:
  std::function<void()> hook;
  ~HookedMedia() override { Deactivate(); }

 protected:
  void AttributesUpdated(InteractionId, const CQmAttributeMap&) override {
    if (const auto run = hook) run();
  }
};

class QuietMulti : public CQmMultiQueueMonitor {
 protected:
  void InteractionAdded(const CEntityId&, InteractionId, const CQmAttributeMap&) override {}
};

class StopTest : public MonitorCacheTest {
 protected:
  // Publishes without waiting: the delivery thread is to block in a callback.
  void PublishAdded(const CEntityId& queue, std::uint32_t id) {
    server_->Publish(queue, kMonitorQueueEvent,
                     Notification({.events = {Added(id, Attributes({{Xan_State, "A"}}))}}));
  }
};

// A callback activates its monitor again and goes on working; the
// application deletes the monitor meanwhile on another thread: the new
// activation must not let the deletion skip the callback still running.
TEST_F(StopTest, DeletingAMonitorWaitsForTheCallbackThatActivatedItAgain) {
  ServeQueue(Calls(), {});
  W4Os::CEvent inside(true), release(true);
  std::atomic<bool> deleted{false}, sawReturn{false};
  auto* monitor = new HookedMedia;
  monitor->hook = [&, monitor] {
    monitor->Activate(eGenericObject, {Xan_State}, false);
    inside.Set();
    release.Wait(kHeldMs);
    sawReturn = deleted.load();
  };
  monitor->Activate(eGenericObject, {Xan_State}, true);
  PublishAdded(Calls(), 5);
  ASSERT_TRUE(inside.Wait(kWaitMs));
  std::thread deleter([&] {
    delete monitor;
    deleted = true;
  });
  AwaitStopper(1, deleted);
  release.Set();
  deleter.join();
  EXPECT_FALSE(sawReturn) << "the monitor was deleted while its callback ran";
  server_->WaitIdle();
}

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
  auto* monitor = new QuietTsMonitor;
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
        static HookedMedia media;
        multi.Activate(UserQueue(3), {Xan_State}, true);
        media.Activate(eGenericObject, {Xan_State}, true);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace QueueManager::testing
