// Benchmarks of the TS server monitor's work per event: a notification of
// its private inbox decoded, applied to its held queue in the cache and
// gathered for reporting, as its worker does for a batch of one message; and
// the memory per interaction on the held queue; at 1k, 10k and 100k
// interactions. The worker thread and the callbacks are left out: they cost
// the same whatever the number of interactions.

#include <malloc.h>

#include <cstdint>
#include <random>
#include <unordered_set>
#include <vector>

#include <benchmark/benchmark.h>

#include "FiveAttributes.h"

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "monitor/QmCache.h"
#include "monitor/TsServerBatch.h"

namespace {

using QueueManager::CQmAttributeMap;
using QueueManager::CQmCache;
using QueueManager::TsServerBatch;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr std::uint32_t kFirstInteraction = 2'000'000;
constexpr std::size_t kMessageCount = 8192;

CMessage Notification(std::uint32_t id, bool added, const CQmAttributeMap& attributes) {
  CMessage message;
  message << std::uint32_t{0} << std::uint32_t{0} << true << false << std::uint32_t{1};
  message << static_cast<std::int32_t>(W4Notifier::eGenericObject) << static_cast<std::int32_t>(id)
          << added << false;
  attributes.Write(message);
  return message;
}

// Applies one message as the worker applies a batch.
void Apply(CMessage& message, const CEntityId& entity, std::unordered_set<std::uint32_t>& none) {
  CQmCache& cache = CQmCache::Instance();
  TsServerBatch batch;
  batch.Decode(message);
  W4Os::CCriticalSectionLock lock(&cache.Lock());
  batch.ApplyLocked(cache, entity, true, none);
  benchmark::DoNotOptimize(batch.Updates());
}

std::uint32_t g_nextEntity = 500;

// A held media type entity with `interactions` interactions of five
// attributes; the heap bytes that adding them took.
struct HeldEntity {
  explicit HeldEntity(std::uint32_t interactions)
      : entity(W4Notifier::eGenericObject2, g_nextEntity++) {
    CQmCache::Instance().HoldQueue(entity);
    const CQmAttributeMap attributes = bench::FiveAttributes(0);
    std::vector<CMessage> adds;
    for (std::uint32_t i = 0; i < interactions; ++i) {
      adds.push_back(Notification(kFirstInteraction + i, true, attributes));
    }
    const std::size_t before = mallinfo2().uordblks;
    for (CMessage& message : adds) Apply(message, entity, none);
    bytes = mallinfo2().uordblks - before;
  }
  ~HeldEntity() { CQmCache::Instance().ReleaseQueue(entity); }

  CEntityId entity;
  std::unordered_set<std::uint32_t> none;
  std::size_t bytes = 0;
};

void BM_TsServerUpdate(benchmark::State& state) {
  const auto interactions = static_cast<std::uint32_t>(state.range(0));
  HeldEntity held(interactions);
  std::mt19937 random(5);
  std::vector<CMessage> messages;
  for (std::size_t i = 0; i < kMessageCount; ++i) {
    messages.push_back(
        Notification(kFirstInteraction + random() % interactions, false,
                     bench::FiveAttributes(static_cast<std::uint32_t>(i / 7 % 2 + 1))));
  }
  std::size_t next = 0;
  for (auto _ : state) {
    CMessage& message = messages[next];
    next = (next + 1) % messages.size();
    message.Rewind();
    Apply(message, held.entity, held.none);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TsServerUpdate)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_TsServerMemoryPerInteraction(benchmark::State& state) {
  const auto interactions = static_cast<std::uint32_t>(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) bytes = HeldEntity(interactions).bytes;
  state.counters["bytes_per_interaction"] =
      static_cast<double>(bytes) / static_cast<double>(interactions);
}
BENCHMARK(BM_TsServerMemoryPerInteraction)->Arg(1000)->Arg(10000)->Arg(100000)->Iterations(1);

}  // namespace
