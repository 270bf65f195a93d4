// Benchmarks of the caching object type monitor: writes and queries through
// one monitor on 1 and 2 threads (lock striping), single queries, and the
// rate at which notifications of 5-attribute events are applied, with and
// without their decoding, also for objects picked at random among 1k, 10k
// and 100k cached ones, with the memory per cached object (also as a ratio
// to the monitor cache's bytes for the same objects). The connection drops
// every request: a write builds its request and hands it to the notifier, so
// the figures are the monitor's own cost and not a transport's. Events are
// fed as the notifier's delivery thread would feed them.

#include <malloc.h>

#include <cstdint>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "CacheBytes.h"
#include "FiveAttributes.h"

#include "platform/notifier/NullConnection.h"

#include "QueueManager/CachingObjectTypeMonitor.h"
#include "QueueManager/Platform/Notifier.h"
#include "lightweight/CachingObjectTypeMonitorImpl.h"
#include "lightweight/MonitorEventBody.h"

namespace {

using QueueManager::CQmAttributeMap;
using QueueManager::CQmAttributeName;
using QueueManager::CQmAttributeValue;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr W4Notifier::ObjectTypes kType = W4Notifier::eGenericObject;
// Interactions per thread, and messages prepared per run (cycled through).
constexpr std::uint32_t kInteractions = 1024;

using bench::FiveAttributes;
using bench::FiveNames;

// An application that uses the notifier has its delivery threads: the
// process is never single-threaded, and the C library's locks take their
// multi-threaded path in every run (alone in the process, one thread's locks
// would cost half as much and flatter the one-thread figures).
const bool kMultiThreaded = [] {
  std::thread([] {
    std::promise<void> never;
    never.get_future().wait();
  }).detach();
  return true;
}();

class NullCallback : public QueueManager::IQmObjectTypeMonitorInterface {
 public:
  void ObjectAdded(const CEntityId&, const CQmAttributeMap&) override {}
  void ObjectRemoved(const CEntityId&) override {}
  void ObjectUpdated(const CEntityId&, const CQmAttributeMap&) override {}
};

// One monitor shared by the threads of a run, on a connection that drops
// everything: it is silent and its writes go nowhere.
QueueManager::CQmCachingObjectTypeMonitor& SharedMonitor() {
  static QueueManager::CQmCachingObjectTypeMonitor* const monitor = [] {
    W4Notifier::SetDefaultConnection(std::make_shared<W4Notifier::NullConnection>());
    auto* created = new QueueManager::CQmCachingObjectTypeMonitor;
    created->activate(kType, w4core::MakeInterface<NullCallback>(), FiveNames(), false);
    return created;
  }();
  return *monitor;
}

// The i-th interaction of a thread. With `ownBuckets` a thread's
// interactions lie in cache buckets of its own (as when an application
// spreads its interactions over threads by id); without, the threads' ranges
// of ids lie side by side and share every bucket.
std::uint32_t InteractionOf(const benchmark::State& state, std::uint32_t i, bool ownBuckets) {
  const auto thread = static_cast<std::uint32_t>(state.thread_index());
  if (!ownBuckets) return thread * kInteractions + i % kInteractions;
  constexpr std::uint32_t kBuckets = QueueManager::CQmCachingObjectTypeMonitor::kRequestedBuckets;
  const std::uint32_t share = kBuckets / static_cast<std::uint32_t>(state.threads());
  // About kInteractions per thread, whatever the share.
  return thread * share + i % share + kBuckets * (i / share % (kInteractions / share));
}

// Each iteration: one write and one query of an interaction of this thread.
// Argument: 1 when the threads have buckets of their own.
void BM_WriteAndQuery(benchmark::State& state) {
  QueueManager::CQmCachingObjectTypeMonitor& monitor = SharedMonitor();
  const bool ownBuckets = state.range(0) != 0;
  const CQmAttributeValue written(u"written value");
  CQmAttributeValue read;
  std::uint32_t i = 0;
  for (auto _ : state) {
    const std::uint32_t id = InteractionOf(state, i++, ownBuckets);
    monitor.set_attribute(id, QueueManager::Xan_State, written);
    benchmark::DoNotOptimize(monitor.query_attribute(id, QueueManager::Xan_State, read));
  }
  state.SetItemsProcessed(2 * static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_WriteAndQuery)->Arg(1)->Arg(0)->Threads(1)->Threads(2)->UseRealTime();

// Queries alone, of interactions of this thread. Argument as above.
void BM_QueryOnThreads(benchmark::State& state) {
  QueueManager::CQmCachingObjectTypeMonitor& monitor = SharedMonitor();
  const bool ownBuckets = state.range(0) != 0;
  for (std::uint32_t i = 0; i < kInteractions; ++i) {
    monitor.set_attribute(InteractionOf(state, i, ownBuckets), QueueManager::Xan_State,
                          CQmAttributeValue(u"written value"));
  }
  CQmAttributeValue read;
  std::uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(monitor.query_attribute(InteractionOf(state, i++, ownBuckets),
                                                     QueueManager::Xan_State, read));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_QueryOnThreads)->Arg(1)->Arg(0)->Threads(1)->Threads(2)->UseRealTime();

// One query of a cached attribute of an interaction with five.
void BM_Query(benchmark::State& state) {
  QueueManager::CQmCachingObjectTypeMonitor& monitor = SharedMonitor();
  constexpr std::uint32_t kId = 7 * kInteractions;
  monitor.set_attributes(kId, FiveAttributes(0));
  CQmAttributeValue read;
  for (auto _ : state) {
    benchmark::DoNotOptimize(monitor.query_attribute(kId, QueueManager::Xan_Workgroup, read));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Query);

// A caching monitor in its reporting state, with the application's side
// doing nothing.
struct ReportingMonitor {
  ReportingMonitor() {
    impl->Activate(QueueManager::lightweight::ActivationGate::OpenOwn(), kType,
                   w4core::MakeInterface<NullCallback>(), FiveNames(), false,
                   QueueManager::CQmCachingObjectTypeMonitor::kRequestedBuckets);
    CMessage answer;
    answer << std::uint32_t{0} << std::uint32_t{0} << std::int32_t{125} << std::int32_t{1}
           << std::int32_t{0} << false;
    impl->Light()->OnAsyncResponseSuccess(1, answer);
  }
  ~ReportingMonitor() { impl->Deactivate(); }
  const w4core::InterfacePtr<QueueManager::CQmCachingObjectTypeMonitorImpl> impl =
      w4core::MakeInterface<QueueManager::CQmCachingObjectTypeMonitorImpl>();
};

// Applying decoded 5-attribute update events, as the light part hands them
// to the cache: filter, store, pass on.
void BM_ApplyEvents(benchmark::State& state) {
  ReportingMonitor monitor;
  std::vector<CQmAttributeMap> maps;
  for (std::uint32_t v = 0; v < 8; ++v) maps.push_back(FiveAttributes(v));
  std::uint32_t i = 0;
  for (auto _ : state) {
    const std::uint32_t id = i++ % kInteractions;
    monitor.impl->Light()->ObjectUpdated(CEntityId(kType, id), maps[id % maps.size()], 0);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ApplyEvents);

CMessage EventNotification(std::uint32_t id, std::uint32_t variant, bool added = false) {
  QueueManager::CQmMonitorEvent event(CEntityId(kType, id));
  event.added = added;
  event.attributes = FiveAttributes(variant);
  CMessage message;
  message << std::uint32_t{0} << std::uint32_t{0};
  QueueManager::lightweight::WriteMonitorEventBody(message, {{event}, 0});
  return message;
}

// A reporting monitor holding `count` objects of five attributes; the heap
// bytes that adding them took.
struct FilledMonitor {
  explicit FilledMonitor(std::uint32_t count) {
    std::vector<CMessage> adds;
    for (std::uint32_t id = 0; id < count; ++id) adds.push_back(EventNotification(id, id, true));
    const std::size_t before = mallinfo2().uordblks;
    for (CMessage& message : adds) monitor.impl->Light()->OnMessageReceived(message);
    bytes = mallinfo2().uordblks - before;
  }
  ReportingMonitor monitor;
  std::size_t bytes = 0;
};

// Update notifications of objects picked at random among `state.range(0)`.
void BM_DecodeAndApplyAtSize(benchmark::State& state) {
  const auto count = static_cast<std::uint32_t>(state.range(0));
  FilledMonitor filled(count);
  std::mt19937 random(9);
  std::vector<CMessage> messages;
  for (std::uint32_t i = 0; i < 8192; ++i) {
    messages.push_back(EventNotification(random() % count, i / 7 % 2 + 1));
  }
  std::size_t i = 0;
  for (auto _ : state) {
    CMessage& message = messages[i++ % messages.size()];
    message.Rewind();
    filled.monitor.impl->Light()->OnMessageReceived(message);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DecodeAndApplyAtSize)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_MemoryPerCachedObject(benchmark::State& state) {
  const auto count = static_cast<std::uint32_t>(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) bytes = FilledMonitor(count).bytes;
  state.counters["bytes_per_object"] = static_cast<double>(bytes) / static_cast<double>(count);
  state.counters["vs_cache"] =
      static_cast<double>(bytes) / static_cast<double>(bench::CacheBytes(count, 0));
}
BENCHMARK(BM_MemoryPerCachedObject)->Arg(1000)->Arg(10000)->Arg(100000)->Iterations(1);

// The whole notification: decoding the message, then applying its event.
void BM_DecodeAndApplyNotifications(benchmark::State& state) {
  ReportingMonitor monitor;
  std::vector<CMessage> messages;
  for (std::uint32_t id = 0; id < kInteractions; ++id)
    messages.push_back(EventNotification(id, id));
  std::size_t i = 0;
  for (auto _ : state) {
    CMessage& message = messages[i++ % messages.size()];
    message.Rewind();
    monitor.impl->Light()->OnMessageReceived(message);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DecodeAndApplyNotifications);

}  // namespace
