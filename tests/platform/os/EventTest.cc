#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "QueueManager/Platform/Sync.h"

namespace W4Os {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(CEvent, ManualResetStaysSignalledUntilReset) {
  CEvent event(/*manualReset=*/true);
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
  EXPECT_TRUE(CEvent(/*manualReset=*/true, /*initiallySignalled=*/true).Wait(0));
}

TEST(CEvent, AutoResetReleasesOneWaitPerSet) {
  CEvent event(/*manualReset=*/false, /*initiallySignalled=*/true);
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  event.Set();  // setting a signalled event changes nothing
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
}

TEST(CEvent, TimedWaitTimesOut) {
  CEvent event;
  const auto start = steady_clock::now();
  EXPECT_FALSE(event.Wait(50));
  EXPECT_GE(steady_clock::now() - start, milliseconds(50));
}

TEST(CEvent, ManualResetWakesEveryWaiter) {
  CEvent event(/*manualReset=*/true);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait()) ++woken;
    });
  }
  event.Set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 4);
}

TEST(CEvent, AutoResetWakesExactlyOneWaiterPerSet) {
  CEvent event;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait()) ++woken;
    });
  }
  event.Set();
  while (woken.load() == 0) std::this_thread::yield();
  // Give a wrongly released second waiter time to show up.
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(woken.load(), 1);
  // A Set may find the event still set by the one before (no waiter had
  // consumed it yet), so keep signalling until the other two are through.
  while (woken.load() < 3) {
    event.Set();
    std::this_thread::yield();
  }
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 3);
}

TEST(CEvent, WaitReturnsWhenSetFromAnotherThread) {
  CEvent event;
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    event.Set();
  });
  EXPECT_TRUE(event.Wait(10'000));
  setter.join();
}

}  // namespace
}  // namespace W4Os
