// Cost of a trace statement: disabled (the common case in production) and
// enabled into a sink that drops every record.

#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "QueueManager/Platform/Trace.h"

namespace {

// Drops every record; measures the cost of building and dispatching one.
class CNullSink : public W4Trace::ITraceSink {
 public:
  void Write(const W4Trace::CTraceRecord& record) override {
    benchmark::DoNotOptimize(record.text.data());
  }
};

void BM_DisabledTraceMacro(benchmark::State& state) {
  W4Trace::CTopic topic("BenchDisabled", W4Trace::kLevelWarning);
  const std::string name = "Xan_QueueName";
  unsigned id = 4711;
  for (auto _ : state) {
    QM_TRACE(topic, W4Trace::kLevelDetail, "QueueManager::Bench", "Query({},{})", id, name);
    benchmark::DoNotOptimize(id);
  }
}
BENCHMARK(BM_DisabledTraceMacro);

void BM_DisabledTraceFunction(benchmark::State& state) {
  W4Trace::CTopic topic("BenchDisabled", W4Trace::kLevelWarning);
  const std::string name = "Xan_QueueName";
  unsigned id = 4711;
  for (auto _ : state) {
    W4Trace::Write(topic, W4Trace::kLevelDetail, "QueueManager::Bench", "Query({},{})", id, name);
    benchmark::DoNotOptimize(id);
  }
}
BENCHMARK(BM_DisabledTraceFunction);

void BM_EnabledTraceNullSink(benchmark::State& state) {
  W4Trace::CTopic topic("BenchEnabled", W4Trace::kLevelDetail);
  auto sink = std::make_shared<CNullSink>();
  W4Trace::AddSink(sink);
  const std::string name = "Xan_QueueName";
  unsigned id = 4711;
  for (auto _ : state) {
    QM_TRACE(topic, W4Trace::kLevelDetail, "QueueManager::Bench", "Query({},{})", id, name);
  }
  W4Trace::RemoveSink(sink);
}
BENCHMARK(BM_EnabledTraceNullSink);

void BM_EnabledTraceWithContext(benchmark::State& state) {
  W4Trace::CTopic topic("BenchEnabled", W4Trace::kLevelDetail);
  auto sink = std::make_shared<CNullSink>();
  W4Trace::AddSink(sink);
  unsigned id = 4711;
  for (auto _ : state) {
    QM_TRACE_CTX(
        topic, W4Trace::kLevelFailure,
        W4Trace::CContext("QueueManager::QueryAttributes", W4Trace::kMessageTypeNormal, {{1, id}}),
        "{} (apparent) invalid interaction ID specified", id);
  }
  W4Trace::RemoveSink(sink);
}
BENCHMARK(BM_EnabledTraceWithContext);

}  // namespace
