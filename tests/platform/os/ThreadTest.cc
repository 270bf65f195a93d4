#include "QueueManager/Platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "QueueManager/Platform/Sync.h"

namespace W4Os {
namespace {

// A manual-reset event stays signalled until reset; an auto-reset one
// releases one wait per Set.
TEST(CEvent, ManualResetStaysSignalledAndAutoResetReleasesOneWaitPerSet) {
  CEvent manual(/*manualReset=*/true);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));
  EXPECT_TRUE(CEvent(/*manualReset=*/true, /*initiallySignalled=*/true).Wait(0));
  CEvent automatic(/*manualReset=*/false, /*initiallySignalled=*/true);
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
  automatic.Set();
  automatic.Set();  // setting a signalled event changes nothing
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));

  // Blocked waiters: a manual-reset Set releases all of them; an auto-reset Set releases one, and
  // the event is reset again by the time it is through.
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

// Records which thread ran it and can be held inside the method.
class Worker {
 public:
  void Run() {
    runningOn_ = CurrentThreadId();
    ran_ = true;
    if (holdInside_) release_.Wait();
  }

  std::atomic<bool> ran_{false};
  std::atomic<std::thread::id> runningOn_{};
  bool holdInside_ = false;
  CEvent release_{/*manualReset=*/true};
};

TEST(CWorkerThread, StartReturnsOnlyOnceTheThreadRunsAndAWorkerMayDropItsHandle) {
  // The worker records its kernel thread number before it signals that it
  // runs; without the handshake Start could return before it was written
  // (and ThreadSanitizer would report the unordered read).
  std::atomic<std::uint64_t> seenInBody{0};
  CWorkerThread thread =
      CWorkerThread::StartFunction([&] { seenInBody = CurrentOsThreadId(); }, /*suspended=*/true);
  const std::uint64_t recorded = thread.OsId();
  EXPECT_NE(recorded, 0u);
  EXPECT_NE(recorded, CurrentOsThreadId());
  thread.Join();
  EXPECT_EQ(seenInBody.load(), recorded);

  // A worker may drop its own handle: the destructor running on the worker
  // itself must not try to join it.
  // The events are shared: the worker may still be inside Set() when the
  // test has already seen it and returned.
  std::optional<CWorkerThread> handle;
  auto handleStored = std::make_shared<CEvent>(/*manualReset=*/true);
  auto done = std::make_shared<CEvent>(/*manualReset=*/true);
  handle = CWorkerThread::StartFunction([&handle, handleStored, done] {
    handleStored->Wait();
    handle.reset();
    done->Set();
  });
  handleStored->Set();
  EXPECT_TRUE(done->Wait(10'000));
}

TEST(CWorkerThread, SuspendedThreadRunsOnlyOnceResumedAndIsJoinedOnDestruction) {
  Worker resumed;
  CWorkerThread thread = CWorkerThread::Start(&resumed, &Worker::Run, /*suspended=*/true);
  EXPECT_FALSE(resumed.ran_);
  thread.Resume();
  thread.Join();
  EXPECT_TRUE(resumed.ran_);

  Worker joined;  // Join resumes it
  CWorkerThread::Start(&joined, &Worker::Run, /*suspended=*/true).Join();
  EXPECT_TRUE(joined.ran_);

  Worker suspended;  // the destructor resumes and joins it
  { CWorkerThread handle = CWorkerThread::Start(&suspended, &Worker::Run, /*suspended=*/true); }
  EXPECT_TRUE(suspended.ran_);

  Worker held;
  held.holdInside_ = true;
  std::atomic<bool> destroyed{false};
  std::thread releaser([&] {
    while (!held.ran_) std::this_thread::yield();
    EXPECT_FALSE(destroyed);  // the destructor is still waiting for the method
    held.release_.Set();
  });
  { CWorkerThread handle = CWorkerThread::Start(&held, &Worker::Run); }
  destroyed = true;
  releaser.join();
}

// The method runs on a new thread; a handle moves, and assigning over a live
// handle ends its thread first.
TEST(CWorkerThread, RunsTheMethodOnANewThreadAndMovesOwnership) {
  Worker first, second;
  CWorkerThread a = CWorkerThread::Start(&first, &Worker::Run, /*suspended=*/true);
  CWorkerThread b = std::move(a);
  EXPECT_FALSE(a.Joinable());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_TRUE(b.Joinable());
  b = CWorkerThread::Start(&second, &Worker::Run);
  EXPECT_TRUE(first.ran_);
  const std::thread::id id = b.Id();
  b.Join();
  EXPECT_TRUE(second.ran_);
  EXPECT_EQ(second.runningOn_.load(), id);
  EXPECT_NE(id, CurrentThreadId());
  EXPECT_FALSE(b.Joinable());
  b.Join();  // a second Join has no effect
}

}  // namespace
}  // namespace W4Os
