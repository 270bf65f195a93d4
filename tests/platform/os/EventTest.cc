#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "QueueManager/Platform/Sync.h"

namespace W4Os {
namespace {

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

// Blocked waiters: a manual-reset Set releases all of them; an auto-reset
// Set releases one, and the event is reset again by the time it is through.
TEST(CEvent, SetFromAnotherThreadReleasesBlockedWaiters) {
  for (const bool manualReset : {true, false}) {
    CEvent event(manualReset);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.emplace_back([&] {
        if (event.Wait(60'000)) ++woken;
      });
    }
    if (!manualReset) {
      event.Set();
      while (woken.load() == 0) std::this_thread::yield();
      EXPECT_FALSE(event.Wait(0)) << "still set after releasing a waiter";
    }
    while (woken.load() < 3) {
      event.Set();
      std::this_thread::yield();
    }
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woken.load(), 3) << "manual reset " << manualReset;
  }
}

}  // namespace
}  // namespace W4Os
