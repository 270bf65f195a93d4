// Benchmarks of the interaction monitor: the rate at which update records of
// five monitored attributes are decoded, stored and reported through one
// monitor watching 10,000 interactions, and the cost of a query of a watched
// interaction's attribute. The connection drops every request, so the
// figures are the monitor's own cost. Records are fed as the notifier's
// delivery thread would feed them.

#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

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

using bench::FiveAttributes;
using bench::FiveNames;

class CountingMonitor : public QueueManager::CQmInteractionMonitor {
 public:
  std::uint64_t updates = 0;

 protected:
  void AttributesUpdated(const CEntityId&, const CQmAttributeMap&) override { ++updates; }
};

// One monitor implementation watching every interaction, reporting to
// `owner`.
struct Watching {
  CountingMonitor owner;
  W4Util::ObjectPtr<CQmInteractionMonitorGuts> guts =
      W4Util::MakeObject<CQmInteractionMonitorGuts>(owner);

  Watching() {
    W4Notifier::SetDefaultConnection(std::make_shared<W4Notifier::NullConnection>());
    for (std::uint32_t i = 0; i < kInteractions; ++i) {
      guts->Activate(InteractionId(kFirstId + i), FiveNames(), false);
    }
  }
  ~Watching() {
    guts->Shutdown();
    W4Notifier::SetDefaultConnection(nullptr);
  }
};

void BM_ApplyUpdateRecords(benchmark::State& state) {
  Watching watching;
  std::vector<CMessage> messages;
  for (std::uint32_t i = 0; i < kInteractions; ++i) {
    CMessage message;
    message << static_cast<std::int32_t>(W4Notifier::eGenericObject)
            << static_cast<std::int32_t>(kFirstId + i) << false << false;
    FiveAttributes(i).Write(message);
    messages.push_back(message);
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
BENCHMARK(BM_ApplyUpdateRecords);

void BM_QueryWatchedAttribute(benchmark::State& state) {
  Watching watching;
  for (std::uint32_t i = 0; i < kInteractions; ++i) {
    CMessage message;
    message << static_cast<std::int32_t>(W4Notifier::eGenericObject)
            << static_cast<std::int32_t>(kFirstId + i) << false << false;
    FiveAttributes(i).Write(message);
    watching.guts->OnMessageReceived(message);
  }
  std::uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(watching.guts->QueryAttribute(
        InteractionId(kFirstId + i++ % kInteractions), QueueManager::Xan_State));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_QueryWatchedAttribute);

}  // namespace
