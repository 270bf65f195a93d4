// Several application threads run random operations through the library and
// through the emulator's control functions, while request faults are injected
// and the connection is renegotiated at random points. After a quiescence
// point the emulator's state, the library's cache and a model rebuilt only
// from queue monitors' callbacks must agree exactly. The run is seeded (the
// seed is printed); QM_CONSISTENCY_SEED repeats one, QM_CONSISTENCY_OPERATIONS
// makes the run longer.

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/Alerting.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Thread.h"
#include "emulator/ConsistencyViews.h"
#include "emulator/EmulatorTestSupport.h"
#include "monitor/CacheTestSupport.h"
#include "monitor/CacheTrace.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::ObjectTypes;

// About 10 s, also under ThreadSanitizer (most of it the time-outs of the
// answers that faults hold back).
constexpr unsigned long kDefaultOperations = 10'000;
// Over NATS, where every request crosses the server: a few seconds.
constexpr unsigned long kDefaultNatsOperations = 2'000;
// Run while the NATS server is down.
constexpr unsigned long kOperationsWhileDown = 30;
constexpr std::uint32_t kQueues = 4;
constexpr int kThreads = 3;
constexpr std::uint32_t kSeededInteractions = 16;
// Short enough that lost answers cost little, long enough for a loaded
// machine to answer the others.
constexpr std::uint32_t kTimeoutMs = 250;

unsigned long FromEnvironment(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text == nullptr ? fallback : std::strtoul(text, nullptr, 10);
}

CEntityId QueueNumber(std::uint32_t n) { return CEntityId(W4Notifier::eWorkgroupQueue, n + 1); }

// The faults a run may inject: each call makes the next `count` matching
// requests (or, for faults on notifications, notifications) suffer; a count
// of 0 takes the fault back. Every fault here keeps the server's state and
// its notifications sound, so the three views must still agree afterwards.
// Answers are never held back from the cache's loads and reloads: a load
// left without an answer would end by its time-out after the quiescence
// point. A set is never refused: the library writes a set through to its
// cache before it sends it and keeps the value when the server refuses it,
// so a refused set leaves the cache ahead of the server until a reload.
// A request for more names that fails leaves those names unloaded until the
// application asks again (the library keeps the monitor's earlier contents
// and does not retry); the check would see them missing from the cache. So
// the faults that hit loads (`hitsLoads`) are taken back before a monitor
// asks for more names.
struct FaultKind {
  const char* what;
  std::function<void(CEmulator&, std::uint32_t count)> inject;
  bool hitsLoads = false;
};

FaultKind RequestFault(const char* what, ObjectTypes target, int event, eFault fault) {
  return {what,
          [=](CEmulator& emulator, std::uint32_t count) {
            emulator.InjectFault(target, event, fault, count);
          },
          target == W4Notifier::eQueueManagerServer && event == 0};
}

const std::vector<FaultKind>& Faults() {
  using W4Notifier::eInteractionRequest;
  using W4Notifier::eQueueManagerServer;
  static const std::vector<FaultKind> faults{
      RequestFault("set unanswered", eInteractionRequest, 7, eFault::kNoReply),
      RequestFault("set answer cut", eInteractionRequest, 7, eFault::kTruncated),
      RequestFault("query rejected", eInteractionRequest, 0, eFault::kReject),
      RequestFault("query unanswered", eInteractionRequest, 0, eFault::kNoReply),
      RequestFault("instantiate rejected", eQueueManagerServer, 14, eFault::kReject),
      RequestFault("instantiate unanswered", eQueueManagerServer, 14, eFault::kNoReply),
      RequestFault("instantiate answer cut", eQueueManagerServer, 14, eFault::kTruncated),
      RequestFault("load rejected", eQueueManagerServer, 0, eFault::kReject),
      RequestFault("load answer cut", eQueueManagerServer, 0, eFault::kTruncated),
      RequestFault("reload rejected", eQueueManagerServer, 2, eFault::kReject),
      RequestFault("reload answer cut", eQueueManagerServer, 2, eFault::kTruncated),
  };
  return faults;
}

const std::vector<CQmAttributeName>& StateOnly() {
  static const std::vector<CQmAttributeName> names{kState};
  return names;
}

const std::vector<CQmAttributeName>& StateAndCustom() {
  static const std::vector<CQmAttributeName> names{kState, kCustom};
  return names;
}

// One monitored queue: its current monitor, replaced at random.
struct MonitorSlot {
  W4Os::Mutex mutex;
  std::unique_ptr<ViewMonitor> monitor;
};

// One random run: the operations, the monitors and the history.
class ConsistencyRun {
 public:
  // `renegotiate` renegotiates the library's connection; empty where the
  // transport cannot at will (a run over NATS restarts the server instead).
  ConsistencyRun(CEmulator& emulator, std::function<void()> renegotiate, unsigned long seed)
      : emulator_(emulator), renegotiate_(std::move(renegotiate)), seed_(seed) {}

  void Seed();
  void Work(int thread, unsigned long operations);
  // Takes every fault back, lets what is in flight arrive and reloads
  // monitors whose load failed, as an application would.
  void Quiesce(TestTransport& transport);
  unsigned long OperationsDone() const { return done_.load(); }
  std::vector<std::string> Divergences();
  // The operations before the first anomaly of a replaced monitor, if any,
  // and the last ones.
  std::string History() {
    std::lock_guard lock(anomaliesMutex_);
    return anomalyHistory_.empty()
               ? history_.Dump()
               : "before the first anomaly, " + anomalyHistory_ + "at the end, " + history_.Dump();
  }

 private:
  struct Operation {
    const char* name;
    int weight;
    std::function<std::string(std::mt19937&)> act;
  };

  std::uint32_t AnyId(std::mt19937& random) const { return 1 + random() % (lastId_ + 2); }
  CEntityId AnyQueue(std::mt19937& random) const { return QueueNumber(random() % kQueues); }
  CQmAttributeMap AnyChange(std::mt19937& random) const;
  void Activate(MonitorSlot& slot, const CEntityId& queue, bool synchronous,
                const std::vector<CQmAttributeName>& names);

  CEmulator& emulator_;
  const std::function<void()> renegotiate_;
  const unsigned long seed_;
  std::atomic<unsigned long> done_{0};
  // QM_CONSISTENCY_STRICT=1: the anomalies of replaced monitors count too.
  const bool strict_ = FromEnvironment("QM_CONSISTENCY_STRICT", 0) != 0;
  std::atomic<std::uint32_t> lastId_{0};
  MonitorSlot slots_[kQueues];
  // Held while a fault that hits loads is injected or taken back.
  W4Os::Mutex loadFaults_;
  std::mutex anomaliesMutex_;
  std::vector<std::string> anomalies_;
  // The history when the first of them was found.
  std::string anomalyHistory_;
  OperationHistory history_{200};
  const std::vector<Operation> operations_{
      {"set", 20,
       [this](std::mt19937& random) {
         const std::uint32_t id = AnyId(random);
         const CQmAttributeMap change = AnyChange(random);
         SetAttributes(id, change);
         return fmt::format("{} {}", id, MapText(change));
       }},
      {"move and set", 15,
       [this](std::mt19937& random) {
         const std::uint32_t id = AnyId(random);
         const CEntityId from = AnyQueue(random);
         const CEntityId to = AnyQueue(random);
         const CQmAttributeMap change = AnyChange(random);
         const bool noWait = random() % 2 == 0;
         const bool done = MoveAndSet(id, {from}, change, {to}, noWait);
         return fmt::format("{} q{}->q{} {}{}: {}", id, from.QueryObjectId(), to.QueryObjectId(),
                            MapText(change), noWait ? " no wait" : "", done);
       }},
      {"instantiate", 4,
       [this](std::mt19937& random) {
         const CEntityId queue = AnyQueue(random);
         const ObjectTypes type = random() % 3 == 0 ? kChat : kCall;
         CEntityId created;
         const bool done = InstantiateInteraction(
             created, InteractionId(), type, eXAN_STATE_OFFERING, eXAN_DIRECTION_INBOUND, "l", "la",
             "li", eXAN_PARTY_INTERNAL, "r", "ra", "ri", eXAN_PARTY_EXTERNAL, AnyChange(random),
             {queue}, false);
         if (done) lastId_ = std::max(lastId_.load(), created.QueryObjectId());
         return fmt::format("{} on q{}: {} {}", type == kChat ? "chat" : "call",
                            queue.QueryObjectId(), done, created.QueryObjectId());
       }},
      {"deallocate chats", 1,
       [](std::mt19937&) {
         // Fire and forget: the removals arrive as notifications.
         DeallocateAllInstances(kChat);
         return "every chat";
       }},
      {"query", 8,
       [this](std::mt19937& random) {
         const std::uint32_t id = AnyId(random);
         CQmAttributeValue value;
         const bool found = QueryAttribute(id, random() % 2 == 0 ? kState : kCustom, value);
         std::vector<CEntityId> contents;
         const bool listed = QueryQueueContents(AnyQueue(random), contents);
         return fmt::format("{}: {} '{}', contents {} ({})", id, found,
                            W4Os::WideToNarrowLossy(value.QueryString()), listed, contents.size());
       }},
      {"control set", 12,
       [this](std::mt19937& random) {
         const std::uint32_t id = AnyId(random);
         const CQmAttributeMap change = AnyChange(random);
         return fmt::format("{} {}: {}", id, MapText(change), emulator_.SetAttributes(id, change));
       }},
      {"control move", 10,
       [this](std::mt19937& random) {
         const std::uint32_t id = AnyId(random);
         const CEntityId from = AnyQueue(random);
         const CEntityId to = AnyQueue(random);
         return fmt::format("{} q{}->q{}: {}", id, from.QueryObjectId(), to.QueryObjectId(),
                            emulator_.Move(id, {from}, {to}));
       }},
      {"control add", 4,
       [this](std::mt19937& random) {
         const CEntityId queue = AnyQueue(random);
         const std::uint32_t id = emulator_.AddInteraction(kCall, AnyChange(random), {queue});
         lastId_ = std::max(lastId_.load(), id);
         return fmt::format("on q{}: {}", queue.QueryObjectId(), id);
       }},
      {"control remove", 3,
       [this](std::mt19937& random) {
         const std::uint32_t id = AnyId(random);
         return fmt::format("{}: {}", id, emulator_.RemoveInteraction(id));
       }},
      {"replace monitor", 2,
       [this](std::mt19937& random) {
         const std::uint32_t q = random() % kQueues;
         const bool synchronous = random() % 2 == 0;
         const bool custom = random() % 2 == 0;
         MonitorSlot& slot = slots_[q];
         W4Os::MutexLock lock(&slot.mutex);
         Activate(slot, QueueNumber(q), synchronous, custom ? StateAndCustom() : StateOnly());
         return fmt::format("q{}{}{}", q + 1, synchronous ? " sync" : " async",
                            custom ? " +Custom" : "");
       }},
      {"watch more", 2,
       [this](std::mt19937& random) {
         const std::uint32_t q = random() % kQueues;
         MonitorSlot& slot = slots_[q];
         W4Os::MutexLock lock(&slot.mutex);
         const bool watched = slot.monitor->IsMonitored(kCustom);
         if (!watched) {
           W4Os::MutexLock faults(&loadFaults_);
           for (const FaultKind& fault : Faults()) {
             if (fault.hitsLoads) fault.inject(emulator_, 0);
           }
           slot.monitor->RequestAttributeUpdateCallback(kCustom);
         }
         return fmt::format("q{} Custom{}", q + 1, watched ? " already" : "");
       }},
      {"query monitor", 5,
       [this](std::mt19937& random) {
         const std::uint32_t q = random() % kQueues;
         const std::uint32_t id = AnyId(random);
         MonitorSlot& slot = slots_[q];
         W4Os::MutexLock lock(&slot.mutex);
         std::vector<InteractionId> contents;
         slot.monitor->QueryContents(contents);
         CQmQueueStats stats;
         slot.monitor->QueryStatistics(stats);
         return fmt::format("q{}: {} members, A{}, holds {}: {}", q + 1, contents.size(),
                            stats.QueryAlertingCount(), id, slot.monitor->Contains(id));
       }},
      {"inject fault", 3,
       [this](std::mt19937& random) {
         const FaultKind& fault = Faults()[random() % Faults().size()];
         const std::uint32_t count = 1 + random() % 2;
         std::optional<W4Os::MutexLock> faults;
         if (fault.hitsLoads) faults.emplace(&loadFaults_);
         fault.inject(emulator_, count);
         return fmt::format("{} x{}", fault.what, count);
       }},
      {"renegotiate", 1,
       [this](std::mt19937&) {
         if (!renegotiate_) return "not at will";
         renegotiate_();
         return "connection";
       }},
  };
};

CQmAttributeMap ConsistencyRun::AnyChange(std::mt19937& random) const {
  static constexpr char16_t kLetters[] = u"AOCIEHPMS";
  CQmAttributeMap map;
  if (random() % 4 != 0) map.insert(kState, std::u16string(1, kLetters[random() % 9]));
  if (random() % 2 == 0) map.insert(kCustom, u"v" + std::u16string(1, u'0' + random() % 4));
  return map;
}

void ConsistencyRun::Seed() {
  std::mt19937 random(seed_);
  for (std::uint32_t i = 0; i < kSeededInteractions; ++i) {
    lastId_ = emulator_.AddInteraction(kCall, AnyChange(random), {AnyQueue(random)});
  }
  for (std::uint32_t q = 0; q < kQueues; ++q) {
    Activate(slots_[q], QueueNumber(q), q % 2 == 0, q % 2 == 0 ? StateAndCustom() : StateOnly());
  }
}

void ConsistencyRun::Activate(MonitorSlot& slot, const CEntityId& queue, bool synchronous,
                              const std::vector<CQmAttributeName>& names) {
  if (slot.monitor && strict_) {
    // What no sound delivery does is wrong whenever it happened: kept from
    // every monitor, not only from those that last until the check.
    slot.monitor->Deactivate();
    std::lock_guard lock(anomaliesMutex_);
    const std::vector<std::string> found = slot.monitor->Snapshot().anomalies;
    if (!found.empty() && anomalies_.empty()) anomalyHistory_ = history_.Dump();
    for (const std::string& anomaly : found) {
      anomalies_.push_back(
          fmt::format("replaced monitor of queue {}: {}", queue.QueryObjectId(), anomaly));
    }
  }
  slot.monitor.reset();
  slot.monitor = std::make_unique<ViewMonitor>();
  slot.monitor->Activate(queue, names, synchronous);
}

void ConsistencyRun::Work(int thread, unsigned long operations) {
  std::mt19937 random(static_cast<unsigned>(seed_ * 31 + static_cast<unsigned long>(thread)));
  int total = 0;
  for (const Operation& operation : operations_) total += operation.weight;
  for (unsigned long i = 0; i < operations; ++i) {
    int pick = static_cast<int>(random() % static_cast<unsigned>(total));
    const Operation* chosen = &operations_.front();
    for (const Operation& operation : operations_) {
      chosen = &operation;
      if ((pick -= operation.weight) < 0) break;
    }
    history_.Record(thread, chosen->name, chosen->act(random));
    ++done_;
  }
}

void ConsistencyRun::Quiesce(TestTransport& transport) {
  for (const FaultKind& fault : Faults()) fault.inject(emulator_, 0);
  transport.Sync();
  for (std::uint32_t q = 0; q < kQueues; ++q) {
    std::vector<CQmAttributeName> names;
    slots_[q].monitor->Monitors(names);
    // Only a monitor whose load failed is loaded again.
    slots_[q].monitor->Activate(QueueNumber(q), names, true);
  }
  transport.Sync();
}

std::vector<std::string> ConsistencyRun::Divergences() {
  std::vector<std::string> found;
  {
    std::lock_guard lock(anomaliesMutex_);
    found = anomalies_;
  }
  for (MonitorSlot& slot : slots_) {
    for (std::string& difference : CompareViews(emulator_, *slot.monitor)) {
      found.push_back(std::move(difference));
    }
  }
  return found;
}

class ConsistencyTest : public EmulatorTest {
 public:
  using EmulatorTest::bus_;
  using EmulatorTest::connection_;
  using EmulatorTest::emulator_;

  // Takes `id` off the sales queue while the connection is down, so that
  // its notification is lost, and brings the connection back without
  // renegotiating.
  void MoveOffWhileDown(std::uint32_t id) {
    connection_->Disconnect();
    emulator_->Move(id, {kSales}, {});
    connection_->Reconnect(false);
  }

  // Sets a watched name that `id` has no value of while the connection is
  // down: the library's cache takes the value, the server never hears of it.
  void SetWhileDown(ViewMonitor& monitor, std::uint32_t id) {
    monitor.RequestAttributeUpdateCallback(kCustom);
    bus_->WaitIdle();
    connection_->Disconnect();
    SetAttributes(id, MapOf({{u"Custom", u"v3"}}));
    connection_->Reconnect(false);
  }

 protected:
  void SetUp() override {
    EmulatorTest::SetUp();
    W4Notifier::CNotifierTimeout::Set(kTimeoutMs);
  }
  void TearDown() override {
    W4Notifier::CNotifierTimeout::Set(W4Notifier::CNotifierTimeout::kDefaultMs);
    EmulatorTest::TearDown();
  }
};

// Over NATS the server and the bridge are killed a third of the way in; the
// server is restarted on the same port once the threads ran some operations
// without it, and the bridge once the library is back on the server and ran
// some more without a server to answer. The threads go on throughout.
void KillAndRestartMidRun(TestTransport& transport, const ConsistencyRun& run,
                          unsigned long operations) {
#if QM_TEST_WITH_NATS
  const auto poll = [&](const std::function<bool()>& done) {
    testing::Eventually([&] { return done() || run.OperationsDone() >= operations; });
  };
  const auto ran = [&](unsigned long more) {
    const unsigned long until = run.OperationsDone() + more;
    poll([&] { return run.OperationsDone() >= until; });
  };
  poll([&] { return run.OperationsDone() >= operations / 3; });
  transport.KillServer();
  ran(kOperationsWhileDown);
  transport.RestartServer();
  poll([&] { return transport.Library()->IsConnected(); });
  ran(kOperationsWhileDown);
  transport.RestartBridge();
#else
  (void)transport, (void)run, (void)operations;
#endif
}

TEST_F(ConsistencyTest, RandomOperationsLeaveTheThreeViewsEqual) {
  const bool nats = transport_.IsNats();
  const unsigned long seed = FromEnvironment("QM_CONSISTENCY_SEED", 20261207);
  const unsigned long operations = FromEnvironment(
      "QM_CONSISTENCY_OPERATIONS", nats ? kDefaultNatsOperations : kDefaultOperations);
  std::printf("consistency run: seed %lu, %lu operations on %d threads%s\n", seed, operations,
              kThreads, nats ? " over NATS" : "");
  std::fflush(stdout);
  std::function<void()> renegotiate;
  if (!nats) renegotiate = [this] { CEmulator::ForceRenegotiation(*connection_); };
  ConsistencyRun run(*emulator_, renegotiate, seed);
  run.Seed();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    const unsigned long share = operations / kThreads + (t == 0 ? operations % kThreads : 0);
    threads.push_back(W4Os::StartThread([&run, t, share] { run.Work(t, share); }));
  }
  if (nats) KillAndRestartMidRun(transport_, run, operations);
  for (std::thread& thread : threads) W4Os::JoinThread(thread);
  run.Quiesce(transport_);
  const std::vector<std::string> divergences = run.Divergences();
  EXPECT_THAT(divergences, ::testing::IsEmpty())
      << "seed " << seed << "\n"
      << run.History() << fmt::format("{}", fmt::join(divergences, "\n"));
}

// ---- the check itself: faults planted where it must see them ----

TEST_F(ConsistencyTest, CheckSeesPlantedFaultsAndOnlyThem) {
  // Each plant, whether the check must see it, and how it is planted.
  const std::tuple<
      const char*, bool,
      std::function<void(ConsistencyTest & test, ViewMonitor & monitor, std::uint32_t id)>>
      cases[] = {
          {"a callback the monitor lost", true,
           [](auto& test, auto& monitor, std::uint32_t id) {
             monitor.LoseNextCallbacks(1);
             test.emulator_->SetAttributes(id, MapOf({{u"Xan_State", u"H"}}));
           }},
          {"a notification lost with the connection", true,
           [](auto& test, auto&, std::uint32_t id) { test.MoveOffWhileDown(id); }},
          {"the same loss repaired by renegotiation", false,
           [](auto& test, auto&, std::uint32_t id) {
             test.MoveOffWhileDown(id);
             CEmulator::ForceRenegotiation(*test.connection_);
           }},
          {"the same loss, the reload's answer cut short", false,
           [](auto& test, auto&, std::uint32_t id) {
             test.MoveOffWhileDown(id);
             test.emulator_->InjectFault(W4Notifier::eQueueManagerServer, 2, eFault::kTruncated);
             CEmulator::ForceRenegotiation(*test.connection_);
           }},
          {"a set that never reached the server", true,
           [](auto& test, auto& monitor, std::uint32_t id) { test.SetWhileDown(monitor, id + 1); }},
          {"the same set put right by renegotiation", false,
           [](auto& test, auto& monitor, std::uint32_t id) {
             test.SetWhileDown(monitor, id + 1);
             CEmulator::ForceRenegotiation(*test.connection_);
           }},
          {"the same set put right by a new monitor's contents", false,
           [](auto& test, auto& monitor, std::uint32_t id) {
             test.SetWhileDown(monitor, id + 1);
             ViewMonitor another;
             another.Activate(kSales, StateAndCustom(), true);
             another.Deactivate();
           }},
          {"a notification no server sent", true,
           [](auto& test, auto&, std::uint32_t id) {
             W4Notifier::CMessage forged(kSales, 0);
             testing::WriteServerTime(forged, LocalUtcSeconds());
             testing::WriteBody(forged,
                                {.stats = testing::Stats(0), .events = {testing::Added(id + 100)}});
             test.bus_->Connect()->Publish(forged);
           }},
          {"a load answered half", false,
           [](auto& test, auto& monitor, std::uint32_t) {
             monitor.Deactivate();
             monitor.Forget();
             test.emulator_->InjectFault(W4Notifier::eQueueManagerServer, 0, eFault::kTruncated);
             monitor.Activate(kSales, StateAndCustom(), true);
             monitor.Activate(kSales, StateAndCustom(), true);  // the application tries again
           }},
          {"more names asked for", false,
           [](auto&, auto& monitor, std::uint32_t) {
             monitor.RequestAttributeUpdateCallback(kCustom);
           }},
      };
  for (const auto& [what, caught, plant] : cases) {
    SCOPED_TRACE(what);
    const std::uint32_t id = Add({{u"Xan_State", u"A"}, {u"Custom", u"1"}});
    Add({{u"Xan_State", u"C"}});
    ViewMonitor monitor;
    monitor.Activate(kSales, StateOnly(), true);
    bus_->WaitIdle();
    ASSERT_THAT(CompareViews(*emulator_, monitor), ::testing::IsEmpty());
    plant(*this, monitor, id);
    bus_->WaitIdle();
    EXPECT_EQ(!CompareViews(*emulator_, monitor).empty(), caught)
        << fmt::format("{}", fmt::join(CompareViews(*emulator_, monitor), "\n"));
    monitor.Deactivate();
    emulator_->RemoveInteraction(id);
    emulator_->RemoveInteraction(id + 1);
    bus_->WaitIdle();
  }
}

// Alerting orders from several threads while another thread answers, ends
// and shortens them at random: every order gets exactly one outcome, and each
// answer the server took is the outcome of exactly one order.

TEST(EmulatorAlertingStressTest, EveryOrderEndsOnceWhateverEndsIt) {
  constexpr unsigned kCallers = 4;
  const W4Notifier::CEntityId agent(W4Notifier::eUserQueue, 7);
  auto bus = W4Notifier::CInProcessBus::Create();
  CEmulator emulator(bus);
  W4Notifier::SetDefaultConnection(bus->Connect());
  std::atomic<int> answeredOutcomes = 0;
  std::atomic<unsigned> callersDone = 0;
  const auto call = [&](std::uint32_t id) {
    for (int i = 0; i < 60; ++i) {
      const auto code = PerformAlerting(id, 60, {}, {}, {{agent, CQmAlertingParameters()}}, 0);
      EXPECT_TRUE(code == eAlertingAnswered || code == eAlertingEnded || code == eAlertingTimeout);
      answeredOutcomes += code == eAlertingAnswered ? 1 : 0;
    }
    ++callersDone;
  };
  std::vector<std::thread> callers;
  for (unsigned c = 0; c < kCallers; ++c) {
    const std::uint32_t id = emulator.AddInteraction(W4Notifier::eGenericObject, {}, {});
    callers.push_back(W4Os::StartThread([&call, id] { call(id); }));
  }
  int answersTaken = 0;
  // Each order is ended by this loop, which runs until the last caller is done.
  for (std::mt19937 random(3); callersDone < kCallers;) {
    const std::uint32_t id = 1 + random() % kCallers;
    const std::uint32_t action = random() % 3;
    if (action == 0) answersTaken += emulator.AnswerAlerting(id, agent) ? 1 : 0;
    if (action == 1) EndAlerting(id, 0);
    if (action == 2) AlertConnectionTimeout(id, 0);
  }
  for (std::thread& caller : callers) W4Os::JoinThread(caller);
  EXPECT_EQ(answeredOutcomes, answersTaken);
  for (std::uint32_t id = 1; id <= kCallers; ++id) EXPECT_FALSE(emulator.Alerting(id).has_value());
  W4Notifier::SetDefaultConnection(nullptr);
}

}  // namespace
}  // namespace QueueManager::Emulator
