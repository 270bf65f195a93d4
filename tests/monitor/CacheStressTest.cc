// Notifications applied on the delivery thread while application threads
// activate, deactivate and destroy monitors and query the cache. Checks at the
// end: the monitors that stayed active saw exactly the published events, in
// order; no callback ran after Deactivate returned (freed monitors would be
// caught by the sanitizers).

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "CacheTestSupport.h"
#include "monitor/QmCache.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAreArray;
using W4Notifier::CScriptedReply;

constexpr std::uint32_t kStableQueues = 4;
constexpr std::uint32_t kChurnOnlyQueues = 2;
constexpr std::uint32_t kFirstQueue = 9001;
constexpr int kRounds = 150;
constexpr int kChurnThreads = 3;
// Publishing goes on until the churn threads have made this many monitors.
constexpr int kMinChurnedMonitors = 300;

std::atomic<int> g_lateCallbacks{0};

// A short-lived monitor that counts callbacks made after its deactivation.
class ChurnMonitor : public CQmQueueMonitor {
 public:
  explicit ChurnMonitor(bool deactivateInCallback) : deactivateInCallback_(deactivateInCallback) {}
  ~ChurnMonitor() override { Stop(); }
  void Stop() {
    Deactivate();
    stopped_ = true;
  }

 protected:
  void AttributesUpdated(const CEntityId&, InteractionId id, const CQmAttributeMap&) override {
    Check(id);
  }
  void InteractionAdded(const CEntityId&, InteractionId id, const CQmAttributeMap&) override {
    Check(id);
  }
  void InteractionRemoved(const CEntityId&, InteractionId id) override { Check(id); }
  void StatisticsUpdate(const CEntityId&, const CQmQueueStats&) override { Check(0); }
  void QueueRemoved(const CEntityId&) override { Check(0); }

 private:
  void Check(InteractionId id) {
    if (stopped_) ++g_lateCallbacks;
    // Callbacks may call back into the cache.
    Contains(id);
    if (deactivateInCallback_) Stop();
  }
  const bool deactivateInCallback_;
  std::atomic<bool> stopped_{false};
};

CEntityId QueueNumber(std::uint32_t index) { return UserQueue(kFirstQueue + index); }

class CacheStressTest : public MonitorCacheTest {
 protected:
  void SetUp() override {
    MonitorCacheTest::SetUp();
    // Every queue loads empty; reloads are refused (the server keeps no state).
    server_->Handle(ServerEntity(), kMonitorQueueEvent, [](const CMessage& request) {
      CMessage copy = request;
      bool adding = false;
      std::int32_t type = 0;
      std::int32_t id = 0;
      copy >> adding >> type >> id;
      return CScriptedReply::Respond(MonitorResponse(
          CEntityId(static_cast<W4Notifier::ObjectTypes>(type), static_cast<std::uint32_t>(id)), {},
          {.stats = Stats(1)}));
    });
    server_->Reject(ServerEntity(), kCacheReloadEvent);
  }

  void Churn(unsigned seed) {
    std::mt19937 random(seed);
    const std::uint32_t queues = kStableQueues + kChurnOnlyQueues;
    while (!done_) {
      const CEntityId queue = QueueNumber(random() % queues);
      const bool deactivatesItself = random() % 4 == 0;
      auto monitor = std::make_unique<ChurnMonitor>(deactivatesItself);
      monitor->Activate(queue, {Xan_State}, random() % 2 == 0);
      // A monitor that may deactivate itself on a delivery thread is only
      // deactivated or destroyed by its owner, as the monitor's contract asks.
      if (!deactivatesItself) {
        if (random() % 3 == 0) {
          monitor->RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
        }
        std::vector<InteractionId> contents;
        monitor->QueryContents(contents);
        CQmQueueStats stats;
        monitor->QueryStatistics(stats);
      }
      CQmAttributeValue value;
      CQmCache::Instance().QueryAttribute(random() % 1000, Xan_State, value);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
      if (random() % 2 == 0) monitor->Stop();
      monitor.reset();  // destroyed, whether stopped before or not
      ++churned_;
    }
  }

  void PublishAll(std::vector<std::vector<std::string>>& expected) {
    const std::uint32_t queues = kStableQueues + kChurnOnlyQueues;
    expected.assign(queues, {});
    for (int round = 0; round < kRounds || churned_ < kMinChurnedMonitors; ++round) {
      for (std::uint32_t q = 0; q < queues; ++q) {
        const std::uint32_t id = (q + 1) * 100000 + static_cast<std::uint32_t>(round);
        const QueueBody added{.events = {Added(id, Attributes({{Xan_State, "a"}})),
                                         Updated(id, Attributes({{Xan_State, "b"}}))}};
        server_->Publish(QueueNumber(q), kMonitorQueueEvent, Notification(added));
        server_->Publish(QueueNumber(q), kMonitorQueueEvent,
                         Notification({.events = {Removed(id)}}));
        expected[q].push_back(fmt::format("Added {} {{Xan_State=a}}", id));
        expected[q].push_back(fmt::format("Updated {} {{Xan_State=b}}", id));
        expected[q].push_back(fmt::format("Removed {}", id));
      }
      if (round % 50 == 25) connection_->Renegotiate();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  std::atomic<bool> done_{false};
  std::atomic<int> churned_{0};
};

TEST_F(CacheStressTest, ConcurrentActivationsKeepLiveDeliveriesExact) {
  g_lateCallbacks = 0;
  std::vector<std::unique_ptr<RecordingMonitor>> stable;
  for (std::uint32_t q = 0; q < kStableQueues; ++q) {
    stable.push_back(std::make_unique<RecordingMonitor>());
    stable.back()->Activate(QueueNumber(q), {Xan_State}, true);
    stable.back()->ClearLog();
  }
  RecordingMonitor all;
  all.Activate(AllUserQueues(), {Xan_State}, true);
  all.ClearLog();

  std::vector<std::thread> churners;
  for (int i = 0; i < kChurnThreads; ++i) {
    churners.emplace_back([this, i] { Churn(static_cast<unsigned>(i) + 1); });
  }
  std::vector<std::vector<std::string>> expected;
  PublishAll(expected);
  server_->WaitIdle();
  done_ = true;
  for (std::thread& churner : churners) churner.join();
  server_->WaitIdle();

  EXPECT_EQ(g_lateCallbacks, 0);
  EXPECT_GE(churned_, kMinChurnedMonitors);
  for (std::uint32_t q = 0; q < kStableQueues; ++q) {
    EXPECT_THAT(stable[q]->Log(), ElementsAreArray(expected[q])) << "queue " << q;
  }
  // The all-queues monitor hears every stable queue exactly; the churn-only
  // queues only while some monitor cached them, but never twice.
  std::vector<std::vector<std::string>> heard(kStableQueues + kChurnOnlyQueues);
  for (const std::string& entry : all.LogWithQueues()) {
    const auto space = entry.find(' ');
    const auto queue = std::stoul(entry.substr(1, space - 1));
    ASSERT_TRUE(queue >= kFirstQueue && queue < kFirstQueue + heard.size()) << entry;
    heard[queue - kFirstQueue].push_back(entry.substr(space + 1));
  }
  for (std::uint32_t q = 0; q < kStableQueues; ++q) {
    EXPECT_THAT(heard[q], ElementsAreArray(expected[q])) << "all-queues monitor, queue " << q;
  }
  for (std::uint32_t q = kStableQueues; q < kStableQueues + kChurnOnlyQueues; ++q) {
    std::vector<std::string> sorted = heard[q];
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "queue " << q;
  }
  stable.clear();
  all.Deactivate();
}

}  // namespace
}  // namespace QueueManager::testing
