// Notifications applied on the delivery thread while application threads
// activate (synchronously and not), deactivate, destroy and re-create
// monitors at one address, and query the cache. The server keeps the true
// contents of each queue and answers loads from it, on its own thread and in
// order with its notifications, as a real server does. Checks: the monitors
// that stayed active saw exactly the published events, in order; every
// monitor's view built from its callbacks never adds an interaction twice nor
// removes one it does not hold (a snapshot and the events after it were
// applied in one order); no callback ran after Deactivate returned, nor
// reached a later monitor at the same address.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "CacheTestSupport.h"
#include "monitor/CallbackGate.h"
#include "monitor/QmCache.h"
#include "support/Waits.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAreArray;

constexpr std::uint32_t kStableQueues = 4;
constexpr std::uint32_t kChurnOnlyQueues = 2;
constexpr std::uint32_t kQueues = kStableQueues + kChurnOnlyQueues;
constexpr std::uint32_t kFirstQueue = 9001;
constexpr int kRounds = 150;
constexpr int kChurnThreads = 3;
// Publishing goes on until the churn threads have made this many monitors.
constexpr int kMinChurnedMonitors = 300;
// One-way requests to this entity make the server change a queue and publish.
const CEntityId kPublisher(W4Notifier::eGenericObject, 77u);
constexpr int kPublishEvent = 1;

std::atomic<int> g_lateCallbacks{0};
std::atomic<int> g_misdirected{0};
std::atomic<int> g_doubleAdds{0};
std::atomic<int> g_phantomRemoves{0};

CEntityId QueueNumber(std::uint32_t index) { return UserQueue(kFirstQueue + index); }

// A short-lived monitor that keeps the view its callbacks build and counts
// what no sound delivery would do.
class ChurnMonitor : public CQmQueueMonitor {
 public:
  ChurnMonitor(const CEntityId& queue, bool deactivateInCallback)
      : queue_(queue), deactivateInCallback_(deactivateInCallback) {}
  ~ChurnMonitor() override { Stop(); }
  void Stop() {
    Deactivate();
    stopped_ = true;
  }

 protected:
  void AttributesUpdated(const CEntityId& queue, InteractionId id,
                         const CQmAttributeMap&) override {
    Check(queue, id);
  }
  void InteractionAdded(const CEntityId& queue, InteractionId id, const CQmAttributeMap&) override {
    Check(queue, id);
    std::lock_guard lock(mutex_);
    if (!view_.insert(id.QueryObjectId()).second) ++g_doubleAdds;
  }
  void InteractionRemoved(const CEntityId& queue, InteractionId id) override {
    Check(queue, id);
    std::lock_guard lock(mutex_);
    if (view_.erase(id.QueryObjectId()) == 0) ++g_phantomRemoves;
  }
  void StatisticsUpdate(const CEntityId& queue, const CQmQueueStats&) override { Check(queue, 0); }
  void QueueRemoved(const CEntityId& queue) override { Check(queue, 0); }

 private:
  void Check(const CEntityId& queue, InteractionId id) {
    if (stopped_) ++g_lateCallbacks;
    if (queue != queue_) ++g_misdirected;  // meant for an earlier monitor here
    // Callbacks may call back into the cache.
    Contains(id);
    if (deactivateInCallback_) Stop();
  }
  const CEntityId queue_;
  const bool deactivateInCallback_;
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::set<std::uint32_t> view_;
};

class CacheStressTest : public MonitorCacheTest {
 protected:
  void SetUp() override {
    MonitorCacheTest::SetUp();
    // Loads are answered from the server's contents; an adding load carries
    // attribute values only. Reloads are refused.
    server_->Handle(ServerEntity(), kMonitorQueueEvent, [this](const CMessage& request) {
      const auto [adding, queue] = ReadLoadRequest(request);
      QueueBody body{.stats = Stats(1)};
      std::lock_guard lock(modelMutex_);
      for (const std::uint32_t member : model_[queue]) {
        const CQmAttributeMap attributes = Attributes({{Xan_State, "b"}});
        body.events.push_back(adding ? Updated(member, attributes) : Added(member, attributes));
      }
      return CScriptedReply::Respond(MonitorResponse(queue, {}, body));
    });
    server_->Reject(ServerEntity(), kCacheReloadEvent);
    server_->Handle(kPublisher, kPublishEvent, [this](const CMessage& request) {
      CMessage copy = request;
      std::uint32_t q = 0;
      std::uint32_t id = 0;
      bool add = false;
      copy >> q >> id >> add;
      {
        std::lock_guard lock(modelMutex_);
        if (add) {
          model_[QueueNumber(q)].insert(id);
        } else {
          model_[QueueNumber(q)].erase(id);
        }
      }
      const QueueBody body =
          add ? QueueBody{.events = {Added(id, Attributes({{Xan_State, "a"}})),
                                     Updated(id, Attributes({{Xan_State, "b"}}))}}
              : QueueBody{.events = {Removed(id)}};
      server_->Publish(QueueNumber(q), kMonitorQueueEvent, Notification(body));
      return CScriptedReply::Silence();
    });
  }

  void Churn(unsigned seed) {
    std::mt19937 random(seed);
    // Every monitor of this thread is built at the same address.
    alignas(ChurnMonitor) unsigned char storage[sizeof(ChurnMonitor)];
    while (!done_) {
      const CEntityId queue = QueueNumber(random() % kQueues);
      const bool deactivatesItself = random() % 4 == 0;
      auto* monitor = new (storage) ChurnMonitor(queue, deactivatesItself);
      monitor->Activate(queue, {Xan_State}, random() % 2 == 0);
      // Queried and extended by its owner while its own callbacks may
      // deactivate it.
      if (random() % 3 == 0) {
        monitor->RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
      }
      std::vector<InteractionId> contents;
      monitor->QueryContents(contents);
      CQmQueueStats stats;
      monitor->QueryStatistics(stats);
      monitor->Contains(InteractionId(1u));
      CQmAttributeValue value;
      CQmCache::Instance().QueryAttribute(random() % 1000, Xan_State, value);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
      if (random() % 2 == 0) monitor->Stop();
      monitor->~ChurnMonitor();  // destroyed, whether stopped before or not
      ++churned_;
      churned_.notify_all();
    }
  }

  void Change(std::uint32_t q, std::uint32_t id, bool add) {
    W4Notifier::CRequestObject request(kPublisher, kPublishEvent);
    request << q << id << add;
    request.Send();
  }

  void PublishAll(std::vector<std::vector<std::string>>& expected) {
    expected.assign(kQueues, {});
    for (int round = 0; round < kRounds || churned_ < kMinChurnedMonitors; ++round) {
      if (round >= kRounds) {
        // Past the planned rounds, a round per monitor made: on a loaded
        // machine, publishing must not outrun the churn threads, whose loads
        // are answered behind everything published.
        const int churned = churned_.load();
        if (churned < kMinChurnedMonitors) churned_.wait(churned);
      }
      for (std::uint32_t q = 0; q < kQueues; ++q) {
        const std::uint32_t id = (q + 1) * 100000 + static_cast<std::uint32_t>(round);
        // Each interaction stays a while, so that loads find some present.
        Change(q, id, true);
        if (round >= 3) Change(q, id - 3, false);
        expected[q].push_back(fmt::format("Added {} {{Xan_State=a}}", id));
        expected[q].push_back(fmt::format("Updated {} {{Xan_State=b}}", id));
        if (round >= 3) expected[q].push_back(fmt::format("Removed {}", id - 3));
      }
      if (round % 50 == 25) connection_->Renegotiate();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  std::atomic<bool> done_{false};
  std::atomic<int> churned_{0};
  std::mutex modelMutex_;
  std::map<CEntityId, std::set<std::uint32_t>> model_;
};

TEST_F(CacheStressTest, ConcurrentActivationsKeepLiveDeliveriesExact) {
  g_lateCallbacks = 0;
  g_misdirected = 0;
  g_doubleAdds = 0;
  g_phantomRemoves = 0;
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
  EXPECT_EQ(g_misdirected, 0);
  EXPECT_EQ(g_doubleAdds, 0);
  EXPECT_EQ(g_phantomRemoves, 0);
  EXPECT_GE(churned_, kMinChurnedMonitors);
  for (std::uint32_t q = 0; q < kStableQueues; ++q) {
    EXPECT_THAT(stable[q]->Log(), ElementsAreArray(expected[q])) << "queue " << q;
  }
  // The all-queues monitor hears every queue of its type exactly.
  std::vector<std::vector<std::string>> heard(kQueues);
  for (const std::string& entry : all.Log(true)) {
    const auto space = entry.find(' ');
    const auto queue = std::stoul(entry.substr(1, space - 1));
    ASSERT_TRUE(queue >= kFirstQueue && queue < kFirstQueue + heard.size()) << entry;
    heard[queue - kFirstQueue].push_back(entry.substr(space + 1));
  }
  for (std::uint32_t q = 0; q < kQueues; ++q) {
    EXPECT_THAT(heard[q], ElementsAreArray(expected[q])) << "all-queues monitor, queue " << q;
  }
  stable.clear();
  all.Deactivate();
}

}  // namespace
}  // namespace QueueManager::testing

namespace QueueManager {
namespace {

// The callback gate that every monitor kind shares: turns, epochs, quiescing
// and stops that would wait for ever. Stops waiting for other threads'
// callbacks are the monitor contract's first case, over every kind.

using namespace std::chrono_literals;
using testing::Eventually;

// A latch the test opens once it has seen what it waits for.
struct Latch {
  std::atomic<bool> open{false};
  void Release() {
    open = true;
    open.notify_all();
  }
  void Wait() const { open.wait(false); }
};

TEST(CallbackGateTest, StartsClosedAndAdmitsOnlyTheOpenEpoch) {
  CallbackGate gate;
  EXPECT_FALSE(gate.Enter());
  const CallbackGate::Epoch first = gate.Open();
  EXPECT_TRUE(gate.Enter(first));
  const CallbackGate::Epoch second = gate.Open();
  EXPECT_FALSE(gate.Enter(first)) << "a delivery for an earlier activation";
  EXPECT_TRUE(gate.Enter(second));
  EXPECT_TRUE(gate.Enter(CallbackGate::kAnyEpoch));
  gate.Close();
  EXPECT_FALSE(gate.Enter(second));
  EXPECT_FALSE(gate.IsOpen(second));
}

TEST(CallbackGateTest, TheHolderEntersAgainAndOthersWaitForTheWholeTurn) {
  CallbackGate gate;
  gate.Open();
  CallbackGate::Turn outer = gate.Enter();
  ASSERT_TRUE(outer);
  EXPECT_TRUE(CallbackGate::InsideAnyCallback());
  std::atomic<bool> entered{false};
  std::thread other([&] {
    CallbackGate::Turn turn = gate.Enter();
    entered = static_cast<bool>(turn);
  });
  ASSERT_TRUE(Eventually([&] { return CallbackGate::BlockedThreadsForTesting() == 1; }));
  {
    CallbackGate::Turn inner = gate.Enter();
    EXPECT_TRUE(inner);
  }
  EXPECT_FALSE(entered) << "the turn was handed on while the outer callback ran";
  outer.Release();
  other.join();
  EXPECT_TRUE(entered);
  EXPECT_FALSE(CallbackGate::InsideAnyCallback());
}

TEST(CallbackGateTest, QuiesceWaitsForTheCallbackAndLeavesTheGateOpen) {
  CallbackGate gate;
  gate.Open();
  Latch finish;
  std::atomic<bool> holding{false}, running{true};
  std::thread callback([&] {
    CallbackGate::Turn turn = gate.Enter();
    holding = true;
    finish.Wait();
    running = false;
  });
  ASSERT_TRUE(Eventually([&] { return holding.load(); }));
  std::atomic<bool> returnedAfter{false};
  std::thread stopper([&] {
    gate.Quiesce();
    returnedAfter = !running;
  });
  ASSERT_TRUE(Eventually([&] { return CallbackGate::BlockedThreadsForTesting() == 1; }));
  finish.Release();
  callback.join();
  stopper.join();
  EXPECT_TRUE(returnedAfter);
  EXPECT_TRUE(gate.IsOpen());
}

// What must not run inside a callback runs at once outside any, and after
// the thread's outermost callback inside them, in order, also when the
// callbacks are of several monitors.
TEST(CallbackGateTest, AfterCallbacksWaitsForTheOutermostCallbackOfAnyMonitor) {
  std::vector<int> ran;
  CallbackGate::AfterCallbacks([&] { ran.push_back(0); });
  EXPECT_EQ(ran, std::vector<int>{0});
  CallbackGate a, b;
  a.Open();
  b.Open();
  {
    CallbackGate::Turn outer = a.Enter();
    {
      CallbackGate::Turn inner = b.Enter();
      CallbackGate::AfterCallbacks([&] { ran.push_back(1); });
    }
    CallbackGate::AfterCallbacks([&] {
      // Made once out of every callback: it may enter a gate itself.
      CallbackGate::Turn again = b.Enter();
      ran.push_back(2);
    });
    EXPECT_EQ(ran, std::vector<int>{0}) << "ran inside a callback";
  }
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
}

// A stop that waits for a callback whose thread then waits for the turn of
// the stopping thread's own monitor gives up its wait, instead of both
// waiting for ever; the delivery is made once the chain unwinds.
TEST(CallbackGateTest, ADeliveryWaitingOnAStopperReleasesTheStop) {
  CallbackGate a, b;
  a.Open();
  b.Open();
  Latch stopStarted;
  std::atomic<bool> delivered{false};
  std::thread stopper;
  CallbackGate::Turn turnB = b.Enter();  // this thread: inside b's callback
  stopper = std::thread([&] {
    CallbackGate::Turn turnA = a.Enter();  // inside a's callback
    stopStarted.Release();
    b.Close();  // waits for this thread's b callback
  });
  stopStarted.Wait();
  ASSERT_TRUE(Eventually([&] { return CallbackGate::BlockedThreadsForTesting() == 1; }));
  {
    // Delivering to a from inside b's callback: its holder waits for us.
    CallbackGate::Turn nested = a.Enter();
    delivered = static_cast<bool>(nested);
  }
  turnB.Release();
  stopper.join();
  EXPECT_TRUE(delivered);
}

}  // namespace
}  // namespace QueueManager
