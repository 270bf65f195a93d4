// Counted pointers, held alone and shared among threads.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QueueManager/Platform/RefCount.h"

namespace {

// Counts destructions, so that tests see an object deleted exactly once.
class CBase : public w4core::RefCounted<w4core::AtomicRefCount> {
 public:
  explicit CBase(int* destroyed) : destroyed_(destroyed) {}
  ~CBase() override { ++*destroyed_; }
  virtual std::string Name() const { return "base"; }

 private:
  int* destroyed_;
};

class CDerived : public CBase {
 public:
  CDerived(int* destroyed, std::string name) : CBase(destroyed), name_(std::move(name)) {}
  std::string Name() const override { return name_; }

 private:
  std::string name_;
};

// An object that holds the only pointer to another object of its kind.
class CChain : public W4Util::RefCountBase {
 public:
  explicit CChain(int* destroyed) : destroyed_(destroyed) {}
  ~CChain() override { ++*destroyed_; }
  W4Util::ObjectPtr<CChain> next;

 private:
  int* destroyed_;
};

using w4core::InterfacePtr;
using w4core::MakeInterface;

TEST(InterfacePtrTest, LastPointerOfAnyKindDeletesTheObjectOnce) {
  int destroyed = 0;
  InterfacePtr<CDerived> derived = MakeInterface<CDerived>(&destroyed, "derived");
  {
    InterfacePtr<CBase> base = derived;
    InterfacePtr<CBase> fromRaw(derived.get());
    EXPECT_EQ(base->Name(), "derived");
    EXPECT_EQ(derived->UseCount(), 3);
  }
  InterfacePtr<const CBase> constBase = std::move(derived);
  EXPECT_EQ(constBase->UseCount(), 1);
  // A copy of the object starts its own count.
  InterfacePtr<CDerived> copy(new CDerived(*static_cast<const CDerived*>(constBase.get())));
  EXPECT_EQ(copy->UseCount(), 1);
  copy.reset();
  EXPECT_EQ(destroyed, 1);
  constBase.reset();
  EXPECT_EQ(destroyed, 2);

  // Assignment and reset release the old object.
  int destroyedA = 0;
  int destroyedB = 0;
  InterfacePtr<CBase> a = MakeInterface<CBase>(&destroyedA);
  InterfacePtr<CBase> b = MakeInterface<CBase>(&destroyedB);
  a = b;
  EXPECT_EQ(destroyedA, 1);
  InterfacePtr<CBase>& alias = a;
  a = alias;  // self-assignment keeps the object
  EXPECT_EQ(b->UseCount(), 2);
  b.reset(new CBase(&destroyedA));
  a.swap(b);
  b = nullptr;
  EXPECT_EQ(destroyedB, 1);
  EXPECT_EQ(destroyedA, 1);

  // ObjectPtr does the same.
  int chained = 0;
  W4Util::ObjectPtr<CChain> head = W4Util::MakeObject<CChain>(&chained);
  head->next = W4Util::MakeObject<CChain>(&chained);
  W4Util::ObjectPtr<CChain> second = head->next;
  EXPECT_EQ(second->UseCount(), 2);
  W4Util::ObjectPtr<const W4Util::RefCountBase> asBase = second;
  EXPECT_TRUE(asBase == second);
  asBase.reset();
  second = nullptr;
  EXPECT_EQ(chained, 0);
  head = head->next;  // the assignment drops the last reference to the old head
  EXPECT_EQ(chained, 1);
  head.reset();
  EXPECT_EQ(chained, 2);
}

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
