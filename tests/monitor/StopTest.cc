// Stops that race a running callback: every stop made on another thread
// returns only after that callback, whichever kind of monitor it is, and a
// monitor may go while another thread is still activating it.
//
// A callback reads, before it ends, whether a stop has already returned on
// another thread; it is released only once each stopper waits in a callback
// gate or has returned.

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
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (CallbackGate::BlockedThreadsForTesting() < blocked && !returned &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
}

// Runs `hook` in every callback; the hook outlives a monitor that it stops.
class HookedTs : public CQmTsServerMonitor {
 public:
  explicit HookedTs(std::function<void()> hook)
      : CQmTsServerMonitor(true), hook_(std::move(hook)) {}
  ~HookedTs() override { Deactivate(); }

 protected:
  void AttributesUpdated(InteractionId, const CQmAttributeMap&) override { hook_(); }

 private:
  const std::function<void()> hook_;
};

class HookedMedia : public CQmMediaTypeMonitor {
 public:
  std::function<void()> hook;
  ~HookedMedia() override { Deactivate(); }

 protected:
  void AttributesUpdated(InteractionId, const CQmAttributeMap&) override {
    if (const auto run = hook) run();
  }
};

class HookedMulti : public CQmMultiQueueMonitor {
 public:
  std::function<void()> hook;

 protected:
  void InteractionAdded(const CEntityId&, InteractionId, const CQmAttributeMap&) override {
    if (const auto run = hook) run();
  }
};

class StopTest : public MonitorCacheTest {
 protected:
  // Publishes without waiting: the delivery thread is to block in a callback.
  void PublishAdded(const CEntityId& queue, std::uint32_t id) {
    server_->Publish(queue, kMonitorQueueEvent,
                     Notification({.events = {Added(id, Attributes({{Xan_State, "A"}}))}}));
  }
};

// The callback blocks; a first stop on thread A waits; a second stop (or the
// destruction) on thread B must wait as well.
TEST_F(StopTest, EveryStopOfATsServerMonitorWaitsForItsRunningCallback) {
  for (const bool secondDeletes : {false, true}) {
    SCOPED_TRACE(secondDeletes ? "deleted" : "deactivated twice");
    ServeQueue(Calls(), {});
    W4Os::CEvent inside(true), release(true);
    std::atomic<bool> firstReturned{false}, secondReturned{false}, sawReturn{false};
    auto* monitor = new HookedTs([&] {
      inside.Set();
      release.Wait(kHeldMs);
      sawReturn = firstReturned || secondReturned;
    });
    monitor->Activate(eGenericObject, {Xan_State});
    PublishAdded(Calls(), 5);
    ASSERT_TRUE(inside.Wait(kWaitMs));
    std::thread first([&] {
      monitor->Deactivate();
      firstReturned = true;
    });
    AwaitStopper(1, firstReturned);
    std::thread second([&] {
      if (secondDeletes) {
        delete monitor;
      } else {
        monitor->Deactivate();
      }
      secondReturned = true;
    });
    AwaitStopper(2, secondReturned);
    release.Set();
    first.join();
    second.join();
    EXPECT_FALSE(sawReturn) << "a stop returned while the callback ran";
    if (!secondDeletes) delete monitor;
    server_->WaitIdle();
  }
}

// A callback stops its own monitor (or replaces its activation) and goes on
// working; the application deletes the monitor meanwhile on another thread.
TEST_F(StopTest, DeletingAMonitorWaitsForTheCallbackThatStoppedIt) {
  enum class Stop { kMediaDeactivate, kMediaReplace, kMultiDeactivate };
  for (const Stop stop : {Stop::kMediaDeactivate, Stop::kMediaReplace, Stop::kMultiDeactivate}) {
    SCOPED_TRACE(static_cast<int>(stop));
    const CEntityId queue = stop == Stop::kMultiDeactivate ? UserQueue(41) : Calls();
    ServeQueue(queue, {});
    W4Os::CEvent inside(true), release(true);
    std::atomic<bool> deleted{false}, sawReturn{false};
    std::function<void()> destroy;
    const auto work = [&](const std::function<void()>& stopIt) {
      stopIt();
      inside.Set();
      release.Wait(kHeldMs);
      sawReturn = deleted.load();
    };
    if (stop == Stop::kMultiDeactivate) {
      auto* monitor = new HookedMulti;
      monitor->hook = [&, monitor] { work([&] { monitor->Deactivate(queue); }); };
      monitor->Activate(queue, {Xan_State}, true);
      destroy = [monitor] { delete monitor; };
    } else {
      auto* monitor = new HookedMedia;
      monitor->hook = [&, monitor] {
        work([&] {
          if (stop == Stop::kMediaReplace) {
            monitor->Activate(eGenericObject, {Xan_State}, false);
          } else {
            monitor->Deactivate();
          }
        });
      };
      monitor->Activate(eGenericObject, {Xan_State}, true);
      destroy = [monitor] { delete monitor; };
    }
    PublishAdded(queue, 5);
    ASSERT_TRUE(inside.Wait(kWaitMs));
    std::thread deleter([&] {
      destroy();
      deleted = true;
    });
    AwaitStopper(1, deleted);
    release.Set();
    deleter.join();
    EXPECT_FALSE(sawReturn) << "the monitor was deleted while its callback ran";
    server_->WaitIdle();
  }
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
  auto* monitor = new HookedTs([] {});
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
        static HookedMulti multi;
        static HookedMedia media;
        multi.Activate(UserQueue(3), {Xan_State}, true);
        media.Activate(eGenericObject, {Xan_State}, true);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace QueueManager::testing
