// The callback gate that every monitor kind shares: turns, epochs, quiescing
// and stops that would wait for ever. Stops waiting for other threads'
// callbacks are the monitor contract's first case, over every kind.

#include "monitor/CallbackGate.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/Waits.h"

namespace QueueManager {
namespace {

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
