#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QueueManager/Platform/Trace.h"
#include "platform/trace/SinkList.h"

namespace W4Trace {
namespace {

// Counts calls, and calls made after its owner declared it removed.
class CWatchedSink : public ITraceSink {
 public:
  void Write(const CTraceRecord&) override {
    calls.fetch_add(1);
    if (removed.load()) lateCalls.fetch_add(1);
  }
  std::atomic<bool> removed{false};
  std::atomic<long> calls{0}, lateCalls{0};
};

TEST(SinkListConcurrencyTest, RemovedSinkIsNeverCalledAfterRemoveReturns) {
  CSinkList sinks;
  auto background = std::make_shared<CCaptureSink>("none");  // keeps the list non-trivial
  ASSERT_TRUE(sinks.Add(background));
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  CTraceRecord record;
  record.topic = "T";
  for (int i = 0; i < 3; ++i) {
    writers.emplace_back([&] {
      while (!stop.load()) sinks.Dispatch(record);
    });
  }
  long totalCalls = 0;
  for (int round = 0; round < 300; ++round) {
    auto sink = std::make_shared<CWatchedSink>();
    ASSERT_TRUE(sinks.Add(sink));
    while (sink->calls.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(sinks.Remove(sink));
    sink->removed.store(true);
    std::this_thread::yield();
    EXPECT_EQ(sink->lateCalls.load(), 0) << "round " << round;
    totalCalls += sink->calls.load();
  }
  stop.store(true);
  for (std::thread& writer : writers) writer.join();
  EXPECT_GE(totalCalls, 300);
}

TEST(TraceConcurrencyTest, ConcurrentTracesAllReachTheSinkAndShareTheirTopics) {
  CTopic topic("TraceConcurrencyTest", kLevelDetail);
  auto capture = std::make_shared<CCaptureSink>("TraceConcurrencyTest");
  ASSERT_TRUE(AddSink(capture));
  constexpr int kThreads = 4;
  constexpr int kTracesPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&topic, t] {
      for (int i = 0; i < kTracesPerThread; ++i) {
        QM_TRACE(topic, kLevelDetail, "worker", "thread {} trace {}", t, i);
        if (i % 50 == 0) topic.SetLevel(kLevelDetail);  // concurrent level writes are harmless
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(RemoveSink(capture));
  EXPECT_EQ(capture->Size(), static_cast<std::size_t>(kThreads * kTracesPerThread));
  EXPECT_TRUE(capture->Contains("thread 3 trace 499"));
  // Registering a topic gives one topic to all threads.
  std::vector<const CTopic*> seen(8, nullptr);
  threads.clear();
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&seen, t] { seen[t] = &RegisterTopic("TraceConcurrencyTest.Shared"); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const CTopic* registered : seen) EXPECT_EQ(registered, seen[0]);
}

}  // namespace
}  // namespace W4Trace
