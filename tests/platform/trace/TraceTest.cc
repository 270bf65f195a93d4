// The trace library: records, levels, formats, sinks and settings, also with
// several threads writing.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "QueueManager/Platform/Text.h"
#include "QueueManager/Platform/Trace.h"
#include "platform/trace/SinkList.h"
#include "platform/trace/TraceConfig.h"
#include "platform/trace/TraceState.h"

namespace {

// Formatting it throws, as a faulty formatter of an application type might.
struct ThrowingValue {};

}  // namespace

template <>
struct fmt::formatter<ThrowingValue> : fmt::formatter<int> {
  auto format(const ThrowingValue&, fmt::format_context& ctx) const -> decltype(ctx.out()) {
    throw std::runtime_error("no text form");
  }
};

namespace W4Trace {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::SizeIs;

class TraceWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(AddSink(capture_)); }
  void TearDown() override { EXPECT_TRUE(RemoveSink(capture_)); }

  std::vector<CTraceRecord> Records() const { return capture_->Records(); }

  CTopic topic_{"TraceWriteTest", kLevelDetail};
  std::shared_ptr<CCaptureSink> capture_ = std::make_shared<CCaptureSink>("TraceWriteTest");
};

TEST_F(TraceWriteTest, RecordCarriesFormattedTextOriginAndContext) {
  Write(topic_, kLevelDetail, "QueueManager::PerformAlerting", "PerformAlerting({},{},{})", 42u,
        std::string("queue"), -7);
  Write(topic_, kLevelWarning,
        CContext("XANQueueObject::CGenericObject::ValidAction", kMessageTypeWarning,
                 {{1, 4711u}, {2, "text"}}, "GenericQueueObject"),
        "Invalid object type '{}'", 12);
  Write(topic_, kLevelDetail, "f", fmt::runtime("{} and {}"), 1);  // errors are written
  Write(topic_, kLevelDetail, "g", "value {}", ThrowingValue{});   // not thrown
  const auto records = Records();
  ASSERT_THAT(records, SizeIs(4));
  EXPECT_EQ(records[0].text, "PerformAlerting(42,queue,-7)");
  EXPECT_EQ(records[0].topic, "TraceWriteTest");
  EXPECT_EQ(records[0].messageType, kMessageTypeNormal);
  EXPECT_EQ(records[0].function, "QueueManager::PerformAlerting");
  EXPECT_EQ(records[0].thread, std::this_thread::get_id());
  EXPECT_EQ(records[1].level, kLevelWarning);
  EXPECT_EQ(records[1].messageType, kMessageTypeWarning);
  EXPECT_THAT(records[1].context,
              ElementsAre(CContextAttribute(1, "4711"), CContextAttribute(2, "text")));
  EXPECT_EQ(records[1].file, "GenericQueueObject");
  EXPECT_EQ(records[1].function, "XANQueueObject::CGenericObject::ValidAction");
  EXPECT_EQ(records[1].text, "Invalid object type '12'");
  EXPECT_THAT(records[2].text, HasSubstr("trace format error"));
  EXPECT_THAT(records[2].text, HasSubstr("{} and {}"));
  EXPECT_THAT(records[3].text, HasSubstr("no text form"));
}

// Levels above the topic's threshold, level 0 and every level of a topic
// that is off are not written; the macros then evaluate none of their
// arguments.
TEST_F(TraceWriteTest, LevelsAboveTheThresholdAreNotWrittenNorEvaluated) {
  int evaluations = 0;
  auto next = [&evaluations] { return ++evaluations; };
  auto function = [&evaluations] {
    ++evaluations;
    return "f";
  };
  topic_.SetLevel(kLevelWarning);
  Write(topic_, kLevelDetail, "f", "detail");
  Write(topic_, kLevelWarning, "f", "warning");
  Write(topic_, kLevelOff, "f", "level zero is never written");
  QM_TRACE(topic_, kLevelDetail, function(), "{}", next());
  QM_TRACE_CTX(topic_, kLevelDetail, CContext(function(), 2, {{1, next()}}), "{}", next());
  EXPECT_EQ(evaluations, 0);
  QM_TRACE(topic_, kLevelFailure, function(), "failure {}", next());
  EXPECT_EQ(evaluations, 2);
  topic_.SetLevel(kLevelOff);
  Write(topic_, kLevelFailure, "f", "topic off");
  std::vector<std::string> texts;
  for (const CTraceRecord& record : Records()) texts.push_back(record.text);
  EXPECT_THAT(texts, ElementsAre("warning", ::testing::StartsWith("failure ")));
}

TEST_F(TraceWriteTest, ScopeTraceWritesEntryAndExitOnlyWhenEnabledAtEntry) {
  {
    QM_TRACE_SCOPE(topic_, "QueueManager::CQmCache::Activate");
    Write(topic_, kLevelDetail, "QueueManager::CQmCache::Activate", "inside");
  }
  topic_.SetLevel(kLevelOff);
  {
    QM_TRACE_SCOPE(topic_, "f");
    topic_.SetLevel(kLevelDetail);
  }
  std::vector<std::string> texts;
  for (const CTraceRecord& record : Records()) {
    EXPECT_EQ(record.function, "QueueManager::CQmCache::Activate");
    texts.push_back(record.text);
  }
  EXPECT_THAT(texts, ElementsAre("Enter", "inside", "Exit"));
}

TEST(TraceFormatRecordTest, LineHoldsEveryPart) {
  CTraceRecord record;
  record.topic = "QueueManager";
  record.level = kLevelFailure;
  record.messageType = kMessageTypeWarning;
  record.function = "QueueManager::QueryAttributes";
  record.context = {{1, "42"}};
  record.text = "42 (apparent) invalid interaction ID specified";
  record.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(86'401'500));
  const std::string line = FormatRecord(record);
  EXPECT_THAT(line, ::testing::StartsWith("1970-01-02T00:00:01.500000Z ["));
  EXPECT_THAT(line, HasSubstr("] QueueManager 11 (type 3) QueueManager::QueryAttributes [1=42] "
                              "42 (apparent) invalid interaction ID specified"));
  EXPECT_EQ(line.find('\n'), std::string::npos);
}

// ---- sinks ----

CTraceRecord MakeRecord(std::string topic, std::string text) {
  CTraceRecord record;
  record.topic = std::move(topic);
  record.level = kLevelDetail;
  record.text = std::move(text);
  return record;
}

// A sink that fails on every record.
class CThrowingSink : public ITraceSink {
 public:
  void Write(const CTraceRecord&) override { throw std::runtime_error("sink failed"); }
};

// A sink that calls back into the library, which the contract forbids.
class CReentrantSink : public ITraceSink {
 public:
  explicit CReentrantSink(CTopic& topic) : topic_(topic) {}
  void Write(const CTraceRecord&) override {
    ++calls;
    W4Trace::Write(topic_, kLevelDetail, "CReentrantSink::Write", "nested");
    removeResult = RemoveSink(self.lock());
    addResult = AddSink(std::make_shared<CCaptureSink>());
  }
  CTopic& topic_;
  std::weak_ptr<ITraceSink> self;
  int calls = 0;
  bool removeResult = true;
  bool addResult = true;
};

TEST(SinkListTest, EverySinkGetsEveryRecordUntilRemovedEvenWhenOneThrows) {
  CSinkList sinks;
  auto first = std::make_shared<CCaptureSink>();
  auto second = std::make_shared<CCaptureSink>();
  ASSERT_TRUE(sinks.Add(std::make_shared<CThrowingSink>()));
  ASSERT_TRUE(sinks.Add(first));
  ASSERT_TRUE(sinks.Add(second));
  EXPECT_NO_THROW(sinks.Dispatch(MakeRecord("T", "one")));
  ASSERT_TRUE(sinks.Remove(first));
  sinks.Dispatch(MakeRecord("T", "two"));
  EXPECT_EQ(first->Size(), 1u);
  EXPECT_EQ(second->Size(), 2u);
  EXPECT_TRUE(second->Contains("two"));

  // A sink calling back into the library is contained.
  CTopic topic("SinkListTest", kLevelDetail);
  auto reentrant = std::make_shared<CReentrantSink>(topic);
  reentrant->self = reentrant;
  auto capture = std::make_shared<CCaptureSink>("SinkListTest");
  ASSERT_TRUE(AddSink(reentrant));
  ASSERT_TRUE(AddSink(capture));
  W4Trace::Write(topic, kLevelDetail, "test", "outer");
  EXPECT_EQ(reentrant->calls, 1) << "the nested trace must not reach the sinks";
  EXPECT_FALSE(reentrant->removeResult);
  EXPECT_FALSE(reentrant->addResult);
  EXPECT_EQ(capture->Size(), 1u);
  EXPECT_TRUE(RemoveSink(reentrant));
  EXPECT_TRUE(RemoveSink(capture));
}

// ---- the setting and the topics ----

TEST(TraceConfigTest, LevelsOfTopicsFromTheSetting) {
  const std::tuple<const char*, const char*, int, bool> cases[] = {
      {"81", "Anything", 81, true},
      {" QueueManager : 81 , QueueManagerScope:21", "QueueManagerScope", 21, true},
      {" QueueManager : 81 , QueueManagerScope:21", "QueueManagerMemoryUsage", 0, true},
      // A topic's own level wins over the common level in either order.
      {"81,QueueManagerScope:0", "QueueManagerScope", 0, true},
      {"QueueManagerScope:0,81", "QueueManagerScope", 0, true},
      {"QueueManager:11,QueueManager:81", "QueueManager", 81, true},
      {"", "QueueManager", 0, false},
      {"0,QueueManager:0", "QueueManager", 0, false},
  };
  for (const auto& [setting, topic, level, enablesAny] : cases) {
    const CTraceConfig config = ParseTraceConfig(setting);
    EXPECT_EQ(config.LevelFor(topic), level) << setting << " / " << topic;
    EXPECT_EQ(config.EnablesAny(), enablesAny) << setting;
    EXPECT_TRUE(config.rejected.empty()) << setting;
  }

  // Unreadable items are rejected and the rest kept.
  const CTraceConfig config =
      ParseTraceConfig("QueueManager:81,,bogus,Scope:,:21,Mem:101,Neg:-1,X:8x,Top:100, 5 ");
  EXPECT_THAT(config.rejected, ElementsAre("bogus", "Scope:", ":21", "Mem:101", "Neg:-1", "X:8x"));
  EXPECT_EQ(config.LevelFor("QueueManager"), 81);
  EXPECT_EQ(config.LevelFor("Top"), 100);
  EXPECT_EQ(config.allTopics, 5);
  EXPECT_EQ(config.topics.size(), 2u);
}

TEST(TraceStateTest, TopicsAreOnePerNameAndStartAtTheLevelsOfTheSetting) {
  CTraceState state(ParseTraceConfig("QueueManager:81,11"));
  EXPECT_EQ(state.RegisterTopic("QueueManager").Level(), 81);
  EXPECT_EQ(state.RegisterTopic("Other").Level(), 11);
  EXPECT_FALSE(state.Sinks().Empty()) << "an enabling setting writes to stderr";
  EXPECT_EQ(&state.RegisterTopic(std::string("Queue") + "Manager"),
            &state.RegisterTopic("QueueManager"));
  EXPECT_NE(&state.RegisterTopic("queuemanager"), &state.RegisterTopic("QueueManager"));
  CTraceState off{CTraceConfig()};
  EXPECT_EQ(off.RegisterTopic("QueueManager").Level(), 0);
  EXPECT_TRUE(off.Sinks().Empty());
}

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
