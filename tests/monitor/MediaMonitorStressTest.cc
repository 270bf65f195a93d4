// TS server and media type monitors created, activated, told what to report,
// replaced and destroyed on several threads while the server publishes the
// media type's events. Checks: no data race or deadlock (ThreadSanitizer), no
// callback once a monitor's end has begun, a monitor that stayed active still
// reports after the churn, and every end leaves the cache empty (the
// fixture's tear-down).

#include <atomic>
#include <thread>
#include <vector>

#include "MediaMonitorSupport.h"

namespace QueueManager::testing {
namespace {

constexpr int kRounds = 100;
constexpr int kChurnThreads = 3;

std::atomic<int> g_lateCallbacks{0};

// Counts the callbacks that arrive once its end has begun.
class ChurnTsMonitor : public TsMonitor {
 public:
  using TsMonitor::TsMonitor;
  ~ChurnTsMonitor() override {
    ending_ = true;
    Deactivate();
  }

 protected:
  void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) override {
    if (ending_) ++g_lateCallbacks;
    TsMonitor::AttributesUpdated(id, attributes);
  }

 private:
  std::atomic<bool> ending_{false};
};

void Churn(int thread) {
  for (int round = 0; round < kRounds; ++round) {
    ChurnTsMonitor ts(round % 2 == 0);
    // Reports widen the set from inside the callbacks.
    ts.hook = [&ts](std::uint32_t id) { ts.MonitorInteraction(id + 1); };
    ts.Activate(W4Notifier::eGenericObject, {Xan_State});
    for (std::uint32_t id = 1; id <= 8; ++id) ts.MonitorInteraction(id + thread);
    ts.UnmonitorInteraction(static_cast<std::uint32_t>(thread + 1));
    MediaMonitor media;
    media.Activate(W4Notifier::eGenericObject, {Xan_State}, round % 3 == 0);
    if (round % 4 == 0) ts.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
    media.Activate(W4Notifier::eGenericObject, {Xan_State}, true);  // replaced
  }
}

class MediaMonitorStressTest : public MonitorCacheTest {};

TEST_F(MediaMonitorStressTest, MonitorsComeAndGoWhileEventsArrive) {
  ServeQueue(Calls(), {.events = {Added(1, Attributes({{Xan_State, "C"}}))}});
  TsMonitor steady(true);
  steady.Activate(W4Notifier::eGenericObject, {Xan_State});
  std::atomic<bool> publishing{true};
  std::thread publisher([&] {
    for (std::uint32_t i = 0; publishing; ++i) {
      const std::uint32_t id = i % 20 + 1;
      server_->Publish(Calls(), kMonitorQueueEvent,
                       Notification({.events = {Added(id, Attributes({{Xan_State, "A"}})),
                                                Updated(id, Attributes({{Xan_UserName, "u"}})),
                                                Removed((id + 10) % 20 + 1)}}));
      if (i % 10 == 9) server_->WaitIdle();  // bounds what waits for delivery
    }
  });
  std::vector<std::thread> churners;
  for (int t = 0; t < kChurnThreads; ++t) churners.emplace_back(Churn, t);
  for (std::thread& churner : churners) churner.join();
  publishing = false;
  publisher.join();
  Publish(Calls(), {.events = {Updated(999, Attributes({{Xan_State, "S"}}))}});
  steady.log->WaitFor("999 {Xan_State=S}");
  EXPECT_EQ(steady.log->Entries().back(), "999 {Xan_State=S}");
  EXPECT_EQ(g_lateCallbacks, 0);
}

}  // namespace
}  // namespace QueueManager::testing
