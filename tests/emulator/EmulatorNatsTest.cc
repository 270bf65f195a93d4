// The library against the emulator over NATS where only NATS can fail: a
// subscriber too slow for the traffic, and a cluster node that dies under
// its client.

#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "QueueManager/Platform/Sync.h"
#include "emulator/ConsistencyViews.h"
#include "emulator/EmulatorTestSupport.h"
#include "platform/notifier/CallbackLog.h"
#include "support/Waits.h"

namespace QueueManager::Emulator {
namespace {

using namespace std::chrono_literals;
using W4Notifier::testing::NatsServerProcess;

using testing::Eventually;

// A queue monitor whose callbacks wait while its gate is shut, holding up
// its connection's delivery thread.
class GatedMonitor : public ViewMonitor {
 public:
  void Shut() { gate_.Reset(); }
  void Open() { gate_.Set(); }

 protected:
  void AttributesUpdated(const W4Notifier::CEntityId& queue, InteractionId id,
                         const CQmAttributeMap& attributes) override {
    gate_.Wait();
    ViewMonitor::AttributesUpdated(queue, id, attributes);
  }

 private:
  W4Os::CEvent gate_{/*manualReset=*/true, /*initiallySignalled=*/true};
};

// The emulator over a NATS server of the test's own, whatever the
// environment asks for.
class OverNatsTest : public EmulatorTest {
 protected:
  void SetUp() override { Start({}); }
  void Start(const W4Notifier::CNatsOptions& tuning) {
    testing::Cache().ResetForTesting();
    emulator_ = std::make_unique<CEmulator>(bus_);
    std::string skip;
    if (!transport_.Start(skip, tuning, /*nats=*/true)) GTEST_SKIP() << skip;
    library_ = transport_.Library();
    W4Notifier::SetDefaultConnection(library_);
  }
};

class SlowSubscriberTest : public OverNatsTest {
 protected:
  void SetUp() override {
    W4Notifier::CNatsOptions tuning;
    tuning.maxQueuedNotifications = 8;
    Start(tuning);
  }
};

TEST_F(SlowSubscriberTest, NotificationsBeyondTheQueueAreDroppedAndTheCacheReloads) {
  const std::uint32_t id = Add({{u"Xan_State", u"A"}, {u"Custom", u"0"}});
  Add({{u"Xan_State", u"C"}});
  GatedMonitor monitor;
  monitor.Activate(kSales, {kState, kCustom}, true);
  Sync();
  monitor.Shut();
  // Far more than the queue holds, each a change the cache must not miss.
  // Each value differs from the last (the server publishes changes only),
  // so that however many the delivery thread takes at once, more than the
  // queue holds are still to come while it is held.
  for (const char16_t* value : {u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9"}) {
    for (char16_t round = u'a'; round < u'e'; ++round) {
      const std::u16string text = std::u16string(value) + round;
      emulator_->SetAttributes(id, MapOf({{u"Custom", text.c_str()}}));
    }
  }
  emulator_->SetAttributes(id, MapOf({{u"Custom", u"last"}}));
  EXPECT_TRUE(Eventually([&] { return W4Notifier::DroppedNotifications(*library_) > 0; }));
  monitor.Open();
  std::vector<std::string> divergences;
  EXPECT_TRUE(transport_.AwaitAgreement([&] {
    divergences = CompareViews(*emulator_, monitor);
    return divergences.empty();
  })) << ::testing::PrintToString(divergences);
  EXPECT_EQ(W4Notifier::DroppedNotifications(*connection_), 0U);  // not a NATS connection
}

// Its answer is far beyond what a NATS server takes in one message.
TEST_F(OverNatsTest, AQueueOfAHundredThousandInteractionsLoads) {
  constexpr std::size_t kCount = 100000;
  for (std::size_t i = 0; i < kCount; ++i) Add({{u"Xan_State", u"A"}});
  ViewMonitor monitor;
  monitor.Activate(kSales, {kState}, true);
  EXPECT_EQ(monitor.Snapshot().members.size(), kCount);
}

// A server that restarts behind the running NATS server counts its
// notifications from 1 again and knows nothing of the library; the library,
// which only listens, hears of the new server and reloads.
TEST_F(OverNatsTest, AListeningClientAgreesWithARestartedServer) {
  const std::uint32_t id = Add({{u"Xan_State", u"A"}});
  ViewMonitor monitor;
  monitor.Activate(kSales, {kState}, true);
  for (const char16_t* state : {u"C", u"H", u"O"})
    emulator_->SetAttributes(id, MapOf({{u"Xan_State", state}}));
  ASSERT_TRUE(transport_.AwaitAgreement([&] { return CompareViews(*emulator_, monitor).empty(); }));
  transport_.StopBridge();
  emulator_.reset();
  emulator_ = std::make_unique<CEmulator>(bus_);
  emulator_->CreateQueue(kSales);  // configured, as qm_emulator --seed does
  transport_.RestartBridge();
  Add({{u"Xan_State", u"C"}});
  Add({{u"Xan_State", u"H"}});
  std::vector<std::string> divergences;
  EXPECT_TRUE(Eventually([&] {
    bus_->WaitIdle();
    divergences = CompareViews(*emulator_, monitor);
    return divergences.empty();
  })) << ::testing::PrintToString(divergences);
}

// Two nodes with a route between them; the emulator's bridge and a second
// client on node A, the library on node B, with A as its fall-back.
class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (NatsServerProcess::FindProgram().empty())
      GTEST_SKIP() << "nats-server is not installed (apt-get install nats-server)";
    std::string error;
    a_.JoinCluster({});
    ASSERT_TRUE(a_.Start(error)) << error;
    b_.JoinCluster({a_.ClusterUrl()});
    ASSERT_TRUE(b_.Start(error)) << error;
    testing::Cache().ResetForTesting();
    emulator_ = std::make_unique<CEmulator>(bus_);
    W4Notifier::CNatsOptions onA;
    onA.urls = {a_.Url()};
    bridge_ = std::make_unique<W4Notifier::CNatsBusBridge>(onA, "emulator", bus_);
    other_ = W4Notifier::ConnectNats(onA);
    W4Notifier::CNatsOptions onB = onA;
    onB.urls = {b_.Url(), a_.Url()};
    onB.urlsInOrder = true;
    onB.reconnectWaitMs = 50;
    library_ = W4Notifier::ConnectNats(onB);
    W4Notifier::SetDefaultConnection(library_);
  }
  void TearDown() override {
    W4Notifier::SetDefaultConnection(nullptr);
    testing::Cache().ResetForTesting();
  }
  // A round trip through B to the bridge on A: refused until the route
  // carries the bridge's interest.
  bool ReachesTheEmulator() {
    return Eventually([&] { return Sync(*library_, 1s).has_value(); });
  }
  bool AgreesWithTheEmulator(const ViewMonitor& monitor) {
    return Eventually([&] {
      if (!Sync(*library_, 1s)) return false;
      bus_->WaitIdle();
      return CompareViews(*emulator_, monitor).empty();
    });
  }

  NatsServerProcess a_, b_;
  std::shared_ptr<W4Notifier::CInProcessBus> bus_ = W4Notifier::CInProcessBus::Create();
  std::unique_ptr<CEmulator> emulator_;
  std::unique_ptr<W4Notifier::CNatsBusBridge> bridge_;
  std::shared_ptr<W4Notifier::CNotifierConnection> other_, library_;
};

TEST_F(ClusterTest, AClientWhoseNodeDiesFailsOverRenegotiatesAndAgreesAgain) {
  ASSERT_TRUE(ReachesTheEmulator());
  W4Notifier::testing::CallbackLog onA, onB;
  ASSERT_EQ(other_->StartNotifications(kSales, 0, &onA, 0), W4Notifier::eMsgSuccess);
  const CEntityId silent(W4Notifier::eWorkgroupQueue, 999);
  ASSERT_EQ(library_->StartNotifications(silent, 0, &onB, 0), W4Notifier::eMsgSuccess);
  const std::uint32_t a = emulator_->AddInteraction(kCall, MapOf({{u"Xan_State", u"A"}}), {kSales});
  ViewMonitor monitor;
  monitor.Activate(kSales, {kState}, true);
  emulator_->SetAttributes(a, MapOf({{u"Xan_State", u"C"}}));
  ASSERT_TRUE(AgreesWithTheEmulator(monitor));

  b_.Kill();
  // Lost to the library, which is between nodes.
  emulator_->SetAttributes(a, MapOf({{u"Xan_State", u"H"}}));
  const std::uint32_t b = emulator_->AddInteraction(kCall, MapOf({{u"Xan_State", u"O"}}), {kSales});
  EXPECT_TRUE(onB.AwaitCount("renegotiated", 1));
  EXPECT_TRUE(AgreesWithTheEmulator(monitor))
      << ::testing::PrintToString(CompareViews(*emulator_, monitor));
  EXPECT_THAT(*emulator_->QueueContents(kSales), ElementsAre(a, b));
  // The client on the surviving node saw none of it: no renegotiation, and
  // each of the four changes' notifications.
  EXPECT_TRUE(onA.AwaitValues(4));
  EXPECT_EQ(W4Notifier::testing::CallbackLog::Count(onA.Lines(), "renegotiated"), 0u);
  EXPECT_TRUE(other_->IsConnected());
  library_->StopAllMessages(&onB);
  other_->StopAllMessages(&onA);
}

}  // namespace
}  // namespace QueueManager::Emulator
