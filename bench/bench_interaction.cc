// Benchmarks of the interaction monitor: the rate at which update records of
// five monitored attributes are decoded, stored and reported through one
// monitor watching 1k, 10k and 100k interactions (records for interactions
// picked at random), the memory per watched interaction (also as a ratio to
// the monitor cache's bytes for the same interactions), and the cost of a
// query of a watched interaction's attribute. The connection drops every
// request, so the figures are the monitor's own cost. Records are fed as the
// notifier's delivery thread would feed them.

#include <malloc.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "CacheBytes.h"
#include "FiveAttributes.h"

#include "platform/notifier/NullConnection.h"

#include "QueueManager/InteractionMonitor.h"
#include "interaction/InteractionMonitorGuts.h"

namespace {

using QueueManager::CQmAttributeMap;
using QueueManager::CQmAttributeName;
using QueueManager::CQmInteractionMonitorGuts;
using QueueManager::InteractionId;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr std::uint32_t kInteractions = 10000;
constexpr std::uint32_t kFirstId = 1000;
// Update records prepared per run; cycled through.
constexpr std::size_t kRecordCount = 8192;

using bench::FiveAttributes;
using bench::FiveNames;

class CountingMonitor : public QueueManager::CQmInteractionMonitor {
 public:
  std::uint64_t updates = 0;

 protected:
  void AttributesUpdated(const CEntityId&, const CQmAttributeMap&) override { ++updates; }
};

CMessage UpdateRecord(std::uint32_t id, std::uint32_t variant) {
  CMessage message;
  message << static_cast<std::int32_t>(W4Notifier::eGenericObject) << static_cast<std::int32_t>(id)
          << false << false;
  FiveAttributes(variant).Write(message);
  return message;
}

// One monitor implementation watching `count` interactions, reporting to
// `owner`; with `filled`, each has had a first update of its five
// attributes.
struct Watching {
  CountingMonitor owner;
  W4Util::ObjectPtr<CQmInteractionMonitorGuts> guts =
      W4Util::MakeObject<CQmInteractionMonitorGuts>(owner);
  // The heap bytes that watching and filling the interactions took.
  std::size_t bytes = 0;

  explicit Watching(std::uint32_t count = kInteractions, bool filled = false) {
    W4Notifier::SetDefaultConnection(std::make_shared<W4Notifier::NullConnection>());
    std::vector<CMessage> firsts;
    for (std::uint32_t i = 0; filled && i < count; ++i)
      firsts.push_back(UpdateRecord(kFirstId + i, i));
    const std::size_t before = mallinfo2().uordblks;
    for (std::uint32_t i = 0; i < count; ++i) {
      guts->Activate(InteractionId(kFirstId + i), FiveNames(), false);
    }
    for (CMessage& message : firsts) guts->OnMessageReceived(message);
    bytes = mallinfo2().uordblks - before;
    owner.updates = 0;
  }
  ~Watching() {
    guts->Shutdown();
    W4Notifier::SetDefaultConnection(nullptr);
  }
};

void BM_ApplyUpdateRecords(benchmark::State& state) {
  const auto count = static_cast<std::uint32_t>(state.range(0));
  Watching watching(count, true);
  std::mt19937 random(3);
  std::vector<CMessage> messages;
  for (std::size_t i = 0; i < kRecordCount; ++i) {
    messages.push_back(
        UpdateRecord(kFirstId + random() % count, static_cast<std::uint32_t>(i / 7 % 2 + 1)));
  }
  std::size_t i = 0;
  for (auto _ : state) {
    CMessage& message = messages[i++ % messages.size()];
    message.Rewind();
    watching.guts->OnMessageReceived(message);
  }
  if (watching.owner.updates != static_cast<std::uint64_t>(state.iterations())) {
    state.SkipWithError("a record was not reported");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ApplyUpdateRecords)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_MemoryPerWatchedInteraction(benchmark::State& state) {
  const auto count = static_cast<std::uint32_t>(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) bytes = Watching(count, true).bytes;
  state.counters["bytes_per_interaction"] = static_cast<double>(bytes) / static_cast<double>(count);
  state.counters["vs_cache"] =
      static_cast<double>(bytes) / static_cast<double>(bench::CacheBytes(count, kFirstId));
}
BENCHMARK(BM_MemoryPerWatchedInteraction)->Arg(1000)->Arg(10000)->Arg(100000)->Iterations(1);

void BM_QueryWatchedAttribute(benchmark::State& state) {
  Watching watching(kInteractions, true);
  std::uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(watching.guts->QueryAttribute(
        InteractionId(kFirstId + i++ % kInteractions), QueueManager::Xan_State));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_QueryWatchedAttribute);

}  // namespace
