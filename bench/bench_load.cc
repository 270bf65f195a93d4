// Big loads through the monitor cache, against decoding the same answer
// bytes with the attribute codec alone (in the same iteration, so that load
// from elsewhere on the machine falls on both alike):
// - the activation of a queue of 100,000 interactions with ten attributes
//   each, synchronous and asynchronous, over the in-process bus and over
//   NATS (where the answer travels in parts): the time until the monitor's
//   initial callbacks end, and the peak heap against the steady state after
//   the load;
// - the reload after a renegotiation of ten watched queues of 10,000
//   interactions and 1,000 interaction monitors: the time until every
//   monitor was told what changed;
// - the longest a cache query waits while a 100,000-interaction queue loads
//   (the longest the cache lock is held, as the rest of the process feels
//   it), against the longest wait while nothing loads.
// A server of this file answers from answers prepared before the clock runs.
// Heap figures count what operator new hands out (libnats's own buffers,
// allocated with malloc, are not counted). The smoke form:
// --benchmark_min_time=0.01 (one iteration of each).

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "FiveAttributes.h"
#include "QueueManager/InteractionMonitor.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/QueueMonitor.h"
#include "monitor/ClockSkew.h"
#include "monitor/MessageReaders.h"
#include "monitor/QmCache.h"
#ifdef QM_BENCH_NATS
#include "QueueManager/Platform/NatsNotifier.h"
#include "platform/nats/NatsServerProcess.h"
#endif

// ---- heap counting ----

namespace {

std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};
std::atomic<std::int64_t> g_allocations{0};

void Count(void* p) {
  if (p == nullptr) return;
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const auto bytes = static_cast<std::int64_t>(malloc_usable_size(p));
  const std::int64_t now = g_live.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  std::int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

void Release(void* p) noexcept {
  if (p == nullptr) return;
  g_live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}

void* Allocate(std::size_t bytes, std::size_t alignment = 0) {
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(bytes == 0 ? 1 : bytes);
  } else if (posix_memalign(&p, alignment, bytes == 0 ? 1 : bytes) != 0) {
    p = nullptr;
  }
  if (p == nullptr) throw std::bad_alloc();
  Count(p);
  return p;
}

}  // namespace

void* operator new(std::size_t bytes) { return Allocate(bytes); }
void* operator new[](std::size_t bytes) { return Allocate(bytes); }
void* operator new(std::size_t bytes, std::align_val_t a) {
  return Allocate(bytes, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t bytes, std::align_val_t a) {
  return Allocate(bytes, static_cast<std::size_t>(a));
}
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  Count(p);
  return p;
}
void* operator new[](std::size_t bytes, const std::nothrow_t& tag) noexcept {
  return operator new(bytes, tag);
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }

namespace {

using Clock = std::chrono::steady_clock;
using QueueManager::CQmAttributeMap;
using QueueManager::CQmAttributeName;
using QueueManager::InteractionId;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr std::uint32_t kFirstInteraction = 2'000'000;
// Callbacks that do not come within this long are lost: the run fails.
constexpr auto kPatience = std::chrono::seconds(120);

// The heap in use, and the most in use since the last ResetPeak.
std::int64_t LiveBytes() { return g_live.load(std::memory_order_relaxed); }
void ResetPeak() { g_peak.store(LiveBytes(), std::memory_order_relaxed); }
std::int64_t PeakBytes() { return g_peak.load(std::memory_order_relaxed); }
std::int64_t Allocations() { return g_allocations.load(std::memory_order_relaxed); }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- what the server says ----

const std::vector<CQmAttributeName>& TenNames() {
  static const std::vector<CQmAttributeName> names = [] {
    std::vector<CQmAttributeName> all = bench::FiveNames();
    for (const QueueManager::eAttributeName more :
         {QueueManager::Xan_AccountCode, QueueManager::Xan_AssignedWorkgroup,
          QueueManager::Xan_CallStateString, QueueManager::Xan_Language, QueueManager::Xan_Note}) {
      all.push_back(more);
    }
    return all;
  }();
  return names;
}

// Ten values of 12 to 39 code units; `variant` changes every one of them.
CQmAttributeMap TenValues(std::uint32_t variant) {
  CQmAttributeMap map;
  for (std::size_t i = 0; i < TenNames().size(); ++i) {
    std::u16string text(12 + 3 * i, static_cast<char16_t>(u'a' + i));
    text[0] = static_cast<char16_t>(u'A' + variant % 26);
    text[1] = static_cast<char16_t>(u'a' + (variant / 26) % 26);
    map.insert(TenNames()[i], text);
  }
  return map;
}

void WriteTime(CMessage& message) {
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(QueueManager::LocalUtcSeconds()) * 10'000'000u;
  message << static_cast<std::uint32_t>(ticks >> 32) << static_cast<std::uint32_t>(ticks);
}

CEntityId Queue(std::uint32_t id) { return CEntityId(W4Notifier::eUserQueue, id); }

// A queue's section: its entity, the ten names, its body with `count`
// interactions from `first` (added, or updated as a reload lists them).
void WriteSection(CMessage& message, std::uint32_t queue, std::uint32_t first, std::uint32_t count,
                  std::uint32_t variant, bool added) {
  message << static_cast<std::int32_t>(W4Notifier::eUserQueue) << static_cast<std::int32_t>(queue)
          << static_cast<std::int32_t>(TenNames().size());
  for (const CQmAttributeName& name : TenNames()) name.Write(message);
  message << true << false << count;
  const CQmAttributeMap values = TenValues(variant);
  for (std::uint32_t i = 0; i < count; ++i) {
    message << static_cast<std::int32_t>(W4Notifier::eGenericObject)
            << static_cast<std::int32_t>(first + i) << added << false;
    values.Write(message);
  }
}

void WriteInteractionRecord(CMessage& message, std::uint32_t id, const CQmAttributeMap& values) {
  const auto type = static_cast<std::int32_t>(InteractionId(id).QueryObjectType());
  message << type << static_cast<std::int32_t>(id) << false << false;
  values.Write(message);
}

// Decodes a load or reload answer as the codec alone would, into events
// that live until the end; returns how many were read.
std::size_t DecodeAnswer(CMessage& answer) {
  answer.Rewind();
  QueueManager::ReadServerTimeHeader(answer);
  std::vector<QueueManager::QueueEvent> events;
  std::vector<QueueManager::InteractionReloadRecord> records;
  while (!answer.IsAtEndOfData()) {
    const CEntityId entity = QueueManager::ReadEntity(answer);
    if (entity.QueryObjectType() == W4Notifier::eInteractionRequest) {
      records.push_back(QueueManager::ReadInteractionRecord(answer));
      continue;
    }
    benchmark::DoNotOptimize(QueueManager::ReadNameList(answer));
    const std::uint32_t count = QueueManager::SkipToQueueEvents(answer).value_or(0);
    events.reserve(events.size() + count);
    for (std::uint32_t i = 0; i < count; ++i) {
      QueueManager::ReadQueueEvent(answer, events.emplace_back());
    }
  }
  benchmark::DoNotOptimize(events.data());
  return events.size() + records.size();
}

// Answers the cache's loads and reloads and the interaction monitors'
// requests from what it was given. Thread-safe.
class PreparedServer : public W4Notifier::IRequestHandler {
 public:
  explicit PreparedServer(std::shared_ptr<W4Notifier::CInProcessBus> bus) : bus_(std::move(bus)) {
    bus_->SetRequestHandler(this);
  }
  ~PreparedServer() override { bus_->SetRequestHandler(nullptr); }
  PreparedServer(const PreparedServer&) = delete;
  PreparedServer& operator=(const PreparedServer&) = delete;

  void Serve(std::uint32_t queue, std::shared_ptr<const CMessage> answer) {
    std::lock_guard lock(mutex_);
    answers_[queue] = std::move(answer);
  }
  // The reload's answer, and the variant of the interaction monitors' values.
  void ServeReload(std::shared_ptr<const CMessage> answer, std::uint32_t variant) {
    std::lock_guard lock(mutex_);
    reload_ = std::move(answer);
    variant_ = variant;
  }

  void OnRequest(W4Notifier::CInboundRequest request) override {
    const CMessage& message = request.Message();
    std::shared_ptr<const CMessage> answer;
    if (message.QueryEventId() == QueueManager::kMonitorQueueEvent) {
      bool adding = false;
      std::int32_t type = 0;
      std::int32_t queue = 0;
      message >> adding >> type >> queue;
      std::lock_guard lock(mutex_);
      const auto it = answers_.find(static_cast<std::uint32_t>(queue));
      if (it != answers_.end()) answer = it->second;
    } else if (message.QueryEventId() == QueueManager::kCacheReloadEvent) {
      std::lock_guard lock(mutex_);
      answer = reload_;
    } else if (message.QueryEventId() == kInteractionMonitorEvent) {
      request.Reply(InteractionAnswer(message));
      return;
    }
    if (answer) {
      request.Reply(*answer);
    } else {
      request.Reply(CMessage(), true);
    }
  }

  static constexpr int kInteractionMonitorEvent = 8;

 private:
  CMessage InteractionAnswer(const CMessage& request) {
    std::uint32_t variant = 0;
    {
      std::lock_guard lock(mutex_);
      variant = variant_;
    }
    const CQmAttributeMap values = TenValues(variant);
    std::int32_t count = 0;
    request >> count;
    CMessage answer;
    for (std::int32_t i = 0; i < count; ++i) {
      std::uint32_t id = 0;
      request >> id;
      WriteInteractionRecord(answer, id, values);
    }
    return answer;
  }

  const std::shared_ptr<W4Notifier::CInProcessBus> bus_;
  std::mutex mutex_;
  std::map<std::uint32_t, std::shared_ptr<const CMessage>> answers_;
  std::shared_ptr<const CMessage> reload_;
  std::uint32_t variant_ = 0;
};

std::shared_ptr<const CMessage> LoadAnswer(std::uint32_t queue, std::uint32_t first,
                                           std::uint32_t count) {
  auto answer = std::make_shared<CMessage>();
  WriteTime(*answer);
  WriteSection(*answer, queue, first, count, 0, true);
  return answer;
}

// ---- monitors ----

// Counts its callbacks; a thread waits until they reach a target.
class Counter {
 public:
  void Bump() {
    if (count_.fetch_add(1, std::memory_order_acq_rel) + 1 == target_.load()) {
      std::lock_guard lock(mutex_);
      reached_.notify_all();
    }
  }
  // Sets the target `more` callbacks ahead of those counted so far... or of
  // the last target, whichever is later.
  void Expect(std::uint64_t more) { target_.store(std::max(target_.load(), count_.load()) + more); }
  bool Await() {
    std::unique_lock lock(mutex_);
    return reached_.wait_for(lock, kPatience, [&] { return count_.load() >= target_.load(); });
  }

 private:
  std::atomic<std::uint64_t> count_{0};
  std::atomic<std::uint64_t> target_{0};
  std::mutex mutex_;
  std::condition_variable reached_;
};

class CountingQueueMonitor : public QueueManager::CQmQueueMonitor {
 public:
  ~CountingQueueMonitor() override { Deactivate(); }
  Counter counter;

 protected:
  void AttributesUpdated(const CEntityId&, InteractionId, const CQmAttributeMap&) override {
    counter.Bump();
  }
  void InteractionAdded(const CEntityId&, InteractionId, const CQmAttributeMap&) override {
    counter.Bump();
  }
};

class CountingInteractionMonitor : public QueueManager::CQmInteractionMonitor {
 public:
  ~CountingInteractionMonitor() override { StopMonitoring(); }
  Counter counter;

 protected:
  void AttributesUpdated(const CEntityId&, const CQmAttributeMap&) override { counter.Bump(); }
};

// ---- transports ----

enum class Transport { kInProcess, kNats };

#ifdef QM_BENCH_NATS
// One nats-server for the whole run; null when it cannot run.
const std::string* NatsUrl(std::string& error) {
  static W4Notifier::testing::NatsServerProcess process;
  static std::string startError;
  static const bool started = process.Start(startError);
  error = startError;
  return started ? &process.Url() : nullptr;
}
#endif

// A prepared server on a bus, and the process's default connection to it:
// the bus's own, or a NATS one through a bridge.
class Rig {
 public:
  explicit Rig(Transport transport)
      : bus_(W4Notifier::CInProcessBus::Create()), server_(bus_), local_(bus_->Connect()) {
    if (transport == Transport::kInProcess) {
      connection_ = local_;
    } else {
#ifdef QM_BENCH_NATS
      const std::string* url = NatsUrl(error_);
      if (url == nullptr) return;
      W4Notifier::CNatsOptions options;
      options.urls = {*url};
      options.root = "qm";
      bridge_.emplace(options, "load", bus_);
      connection_ = W4Notifier::ConnectNats(options);
#else
      error_ = "built without NATS";
      return;
#endif
    }
    W4Notifier::SetDefaultConnection(connection_);
  }
  ~Rig() { W4Notifier::SetDefaultConnection(nullptr); }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Why the rig does not run; empty when it does.
  const std::string& Error() const { return error_; }
  PreparedServer& Server() { return server_; }
  W4Notifier::CInProcessConnection& Local() { return *local_; }

 private:
  std::shared_ptr<W4Notifier::CInProcessBus> bus_;
  PreparedServer server_;
  std::shared_ptr<W4Notifier::CInProcessConnection> local_;
#ifdef QM_BENCH_NATS
  std::optional<W4Notifier::CNatsBusBridge> bridge_;
#endif
  std::shared_ptr<W4Notifier::CNotifierConnection> connection_;
  std::string error_;
};

// ---- big activation ----

constexpr std::uint32_t kBigQueue = 900;
constexpr std::uint32_t kFenceQueue = 901;
constexpr std::uint32_t kFenceInteraction = 1'000;

// An asynchronous load of a one-interaction queue, answered on the delivery
// thread after whatever came before it: once its callback ran, the answer
// before it was applied and let go.
void Fence() {
  CountingQueueMonitor fence;
  fence.counter.Expect(1);
  fence.Activate(Queue(kFenceQueue), {TenNames()[0]}, false);
  fence.counter.Await();
}

void Activation(benchmark::State& state, Transport transport, bool synchronous) {
  const auto size = static_cast<std::uint32_t>(state.range(0));
  Rig rig(transport);
  if (!rig.Error().empty()) {
    state.SkipWithError(rig.Error().c_str());
    return;
  }
  const std::shared_ptr<const CMessage> answer = LoadAnswer(kBigQueue, kFirstInteraction, size);
  rig.Server().Serve(kBigQueue, answer);
  rig.Server().Serve(kFenceQueue, LoadAnswer(kFenceQueue, kFenceInteraction, 1));
  double loadSeconds = 0;
  double decodeSeconds = 0;
  double peakRatio = 0;
  double steadyBytes = 0;
  std::int64_t allocations = 0;
  bool lost = false;
  for (auto _ : state) {
    {
      CMessage copy = *answer;
      const Clock::time_point start = Clock::now();
      benchmark::DoNotOptimize(DecodeAnswer(copy));
      decodeSeconds += Seconds(Clock::now() - start);
    }
    CountingQueueMonitor monitor;
    monitor.counter.Expect(size);
    const std::int64_t before = LiveBytes();
    ResetPeak();
    const std::int64_t allocationsBefore = Allocations();
    const Clock::time_point start = Clock::now();
    monitor.Activate(Queue(kBigQueue), TenNames(), synchronous);
    lost |= !monitor.counter.Await();
    const double elapsed = Seconds(Clock::now() - start);
    allocations = Allocations() - allocationsBefore;
    state.SetIterationTime(elapsed);
    loadSeconds += elapsed;
    const std::int64_t peak = PeakBytes() - before;
    Fence();
    const std::int64_t steady = LiveBytes() - before;
    peakRatio = std::max(peakRatio, static_cast<double>(peak) / static_cast<double>(steady));
    steadyBytes = static_cast<double>(steady);
  }
  if (lost) state.SkipWithError("callbacks lost");
  state.counters["time_ratio"] = loadSeconds / decodeSeconds;
  state.counters["decode_ms"] = 1e3 * decodeSeconds / static_cast<double>(state.iterations());
  state.counters["peak_ratio"] = peakRatio;
  state.counters["steady_bytes_per_interaction"] = steadyBytes / size;
  state.counters["answer_bytes_per_interaction"] =
      static_cast<double>(answer->BodySize()) / static_cast<double>(size);
  state.counters["allocations_per_interaction"] =
      static_cast<double>(allocations) / static_cast<double>(size);
}

void BM_ActivateInProcessSync(benchmark::State& state) {
  Activation(state, Transport::kInProcess, true);
}
void BM_ActivateInProcessAsync(benchmark::State& state) {
  Activation(state, Transport::kInProcess, false);
}
#ifdef QM_BENCH_NATS
void BM_ActivateNatsSync(benchmark::State& state) { Activation(state, Transport::kNats, true); }
void BM_ActivateNatsAsync(benchmark::State& state) { Activation(state, Transport::kNats, false); }
#endif

// ---- queries during a load ----

// The time the calling thread has waited for a processor, in nanoseconds
// (the kernel's scheduler statistics; 0 where they are missing).
std::int64_t RunQueueDelay() {
  std::FILE* file = std::fopen("/proc/thread-self/schedstat", "r");
  if (file == nullptr) return 0;
  long long onCpu = 0;
  long long waited = 0;
  const int read = std::fscanf(file, "%lld %lld", &onCpu, &waited);
  std::fclose(file);
  return read == 2 ? waited : 0;
}

// The longest QueryAttribute call of a thread that queries until stopped,
// less the time the thread waited for a processor meanwhile: on a busy
// machine that wait, not the cache lock, would otherwise make the figure.
class Querier {
 public:
  Querier() : thread_([this] { Run(); }) {}
  ~Querier() { Stop(); }
  Querier(const Querier&) = delete;
  Querier& operator=(const Querier&) = delete;
  Clock::duration Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return longest_;
  }

 private:
  void Run() {
    QueueManager::CQmAttributeValue value;
    while (!stop_) {
      const std::int64_t delay = RunQueueDelay();
      const Clock::time_point start = Clock::now();
      benchmark::DoNotOptimize(QueueManager::CQmCache::Instance().QueryAttribute(
          kFenceInteraction, TenNames()[0], value));
      const Clock::duration took = Clock::now() - start;
      longest_ = std::max(longest_, took - std::chrono::nanoseconds(RunQueueDelay() - delay));
    }
  }
  std::atomic<bool> stop_{false};
  Clock::duration longest_{};
  std::thread thread_;
};

void BM_QueryDuringLoad(benchmark::State& state) {
  const auto size = static_cast<std::uint32_t>(state.range(0));
  Rig rig(Transport::kInProcess);
  rig.Server().Serve(kBigQueue, LoadAnswer(kBigQueue, kFirstInteraction, size));
  rig.Server().Serve(kFenceQueue, LoadAnswer(kFenceQueue, kFenceInteraction, 1));
  CountingQueueMonitor held;  // keeps the queried interaction cached
  held.Activate(Queue(kFenceQueue), {TenNames()[0]}, true);
  Clock::duration longestLoading{};
  Clock::duration longestIdle{};
  for (auto _ : state) {
    CountingQueueMonitor monitor;
    monitor.counter.Expect(size);
    Clock::duration loadTime{};
    {
      Querier querier;
      const Clock::time_point start = Clock::now();
      monitor.Activate(Queue(kBigQueue), TenNames(), false);
      monitor.counter.Await();
      loadTime = Clock::now() - start;
      longestLoading = std::max(longestLoading, querier.Stop());
    }
    state.SetIterationTime(Seconds(loadTime));
    // As long again with nothing loading.
    Querier idle;
    const Clock::time_point until = Clock::now() + loadTime;
    while (Clock::now() < until) std::this_thread::yield();
    longestIdle = std::max(longestIdle, idle.Stop());
  }
  state.counters["longest_query_us"] = 1e6 * Seconds(longestLoading);
  state.counters["longest_idle_query_us"] = 1e6 * Seconds(longestIdle);
}

// ---- reload after a renegotiation ----

constexpr std::uint32_t kReloadQueues = 10;
constexpr std::uint32_t kFirstReloadQueue = 910;
constexpr std::uint32_t kInteractionMonitors = 1000;

// The reload's answer with every value of `variant`: the queues' sections,
// then the records of the interactions the interaction monitors watch.
std::shared_ptr<const CMessage> ReloadAnswer(std::uint32_t perQueue, std::uint32_t variant,
                                             const std::vector<std::uint32_t>& watched) {
  auto answer = std::make_shared<CMessage>();
  WriteTime(*answer);
  for (std::uint32_t q = 0; q < kReloadQueues; ++q) {
    WriteSection(*answer, kFirstReloadQueue + q, kFirstInteraction + q * perQueue, perQueue,
                 variant, false);
  }
  const CQmAttributeMap values = TenValues(variant);
  for (const std::uint32_t id : watched) {
    *answer << static_cast<std::int32_t>(W4Notifier::eInteractionRequest)
            << static_cast<std::int32_t>(id);
    WriteInteractionRecord(*answer, id, values);
  }
  return answer;
}

void BM_ReloadAfterRenegotiation(benchmark::State& state) {
  const auto perQueue = static_cast<std::uint32_t>(state.range(0));
  Rig rig(Transport::kInProcess);
  const std::int64_t empty = LiveBytes();
  std::vector<std::unique_ptr<CountingQueueMonitor>> queues;
  for (std::uint32_t q = 0; q < kReloadQueues; ++q) {
    const std::uint32_t id = kFirstReloadQueue + q;
    rig.Server().Serve(id, LoadAnswer(id, kFirstInteraction + q * perQueue, perQueue));
    queues.push_back(std::make_unique<CountingQueueMonitor>());
    queues.back()->Activate(Queue(id), TenNames(), true);
  }
  std::vector<std::uint32_t> watched;
  std::vector<std::unique_ptr<CountingInteractionMonitor>> interactions;
  const std::vector<CQmAttributeName> two(TenNames().begin(), TenNames().begin() + 2);
  for (std::uint32_t i = 0; i < kInteractionMonitors; ++i) {
    watched.push_back(kFirstInteraction + i * (kReloadQueues * perQueue / kInteractionMonitors));
    interactions.push_back(std::make_unique<CountingInteractionMonitor>());
    interactions.back()->Activate(watched.back(), two, true);
  }
  const std::shared_ptr<const CMessage> answers[2] = {ReloadAnswer(perQueue, 1, watched),
                                                      ReloadAnswer(perQueue, 2, watched)};
  double reloadSeconds = 0;
  double decodeSeconds = 0;
  double peakRatio = 0;
  bool lost = false;
  std::uint32_t round = 0;
  for (auto _ : state) {
    ++round;
    const std::shared_ptr<const CMessage>& answer = answers[round % 2];
    {
      CMessage copy = *answer;
      const Clock::time_point start = Clock::now();
      benchmark::DoNotOptimize(DecodeAnswer(copy));
      decodeSeconds += Seconds(Clock::now() - start);
    }
    rig.Server().ServeReload(answer, 1 + round % 2);
    for (auto& monitor : queues) monitor->counter.Expect(perQueue);
    for (auto& monitor : interactions) monitor->counter.Expect(1);
    const std::int64_t steady = LiveBytes() - empty;
    ResetPeak();
    const Clock::time_point start = Clock::now();
    rig.Local().Renegotiate();
    for (auto& monitor : queues) lost |= !monitor->counter.Await();
    for (auto& monitor : interactions) lost |= !monitor->counter.Await();
    const double elapsed = Seconds(Clock::now() - start);
    state.SetIterationTime(elapsed);
    reloadSeconds += elapsed;
    peakRatio =
        std::max(peakRatio, static_cast<double>(PeakBytes() - empty) / static_cast<double>(steady));
  }
  if (lost) state.SkipWithError("callbacks lost");
  state.counters["time_ratio"] = reloadSeconds / decodeSeconds;
  state.counters["decode_ms"] = 1e3 * decodeSeconds / static_cast<double>(state.iterations());
  state.counters["peak_ratio"] = peakRatio;
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Arg(10000)->Arg(100000)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_ActivateInProcessSync)->Apply(Sizes);
BENCHMARK(BM_ActivateInProcessAsync)->Apply(Sizes);
#ifdef QM_BENCH_NATS
BENCHMARK(BM_ActivateNatsSync)->Apply(Sizes);
BENCHMARK(BM_ActivateNatsAsync)->Apply(Sizes);
#endif
BENCHMARK(BM_QueryDuringLoad)->Apply(Sizes);
// Interactions per queue.
BENCHMARK(BM_ReloadAfterRenegotiation)
    ->Arg(1000)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
