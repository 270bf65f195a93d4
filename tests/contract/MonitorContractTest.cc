// The callback lifetime that every monitor kind of the library promises, run
// over all nine kinds: stops made on other threads wait for the running
// callback, a callback may stop, re-activate or outlive its monitor's stop,
// a new monitor at a dead one's address hears nothing of it, activations
// racing stops end silent, a held answer does not undo a newer change, and
// two monitors stopping each other at once both return.
//
// Every wait is bounded. A stop or a callback that does not return by the
// deadline cannot be joined or left behind: the program then names the kind
// and what hung, and aborts.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Thread.h"
#include "QueueManager/Platform/Trace.h"
#include "contract/MonitorAdapters.h"
#include "monitor/CacheTestSupport.h"
#include "monitor/CallbackGate.h"
#include "support/Waits.h"

namespace QueueManager::contract {
namespace {

using namespace std::chrono_literals;
using testing::Within;

// What must happen does by then, or it hangs.
constexpr std::chrono::milliseconds kHang = 20s;
// How long stops get to block when they block outside the callback gate,
// which does not count them.
constexpr std::chrono::milliseconds kBlockWindow = 1s;

[[noreturn]] void Hang(const std::string& what) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::fprintf(stderr, "%s.%s: %s did not return within %lld s; aborting\n",
               test != nullptr ? test->test_suite_name() : "?",
               test != nullptr ? test->name() : "?", what.c_str(),
               static_cast<long long>(kHang / 1s));
  std::fflush(stderr);
  std::abort();
}

// Thread-safe; signals under its lock, so that a waiter that returns may
// destroy it at once.
class Latch : W4Os::CEvent {
 public:
  Latch() : CEvent(/*manualReset=*/true) {}
  void Open() { Set(); }
  bool IsOpen() { return CEvent::Wait(0); }
  // False when still closed after `limit`.
  bool Wait(std::chrono::milliseconds limit = kHang) {
    return CEvent::Wait(static_cast<std::uint32_t>(limit.count()));
  }
};

// A thread that must end: joined with a deadline, past which the process
// aborts naming `what`.
class BoundedThread {
 public:
  BoundedThread(std::string what, std::function<void()> body)
      : what_(std::move(what)), thread_(W4Os::StartThread([this, body = std::move(body)] {
          body();
          done_.Open();
        })) {}
  ~BoundedThread() { Join(); }
  BoundedThread(const BoundedThread&) = delete;
  BoundedThread& operator=(const BoundedThread&) = delete;

  void Join() {
    if (!thread_.joinable()) return;
    if (!done_.Wait()) Hang(what_);
    W4Os::JoinThread(thread_);
  }

 private:
  const std::string what_;
  Latch done_;
  std::thread thread_;
};

// The callbacks a test's monitor made. Thread-safe.
class DeliveryLog {
 public:
  void Add(const Delivery& delivery) {
    std::lock_guard lock(mutex_);
    deliveries_.push_back(delivery);
  }
  // The slot's first callback, with `tag` where one is given.
  std::optional<Delivery> Find(int slot, std::optional<std::string_view> tag = {}) const {
    std::lock_guard lock(mutex_);
    for (const Delivery& d : deliveries_) {
      if (SlotOf(d) == slot && (!tag || d.tag == *tag)) return d;
    }
    return std::nullopt;
  }
  bool Contains(int slot, std::string_view tag) const { return Find(slot, tag).has_value(); }
  // The tag of the slot's last callback that carried one.
  std::optional<std::string> LastTag(int slot) const {
    std::lock_guard lock(mutex_);
    for (auto it = deliveries_.rbegin(); it != deliveries_.rend(); ++it) {
      if (SlotOf(*it) == slot && !it->tag.empty()) return it->tag;
    }
    return std::nullopt;
  }
  std::string Text() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const Delivery& d : deliveries_) text += fmt::format(" [{} {}]", d.item, d.tag);
    return text.empty() ? " (none)" : text;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Delivery> deliveries_;
};

// The stop that ends every activation where the kind has one.
template <class Kind>
void StopForGood(typename Kind::Monitor& monitor) {
  if constexpr (requires { Kind::StopForGood(monitor); }) {
    Kind::StopForGood(monitor);
  } else {
    Kind::Stop(monitor);
  }
}

std::size_t BlockedInGates() { return CallbackGate::BlockedThreadsForTesting(); }

// While it lives, holds the first thread that traces a text containing
// `text` and naming no other item than the slot 0's (context attribute 1),
// until Release(), at the latest until its end.
class TraceHold {
 public:
  explicit TraceHold(std::string_view text) : sink_(std::make_shared<Sink>(text)) {
    W4Trace::QueueManagerTopic().SetLevel(W4Trace::kLevelDetail);
    W4Trace::AddSink(sink_);
  }
  ~TraceHold() {
    Release();
    W4Trace::RemoveSink(sink_);
    W4Trace::QueueManagerTopic().SetLevel(level_);
  }
  TraceHold(const TraceHold&) = delete;
  TraceHold& operator=(const TraceHold&) = delete;

  bool AwaitHeld() const { return sink_->held.Wait(); }
  void Release() { sink_->release.Open(); }

 private:
  struct Sink : W4Trace::ITraceSink {
    explicit Sink(std::string_view t) : text(t) {}
    void Write(const W4Trace::CTraceRecord& record) override {
      for (const W4Trace::CContextAttribute& attribute : record.context) {
        if (attribute.index == 1 && attribute.text != std::to_string(kItem)) return;
      }
      if (record.text.find(text) == std::string::npos || taken.exchange(true)) return;
      held.Open();
      release.Wait();
    }
    const std::string_view text;
    std::atomic<bool> taken{false};
    Latch held, release;
  };
  const int level_ = W4Trace::QueueManagerTopic().Level();
  const std::shared_ptr<Sink> sink_;
};

template <class Kind>
class MonitorContractTest : public testing::MonitorCacheTest {
 protected:
  using Monitor = typename Kind::Monitor;

  void SetUp() override {
    MonitorCacheTest::SetUp();
    // Each object called back has one delivery thread, chosen by its
    // address; with a prime number of them, objects whose addresses differ
    // by a multiple of an allocator's block size still find different ones.
    connection_ = bus_->Connect(W4Notifier::CInProcessOptions{.deliveryThreads = 7});
    W4Notifier::SetDefaultConnection(connection_);
    // Long enough that a held answer never times out under a sanitizer.
    W4Notifier::CNotifierTimeout::Set(10000);
    server = std::make_unique<ContractServer>(*server_, bus_);
    for (const int slot : {0, 1}) Kind::Script(*server, slot, "init");
  }
  void TearDown() override {
    server.reset();
    MonitorCacheTest::TearDown();
  }

  // Waits until the slot has a callback with `tag`, letting the bus run.
  bool AwaitDelivery(const DeliveryLog& log, int slot, std::string_view tag) {
    return Within(kHang, [&] {
      server->Settle();
      return log.Contains(slot, tag);
    });
  }
  // Activates (synchronously where the kind can) and waits for the
  // callbacks of the answer.
  void ActivateAndSettle(Monitor& monitor, int slot, const DeliveryLog& log) {
    Kind::Activate(monitor, slot, true);
    server->Settle();
    if (Kind::kInitialCallback) {
      EXPECT_TRUE(AwaitDelivery(log, slot, "init"))
          << "the activation's answer never reached the monitor";
    }
  }

  std::unique_ptr<ContractServer> server;
};

struct KindName {
  template <class Kind>
  static std::string GetName(int) {
    return std::string(Kind::kName);
  }
};

using Kinds =
    ::testing::Types<QueueKind, MultiQueueKind, MediaTypeKind, TsServerKind, InteractionKind,
                     ConferenceKind, ObjectTypeKind, CachingObjectTypeKind, AttributeKind>;
TYPED_TEST_SUITE(MonitorContractTest, Kinds, KindName);

std::string Returned(int mask) {
  if (mask == 3) return "both stops";
  return mask == 1 ? "the stop on thread A" : "the stop on thread B";
}

// Two stops on two other threads while a callback runs: neither returns
// before the callback has ended, and no callback starts once they have.
TYPED_TEST(MonitorContractTest, StopsOnOtherThreadsWaitForTheRunningCallback) {
  using Kind = TypeParam;
  DeliveryLog log;
  Latch entered, release;
  std::atomic<bool> firstReturned{false}, secondReturned{false};
  Latch finished;
  std::atomic<int> returnedMeanwhile{-1};
  typename Kind::Monitor monitor([&](const Delivery& delivery) {
    log.Add(delivery);
    if (delivery.tag != "go") return;
    entered.Open();
    if (!release.Wait()) Hang("the callback held for the stops");
    returnedMeanwhile = (firstReturned ? 1 : 0) | (secondReturned ? 2 : 0);
    finished.Open();
  });
  this->ActivateAndSettle(monitor, 0, log);
  Kind::Trigger(*this->server, 0, "go");
  ASSERT_TRUE(entered.Wait()) << "the notification never reached the callback";
  const std::size_t blocked = BlockedInGates();
  {
    BoundedThread first("the stop on thread A", [&] {
      Kind::Stop(monitor);
      firstReturned = true;
    });
    BoundedThread second("the stop on thread B", [&] {
      Kind::Stop(monitor);
      secondReturned = true;
    });
    Within(kBlockWindow,
           [&] { return BlockedInGates() >= blocked + 2 || (firstReturned && secondReturned); });
    release.Open();
  }
  if (!finished.Wait()) Hang("the callback released by the test");
  EXPECT_EQ(returnedMeanwhile, 0) << Returned(returnedMeanwhile)
                                  << " returned while the monitor's callback was still running";
  Kind::Trigger(*this->server, 0, "late");
  this->server->Settle();
  EXPECT_FALSE(log.Contains(0, "late")) << "a callback started after the stops had returned";
}

// A callback that stops its own monitor and goes on working: the monitor's
// destruction on another thread meanwhile returns only after the callback.
TYPED_TEST(MonitorContractTest, DestructionAfterAStopInsideTheCallbackWaitsForIt) {
  using Kind = TypeParam;
  DeliveryLog log;
  Latch entered, stopped, release;
  std::atomic<bool> destroyed{false};
  Latch finished;
  std::atomic<bool> destroyedMeanwhile{false};
  typename Kind::Monitor* raw = nullptr;
  auto monitor = std::make_unique<typename Kind::Monitor>([&](const Delivery& delivery) {
    log.Add(delivery);
    if (delivery.tag != "go") return;
    entered.Open();
    StopForGood<Kind>(*raw);
    stopped.Open();
    if (!release.Wait()) Hang("the callback held after its own stop");
    destroyedMeanwhile = destroyed.load();
    finished.Open();
  });
  raw = monitor.get();
  this->ActivateAndSettle(*monitor, 0, log);
  Kind::Trigger(*this->server, 0, "go");
  ASSERT_TRUE(entered.Wait()) << "the notification never reached the callback";
  if (!stopped.Wait()) Hang("a stop inside the monitor's own callback");
  const std::size_t blocked = BlockedInGates();
  {
    BoundedThread destroy("the destruction of a monitor whose callback runs", [&] {
      monitor.reset();
      destroyed = true;
    });
    Within(kBlockWindow, [&] { return BlockedInGates() >= blocked + 1 || destroyed.load(); });
    release.Open();
  }
  if (!finished.Wait()) Hang("the callback released by the test");
  EXPECT_FALSE(destroyedMeanwhile)
      << "the destructor returned while the callback that stopped the monitor "
      << "was still running";
}

// A monitor destroyed inside its own callback: the destruction returns,
// nothing reaches it afterwards, and another monitor of the entity still
// hears the change.
TYPED_TEST(MonitorContractTest, AMonitorDestroyedInsideItsOwnCallback) {
  using Kind = TypeParam;
  DeliveryLog log;
  Latch destroyed;
  std::unique_ptr<typename Kind::Monitor> monitor;
  monitor = std::make_unique<typename Kind::Monitor>([&](const Delivery& delivery) {
    log.Add(delivery);
    if (delivery.tag != "go") return;
    EXPECT_FALSE(destroyed.IsOpen()) << "a callback after its destruction";
    monitor.reset();
    destroyed.Open();
  });
  DeliveryLog otherLog;
  typename Kind::Monitor other([&](const Delivery& delivery) { otherLog.Add(delivery); });
  this->ActivateAndSettle(other, 0, otherLog);
  this->ActivateAndSettle(*monitor, 0, log);
  Kind::Trigger(*this->server, 0, "go");
  if (!destroyed.Wait()) Hang("a destruction inside the monitor's own callback");
  EXPECT_TRUE(this->AwaitDelivery(otherLog, 0, "go")) << "the other monitor missed it";
  Kind::Trigger(*this->server, 0, "late");
  this->server->Settle();
  EXPECT_FALSE(log.Contains(0, "late")) << "a destroyed monitor heard" << log.Text();
}

// A stop on another thread waits for a callback that activates the monitor
// again: the stop returns after the callback, with the monitor stopped, the
// new activation included.
TYPED_TEST(MonitorContractTest, AStopWaitingForACallbackThatActivatesAgainLeavesItStopped) {
  using Kind = TypeParam;
  if (!Kind::kReactivates || !Kind::kActivatesDuringAStop) {
    GTEST_SKIP() << "not activated by its callback during a stop";
  }
  DeliveryLog log;
  Latch entered, release;
  std::atomic<bool> stopped{false}, stoppedMeanwhile{false};
  typename Kind::Monitor* raw = nullptr;
  typename Kind::Monitor monitor([&](const Delivery& delivery) {
    log.Add(delivery);
    if (delivery.tag != "go" || entered.IsOpen()) return;
    entered.Open();
    if (!release.Wait()) Hang("the callback held for the stop");
    Kind::Activate(*raw, 1, true);
    // A stop that took the new activation for the end of the callback would
    // return now.
    stoppedMeanwhile = Within(kBlockWindow / 10, [&] { return stopped.load(); });
  });
  raw = &monitor;
  this->ActivateAndSettle(monitor, 0, log);
  Kind::Trigger(*this->server, 0, "go");
  ASSERT_TRUE(entered.Wait()) << "the notification never reached the callback";
  const std::size_t blocked = BlockedInGates();
  {
    BoundedThread stop("a stop waiting for a callback that activates again", [&] {
      StopForGood<Kind>(monitor);
      stopped = true;
    });
    Within(kBlockWindow, [&] { return BlockedInGates() >= blocked + 1; });
    release.Open();
  }
  Kind::Trigger(*this->server, 1, "late");
  this->server->Settle();
  EXPECT_FALSE(stoppedMeanwhile) << "the stop returned while the callback ran";
  EXPECT_FALSE(log.Contains(1, "late"))
      << "the activation made by the callback outlived the stop:" << log.Text();
}

// A callback stops its monitor and activates it on the other entity: neither
// deadlocks, and what follows reaches the new activation only.
TYPED_TEST(MonitorContractTest, StopAndActivateAgainInsideTheCallback) {
  using Kind = TypeParam;
  if (!Kind::kReactivates) GTEST_SKIP() << "activated once only";
  DeliveryLog log;
  Latch entered, moved;
  typename Kind::Monitor* raw = nullptr;
  typename Kind::Monitor monitor([&](const Delivery& delivery) {
    log.Add(delivery);
    if (delivery.tag != "go" || entered.IsOpen()) return;
    entered.Open();
    Kind::Stop(*raw);
    Kind::Activate(*raw, 1, true);
    moved.Open();
  });
  raw = &monitor;
  this->ActivateAndSettle(monitor, 0, log);
  Kind::Trigger(*this->server, 0, "go");
  ASSERT_TRUE(entered.Wait()) << "the notification never reached the callback";
  if (!moved.Wait()) Hang("a stop and activation inside the monitor's own callback");
  ASSERT_TRUE(this->AwaitDelivery(log, 1, "init"))
      << "the new activation's answer never reached the monitor";
  Kind::Trigger(*this->server, 0, "old");
  Kind::Trigger(*this->server, 1, "new");
  EXPECT_TRUE(this->AwaitDelivery(log, 1, "new"))
      << "a change on the new entity never reached the monitor";
  EXPECT_FALSE(log.Contains(0, "old"))
      << "a change on the entity it left reached the monitor:" << log.Text();
}

// A monitor built in the storage of a destroyed one, on another entity, hears
// nothing meant for the old one: neither the answer to its activation, held
// until then, nor a notification of its entity.
TYPED_TEST(MonitorContractTest, AMonitorAtADestroyedOnesAddressGetsNothingOfIt) {
  using Kind = TypeParam;
  using Watcher = typename Kind::Monitor;
  alignas(Watcher) std::byte storage[sizeof(Watcher)];
  DeliveryLog oldLog, newLog;
  auto* old = new (storage) Watcher([&](const Delivery& d) { oldLog.Add(d); });
  bool held = false;
  if (Kind::kAsyncActivation) {
    Kind::HoldActivation(*this->server, 0);
    Kind::Activate(*old, 0, false);
    held = this->server->AwaitHeld();
  } else {
    Kind::Activate(*old, 0, true);
  }
  Kind::Trigger(*this->server, 0, "late");
  old->~Watcher();
  auto* reborn = new (storage) Watcher([&](const Delivery& d) { newLog.Add(d); });
  this->ActivateAndSettle(*reborn, 1, newLog);
  this->server->Release();
  Kind::Trigger(*this->server, 0, "later");
  Kind::Trigger(*this->server, 1, "go");
  const bool reached = this->AwaitDelivery(newLog, 1, "go");
  this->server->Settle();
  reborn->~Watcher();
  EXPECT_TRUE(!Kind::kAsyncActivation || held) << "the first activation sent no request to hold";
  EXPECT_TRUE(reached) << "the new monitor's own change never reached it";
  EXPECT_FALSE(newLog.Find(0).has_value())
      << "what was meant for the destroyed monitor reached the new one:" << newLog.Text();
}

// Activation and stop race on two threads, round after round: both return,
// and once a last stop has returned no callback comes.
TYPED_TEST(MonitorContractTest, AnActivationRacingAStopEndsSilentOnceStopped) {
  using Kind = TypeParam;
  constexpr int kRounds = 30;
  std::atomic<bool> stopped{false};
  std::atomic<int> late{0};
  const Hook hook = [&](const Delivery&) {
    if (stopped) ++late;
  };
  std::unique_ptr<typename Kind::Monitor> monitor;
  const auto destroy = [&] {
    BoundedThread thread("a destruction between rounds", [&] { monitor.reset(); });
  };
  for (int round = 0; round < kRounds && late == 0; ++round) {
    if (!monitor || !Kind::kReactivates) {
      destroy();
      monitor = std::make_unique<typename Kind::Monitor>(hook);
    }
    std::atomic<int> ready{0};
    const auto start = [&ready] {
      ++ready;
      Within(kHang, [&ready] { return ready == 2; });
    };
    {
      BoundedThread activate("an activation racing a stop", [&] {
        start();
        Kind::Activate(*monitor, 0, true);
      });
      BoundedThread stop("a stop racing an activation", [&] {
        start();
        Kind::Stop(*monitor);
      });
    }
    {
      BoundedThread last("the last stop of a round", [&] { Kind::Stop(*monitor); });
    }
    stopped = true;
    Kind::Trigger(*this->server, 0, "late");
    this->server->Settle();
    stopped = false;
  }
  destroy();
  EXPECT_EQ(late, 0) << "a callback ran after the monitor's last stop returned";
}

// The server answers an activation (synchronous where the kind can) with an
// older value, then publishes a newer one, while the thread that starts
// applying the answer is held: the notification waits behind the answer on
// the monitor's one lane, and the monitor ends with the newer value.
TYPED_TEST(MonitorContractTest, AHeldAnswerDoesNotUndoANewerNotification) {
  using Kind = TypeParam;
  Kind::Script(*this->server, 0, "old");
  DeliveryLog log;
  typename Kind::Monitor monitor([&](const Delivery& d) { log.Add(d); });
  bool held = false;
  {
    TraceHold hold(Kind::kAnswerTrace);
    BoundedThread activate("an activation whose answer is held",
                           [&] { Kind::Activate(monitor, 0, true); });
    held = hold.AwaitHeld();
    Kind::Trigger(*this->server, 0, "new");
    // Applied on another lane, the notification would come meanwhile.
    Within(kBlockWindow, [&] { return log.Contains(0, "new"); });
    hold.Release();
  }
  ASSERT_TRUE(held) << "no thread traced \"" << Kind::kAnswerTrace
                    << "\" for the activation's answer";
  // The TS server monitor reports on its worker, which the bus does not wait for.
  Within(kBlockWindow, [&] {
    this->server->Settle();
    return log.LastTag(0) == "new";
  });
  this->server->Settle();
  EXPECT_EQ(log.LastTag(0).value_or("(no callback)"), "new")
      << "the last callback shows the held answer's older value:" << log.Text();
  if (const std::optional<std::string> view = Kind::View(monitor, 0)) {
    EXPECT_EQ(*view, "new") << "its view holds the held answer's older value";
  }
}

// Two monitors whose callbacks, running at once on two threads, stop each
// other: both stops return.
TYPED_TEST(MonitorContractTest, TwoMonitorsStoppingEachOtherFromTheirCallbacksAtOnce) {
  using Kind = TypeParam;
  using Watcher = typename Kind::Monitor;
  struct Side {
    DeliveryLog log;
    std::atomic<bool> armed{false};
    Latch entered;
    std::atomic<bool> meetsOther{false};
    Latch done;
    std::unique_ptr<Watcher> monitor;
  };
  Side sides[2];
  const auto make = [&](int i) {
    Side& side = sides[i];
    Side& other = sides[1 - i];
    side.monitor = std::make_unique<Watcher>([&side, &other](const Delivery& d) {
      side.log.Add(d);
      if (!side.armed.exchange(false)) return;
      side.entered.Open();
      side.meetsOther = other.entered.Wait();
      Kind::Stop(*other.monitor);
      side.done.Open();
    });
    this->ActivateAndSettle(*side.monitor, i, side.log);
  };
  make(0);
  make(1);
  // The second callback is made by a synchronous call where the kind can;
  // otherwise two monitors are sought whose callbacks run on two delivery
  // threads (the thread follows the address of the object called back).
  // Passed-over monitors and some ballast stay until the end, so that new
  // ones land elsewhere.
  bool onDeliveryThreads = false;
  std::vector<std::unique_ptr<Watcher>> passedOver;
  std::vector<std::vector<char>> ballast;
  for (int attempt = 0; attempt < 16 && !Kind::kCallsBackOnCaller; ++attempt) {
    const std::string warm = fmt::format("warm {}", attempt);
    for (const int i : {0, 1}) Kind::Trigger(*this->server, i, warm);
    ASSERT_TRUE(this->AwaitDelivery(sides[0].log, 0, warm) &&
                this->AwaitDelivery(sides[1].log, 1, warm))
        << "a notification never reached its monitor";
    onDeliveryThreads = sides[0].log.Find(0, warm)->thread != sides[1].log.Find(1, warm)->thread;
    if (onDeliveryThreads) break;
    Kind::Stop(*sides[1].monitor);
    passedOver.push_back(std::move(sides[1].monitor));
    ballast.emplace_back(static_cast<std::size_t>(16 * attempt + 24));
    make(1);
  }
  if (Kind::kOneCallbackThread) {
    EXPECT_FALSE(onDeliveryThreads) << "the callbacks of two monitors ran on two threads";
    return;  // two of its callbacks never run at once to stop each other
  }
  if (!onDeliveryThreads && !Kind::kCallsBackOnCaller) {
    GTEST_SKIP() << "the callbacks of two monitors always ran on one thread "
                 << "(16 pairs tried): two of them never run at once to stop each other";
  }
  for (Side& side : sides) side.armed = true;
  {
    std::optional<BoundedThread> caller;
    if (onDeliveryThreads) {
      Kind::Trigger(*this->server, 0, "go");
      Kind::Trigger(*this->server, 1, "go");
    } else {
      // The synchronous call's answer comes on a delivery thread that may be
      // the one the first monitor's callback would block: its callback is
      // running on the caller before the notification goes out.
      caller.emplace("a synchronous call whose callback stops the other monitor",
                     [&] { Kind::CallbackHere(*sides[1].monitor); });
      if (sides[1].entered.Wait()) Kind::Trigger(*this->server, 0, "go");
    }
    for (Side& side : sides) {
      if (!side.entered.Wait()) side.armed = false;
    }
    for (Side& side : sides) {
      if (side.entered.IsOpen() && !side.done.Wait()) {
        Hang("two monitors stopping each other from callbacks");
      }
    }
  }
  this->server->Settle();
  for (Side& side : sides) {
    BoundedThread thread("a destruction", [&] { side.monitor.reset(); });
  }
  passedOver.clear();
  ASSERT_TRUE(sides[0].entered.IsOpen() && sides[1].entered.IsOpen())
      << "a callback meant to stop the other monitor never ran";
  EXPECT_TRUE(sides[0].meetsOther && sides[1].meetsOther)
      << "the two callbacks never ran at once"
      << (onDeliveryThreads ? " on their delivery threads" : " (delivery and synchronous call)");
}

}  // namespace
}  // namespace QueueManager::contract
