#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QueueManager/Platform/RefCount.h"

namespace {

// Records its destruction and checks that every write made by the threads
// that shared it is visible to the thread that deletes it.
class CShared : public W4Util::RefCountBase {
 public:
  CShared(std::atomic<int>* destroyed, int threads)
      : destroyed_(destroyed), touched_(static_cast<std::size_t>(threads), 0) {}
  ~CShared() override {
    for (int value : touched_) EXPECT_EQ(value, 1);
    destroyed_->fetch_add(1);
  }
  void Touch(int thread) { touched_[static_cast<std::size_t>(thread)] = 1; }

 private:
  std::atomic<int>* destroyed_;
  std::vector<int> touched_;  // each element written by one thread, read by the deleter
};

TEST(RefCountConcurrencyTest, ConcurrentCopiesAndReleasesDeleteOnce) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::atomic<int> destroyed{0};
  for (int round = 0; round < kRounds; ++round) {
    auto shared = W4Util::MakeObject<CShared>(&destroyed, kThreads);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([shared, &go, t]() mutable {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 50; ++i) {
          W4Util::ObjectPtr<CShared> copy = shared;
          w4core::InterfacePtr<const W4Util::RefCountBase> base = copy;
        }
        shared->Touch(t);
        shared.reset();
      });
    }
    shared.reset();  // the last release happens on one of the threads
    go.store(true);
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(destroyed.load(), round + 1);
  }
}

}  // namespace
