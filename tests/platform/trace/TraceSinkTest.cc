#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "QueueManager/Platform/Trace.h"
#include "platform/trace/SinkList.h"

namespace W4Trace {
namespace {

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
}

TEST(SinkListTest, SinkCallingBackIntoTheLibraryIsContained) {
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

}  // namespace
}  // namespace W4Trace
