// Benchmarks of the monitor cache: live notifications applied through the
// cache and delivered to 1 and 10 monitors, against merely decoding the same
// messages; cached attribute queries; memory per cached interaction; all at
// 1k, 10k and 100k cached interactions. The cache is driven directly, on the
// benchmark thread, as the notifier's delivery thread would drive it.

#include <malloc.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/QueueMonitor.h"
#include "monitor/ClockSkew.h"
#include "monitor/MessageReaders.h"
#include "monitor/QmCache.h"

namespace {

using QueueManager::CQmAttributeMap;
using QueueManager::CQmAttributeName;
using QueueManager::CQmCache;
using QueueManager::CQmQueueMonitor;
using QueueManager::InteractionId;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr std::uint32_t kFirstInteraction = 1'000'000;
// Messages prepared per run; cycled through.
constexpr std::size_t kMessageCount = 8192;

const std::vector<CQmAttributeName>& TenNames() {
  static const std::vector<CQmAttributeName> names = {
      QueueManager::Xan_State,           QueueManager::Xan_UserName,
      QueueManager::Xan_AccountCode,     QueueManager::Xan_AssignedWorkgroup,
      QueueManager::Xan_CallStateString, QueueManager::Xan_AlertingAction,
      QueueManager::Xan_Language,        QueueManager::Xan_LocalAddress,
      QueueManager::Xan_LocalName,       QueueManager::Xan_Note};
  return names;
}

// A value of 10 to 40 code units, one of two variants.
std::u16string Value(std::size_t attribute, int variant) {
  const std::size_t length = 10 + (attribute * 7) % 31;
  std::u16string value;
  for (std::size_t i = 0; i < length; ++i) {
    value.push_back(
        static_cast<char16_t>(u'a' + (attribute + i + static_cast<std::size_t>(variant)) % 26));
  }
  return value;
}

CQmAttributeMap Attributes(std::size_t count, int variant) {
  CQmAttributeMap map;
  for (std::size_t i = 0; i < count; ++i) map.insert(TenNames()[i], Value(i, variant));
  return map;
}

void WriteHeader(CMessage& message) {
  const std::uint64_t count =
      static_cast<std::uint64_t>(QueueManager::LocalUtcSeconds()) * 10'000'000u;
  message << static_cast<std::uint32_t>(count >> 32) << static_cast<std::uint32_t>(count);
}

void WriteEvent(CMessage& message, std::uint32_t id, bool added, bool removed,
                const CQmAttributeMap& attributes) {
  message << static_cast<std::int32_t>(W4Notifier::eGenericObject) << static_cast<std::int32_t>(id)
          << added << removed;
  attributes.Write(message);
}

// A live notification of `queue` with one event.
CMessage Notification(const CEntityId& queue, std::uint32_t id, bool added, bool removed,
                      const CQmAttributeMap& attributes) {
  CMessage message(queue, 0);
  WriteHeader(message);
  message << true << false << std::uint32_t{1};
  WriteEvent(message, id, added, removed, attributes);
  return message;
}

class CountingMonitor : public CQmQueueMonitor {
 public:
  ~CountingMonitor() override { Deactivate(); }
  std::uint64_t calls = 0;

 protected:
  void AttributesUpdated(const CEntityId&, InteractionId, const CQmAttributeMap&) override {
    ++calls;
  }
  void InteractionAdded(const CEntityId&, InteractionId, const CQmAttributeMap&) override {
    ++calls;
  }
  void InteractionRemoved(const CEntityId&, InteractionId) override { ++calls; }
};

// A cached queue with `interactions` interactions of ten attributes each and
// `monitors` live monitors of the ten names. Built without a connection: the
// monitors' own loads fail, and the initial response is handed to the cache
// as the notifier would hand it over.
class LoadedQueue {
 public:
  LoadedQueue(std::uint32_t queueId, std::uint32_t interactions, int monitors)
      : queue_(W4Notifier::eUserQueue, queueId) {
    for (int i = 0; i < monitors; ++i) {
      monitors_.push_back(std::make_unique<CountingMonitor>());
      monitors_.back()->Activate(queue_, TenNames(), true);
    }
    response_ = InitialResponse(interactions);
    const std::size_t before = mallinfo2().uordblks;
    CQmCache::Instance().OnAsyncResponseSuccess(0, response_);
    bytesAllocated_ = mallinfo2().uordblks - before;
  }
  // The same answer once more, as a reload or another monitor's load brings
  // it: every interaction is cached with these values already.
  void LoadAgain() {
    response_.Rewind();
    CQmCache::Instance().OnAsyncResponseSuccess(0, response_);
  }
  const CEntityId& Queue() const { return queue_; }
  std::size_t BytesAllocated() const { return bytesAllocated_; }

 private:
  CMessage InitialResponse(std::uint32_t interactions) const {
    CMessage response;
    WriteHeader(response);
    response << static_cast<std::int32_t>(queue_.QueryObjectType())
             << static_cast<std::int32_t>(queue_.QueryObjectId())
             << static_cast<std::int32_t>(TenNames().size());
    for (const CQmAttributeName& name : TenNames()) name.Write(response);
    response << true << false << interactions;
    const CQmAttributeMap attributes = Attributes(TenNames().size(), 0);
    for (std::uint32_t i = 0; i < interactions; ++i) {
      WriteEvent(response, kFirstInteraction + i, true, false, attributes);
    }
    return response;
  }

  CEntityId queue_;
  std::vector<std::unique_ptr<CountingMonitor>> monitors_;
  CMessage response_;
  std::size_t bytesAllocated_ = 0;
};

// Updates of five attributes of interactions picked at random from the whole
// queue (or, `inOrder`, one after the other, which the memory prefetcher
// follows); each pass over the messages changes every value.
std::vector<CMessage> UpdateMessages(const CEntityId& queue, std::uint32_t interactions,
                                     bool inOrder = false) {
  std::mt19937 random(7);
  const CQmAttributeMap variants[2] = {Attributes(5, 1), Attributes(5, 2)};
  std::vector<CMessage> messages;
  for (std::size_t i = 0; i < kMessageCount; ++i) {
    const std::uint32_t offset =
        inOrder ? static_cast<std::uint32_t>(i) % interactions : random() % interactions;
    messages.push_back(
        Notification(queue, kFirstInteraction + offset, false, false, variants[(i / 7) % 2]));
  }
  return messages;
}

// Pairs of "added with five attributes" and "removed" for interactions that
// are not on the queue yet.
std::vector<CMessage> AddRemoveMessages(const CEntityId& queue, std::uint32_t interactions) {
  const CQmAttributeMap attributes = Attributes(5, 1);
  std::vector<CMessage> messages;
  for (std::size_t i = 0; i < kMessageCount / 2; ++i) {
    const std::uint32_t id = kFirstInteraction + interactions + static_cast<std::uint32_t>(i);
    messages.push_back(Notification(queue, id, true, false, attributes));
    messages.push_back(Notification(queue, id, false, true, {}));
  }
  return messages;
}

std::uint32_t g_nextQueue = 70000;

enum class Workload { kUpdateRandom, kUpdateInOrder, kAddRemove };

void ApplyThroughTheCache(benchmark::State& state, Workload workload) {
  const auto interactions = static_cast<std::uint32_t>(state.range(0));
  const int monitors = static_cast<int>(state.range(1));
  LoadedQueue loaded(g_nextQueue++, interactions, monitors);
  std::vector<CMessage> messages =
      workload == Workload::kAddRemove
          ? AddRemoveMessages(loaded.Queue(), interactions)
          : UpdateMessages(loaded.Queue(), interactions, workload == Workload::kUpdateInOrder);
  CQmCache& cache = CQmCache::Instance();
  std::size_t next = 0;
  for (auto _ : state) {
    CMessage& message = messages[next];
    next = (next + 1) % messages.size();
    message.Rewind();
    cache.OnMessageReceived(message);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["ns_per_event"] = benchmark::Counter(
      static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}

void BM_UpdateFiveAttributes(benchmark::State& state) {
  ApplyThroughTheCache(state, Workload::kUpdateRandom);
}
void BM_UpdateFiveAttributesInOrder(benchmark::State& state) {
  ApplyThroughTheCache(state, Workload::kUpdateInOrder);
}
void BM_AddRemove(benchmark::State& state) { ApplyThroughTheCache(state, Workload::kAddRemove); }

// The same decoding as the cache does, without the cache.
void DecodeOnly(benchmark::State& state, bool addRemove) {
  const auto interactions = static_cast<std::uint32_t>(state.range(0));
  const CEntityId queue(W4Notifier::eUserQueue, 69999u);
  std::vector<CMessage> messages =
      addRemove ? AddRemoveMessages(queue, interactions) : UpdateMessages(queue, interactions);
  QueueManager::QueueEvent event;
  std::size_t next = 0;
  for (auto _ : state) {
    CMessage& message = messages[next];
    next = (next + 1) % messages.size();
    message.Rewind();
    benchmark::DoNotOptimize(QueueManager::ReadServerTimeHeader(message));
    bool exists = false;
    bool hasStats = false;
    std::uint32_t count = 0;
    message >> exists >> hasStats >> count;
    QueueManager::ReadQueueEvent(message, event);
    benchmark::DoNotOptimize(event);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DecodeUpdateOnly(benchmark::State& state) { DecodeOnly(state, false); }
void BM_DecodeAddRemoveOnly(benchmark::State& state) { DecodeOnly(state, true); }

void BM_CachedQueryAttribute(benchmark::State& state) {
  const auto interactions = static_cast<std::uint32_t>(state.range(0));
  LoadedQueue loaded(g_nextQueue++, interactions, 1);
  std::mt19937 random(11);
  std::vector<std::uint32_t> ids(kMessageCount);
  for (std::uint32_t& id : ids) id = kFirstInteraction + random() % interactions;
  CQmCache& cache = CQmCache::Instance();
  QueueManager::CQmAttributeValue value;
  std::size_t next = 0;
  for (auto _ : state) {
    const bool found = cache.QueryAttribute(ids[next], TenNames()[next % TenNames().size()], value);
    benchmark::DoNotOptimize(found);
    next = (next + 1) % ids.size();
  }
  state.SetItemsProcessed(state.iterations());
}

// Heap bytes that loading the queue added, per interaction (glibc's count of
// allocated bytes, so allocator overhead included).
void BM_MemoryPerInteraction(benchmark::State& state) {
  const auto interactions = static_cast<std::uint32_t>(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    LoadedQueue loaded(g_nextQueue++, interactions, 1);
    bytes = loaded.BytesAllocated();
  }
  state.counters["bytes_per_interaction"] =
      static_cast<double>(bytes) / static_cast<double>(interactions);
}

void BM_LoadAnswerOfACachedQueue(benchmark::State& state) {
  const auto interactions = static_cast<std::uint32_t>(state.range(0));
  LoadedQueue loaded(g_nextQueue++, interactions, 1);
  for (auto _ : state) loaded.LoadAgain();
  state.SetItemsProcessed(state.iterations() * interactions);
  state.counters["ns_per_interaction"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * interactions,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
  for (const std::int64_t interactions : {1000, 10000, 100000}) {
    for (const std::int64_t monitors : {1, 10}) benchmark->Args({interactions, monitors});
  }
}

BENCHMARK(BM_UpdateFiveAttributes)->Apply(Sizes);
BENCHMARK(BM_UpdateFiveAttributesInOrder)->Args({1000, 1})->Args({10000, 1})->Args({100000, 1});
BENCHMARK(BM_AddRemove)->Apply(Sizes);
BENCHMARK(BM_DecodeUpdateOnly)->Arg(10000);
BENCHMARK(BM_DecodeAddRemoveOnly)->Arg(10000);
BENCHMARK(BM_CachedQueryAttribute)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_LoadAnswerOfACachedQueue)->Arg(1000)->Arg(100000);
BENCHMARK(BM_MemoryPerInteraction)->Arg(1000)->Arg(10000)->Arg(100000)->Iterations(1);

}  // namespace
