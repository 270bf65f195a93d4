// End to end: the server emulator publishes five-attribute updates of 10k
// interactions on one queue, and a queue monitor receives them through the
// library's cache, on the bus's delivery thread. Against it, in the same
// binary, the cache applying the very same notification messages directly
// (recorded off the bus), as the delivery thread would hand them over. The
// ratio of the two rates is what the transport, the emulator's publish path
// and the thread hand-off cost.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <benchmark/benchmark.h>

#include "BusRecorder.h"
#include "FiveAttributes.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/QueueMonitor.h"
#include "monitor/QmCache.h"

namespace {

using QueueManager::CQmAttributeMap;
using QueueManager::InteractionId;
using QueueManager::Emulator::CEmulator;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr std::uint32_t kInteractions = 10'000;
// Updates published per benchmark iteration before waiting for them.
constexpr std::uint32_t kBatch = 1'000;
// Recorded for the cache-only rate: this many passes over the 10k
// interactions, each changing every value. The cache drops a notification
// numbered at or below one it applied, so each is applied once, in order:
// the benchmark runs exactly that many iterations.
constexpr std::uint32_t kRecordedPasses = 4;
constexpr std::uint32_t kRecordedMessages = kRecordedPasses * kInteractions;
constexpr auto kCall = static_cast<W4Notifier::ObjectTypes>(6);

// Counts the updates it is told of; a waiter blocks until a count is reached.
class CountingMonitor : public QueueManager::CQmQueueMonitor {
 public:
  ~CountingMonitor() override { Deactivate(); }
  void AwaitUpdates(std::uint64_t count) {
    std::unique_lock lock(mutex_);
    reached_.wait(lock, [&] { return updates_ >= count; });
  }
  std::uint64_t Updates() {
    std::lock_guard lock(mutex_);
    return updates_;
  }

 protected:
  void AttributesUpdated(const CEntityId&, InteractionId, const CQmAttributeMap&) override {
    std::lock_guard lock(mutex_);
    ++updates_;
    reached_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable reached_;
  std::uint64_t updates_ = 0;
};

// An emulator on a bus of its own with 10k interactions on one queue. Two of
// them seeded alike hold the same ids and publish the same notifications.
class SeededQueue {
 public:
  explicit SeededQueue(std::uint32_t queueId) : queue_(W4Notifier::eWorkgroupQueue, queueId) {
    for (std::uint32_t v = 0; v < kVariants; ++v) variants_.push_back(bench::FiveAttributes(v));
    for (std::uint32_t i = 0; i < kInteractions; ++i) {
      ids_.push_back(emulator_.AddInteraction(kCall, bench::FiveAttributes(0), {queue_}));
    }
  }
  // Updates interaction `n` (of the 10k) to the values of `variant`.
  void Update(std::uint32_t n, std::uint32_t variant) {
    emulator_.SetAttributes(ids_[n], variants_[variant % kVariants]);
  }
  W4Notifier::CInProcessBus& Bus() { return *bus_; }
  const CEntityId& Queue() const { return queue_; }

 private:
  CEntityId queue_;
  std::shared_ptr<W4Notifier::CInProcessBus> bus_ = W4Notifier::CInProcessBus::Create();
  CEmulator emulator_{bus_};
  std::vector<std::uint32_t> ids_;
  // The values repeat after 26 variants: their maps are made once, so that
  // the updates measured are the emulator's and the transport's work alone,
  // as the cache-only rate is the cache's.
  static constexpr std::uint32_t kVariants = 26;
  std::vector<QueueManager::CQmAttributeMap> variants_;
};

// A monitor of the five names loaded with the interactions of a seeded queue
// over a default connection of its bus. Its activation makes the emulator
// report those names, also once it is gone.
class MonitoredQueue {
 public:
  explicit MonitoredQueue(SeededQueue& seeded) : seeded_(seeded) {
    QueueManager::CQmCache::Instance().ResetForTesting();
    W4Notifier::SetDefaultConnection(seeded_.Bus().Connect());
    monitor_.Activate(seeded_.Queue(), bench::FiveNames(), true);
    seeded_.Bus().WaitIdle();
  }
  ~MonitoredQueue() {
    monitor_.Deactivate();
    seeded_.Bus().WaitIdle();
    W4Notifier::SetDefaultConnection(nullptr);
    QueueManager::CQmCache::Instance().ResetForTesting();
  }
  CountingMonitor& Monitor() { return monitor_; }

 private:
  SeededQueue& seeded_;
  CountingMonitor monitor_;
};

// The notifications of kRecordedPasses passes of updates over a queue seeded
// like any other, published where no cache sees them: numbered after what a
// monitor of another queue seeded alike loads.
std::vector<CMessage> RecordUpdates(std::uint32_t queueId) {
  SeededQueue seeded(queueId);
  { MonitoredQueue named(seeded); }
  bench::BusRecorder recorder(seeded.Queue());
  seeded.Bus().AddObserver(&recorder);
  for (std::uint32_t variant = 1; variant <= kRecordedPasses; ++variant) {
    for (std::uint32_t n = 0; n < kInteractions; ++n) seeded.Update(n, variant);
  }
  seeded.Bus().WaitIdle();
  seeded.Bus().RemoveObserver(&recorder);
  return recorder.Take();
}

void BM_EndToEndFiveAttributeUpdates(benchmark::State& state) {
  SeededQueue seeded(1);
  MonitoredQueue monitored(seeded);
  CountingMonitor& monitor = monitored.Monitor();
  std::uint64_t expected = monitor.Updates();
  std::uint32_t next = 0;
  std::uint32_t variant = 1;
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < kBatch; ++i) {
      seeded.Update(next, variant);
      if (++next == kInteractions) {
        next = 0;
        ++variant;  // every value changes on each pass
      }
    }
    expected += kBatch;
    monitor.AwaitUpdates(expected);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBatch);
}

// The cache applying the same notifications on the benchmark thread.
void BM_CacheOnlyFiveAttributeUpdates(benchmark::State& state) {
  std::vector<CMessage> messages = RecordUpdates(2);
  if (messages.size() != kRecordedMessages) {
    state.SkipWithError("the emulator published another number of notifications");
    return;
  }
  SeededQueue seeded(2);
  MonitoredQueue monitored(seeded);
  QueueManager::CQmCache& cache = QueueManager::CQmCache::Instance();
  const std::uint64_t before = monitored.Monitor().Updates();
  std::size_t next = 0;
  for (auto _ : state) {
    CMessage& message = messages[next++];
    message.Rewind();
    cache.OnMessageReceived(message);
  }
  if (monitored.Monitor().Updates() - before != static_cast<std::uint64_t>(state.iterations())) {
    state.SkipWithError("an update did not reach the monitor");
  }
  state.SetItemsProcessed(state.iterations());
}

// The rates are given per second of CPU time of the whole process (every
// thread: the emulator's, the bus's and the delivery thread), which a
// machine shared with other work does not distort, and per second of wall
// time, which it does.
BENCHMARK(BM_EndToEndFiveAttributeUpdates)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheOnlyFiveAttributeUpdates)->MeasureProcessCPUTime()->Iterations(kRecordedMessages);
BENCHMARK(BM_EndToEndFiveAttributeUpdates)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheOnlyFiveAttributeUpdates)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(kRecordedMessages);

}  // namespace
