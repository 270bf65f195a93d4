#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/trace/TraceConfig.h"
#include "platform/trace/TraceState.h"

namespace W4Trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

TEST(TraceConfigTest, CommonLevelAppliesToEveryTopic) {
  const CTraceConfig config = ParseTraceConfig("81");
  EXPECT_EQ(config.allTopics, 81);
  EXPECT_EQ(config.LevelFor("QueueManager"), 81);
  EXPECT_EQ(config.LevelFor("Anything"), 81);
  EXPECT_TRUE(config.EnablesAny());
}

TEST(TraceConfigTest, TopicLevelsAreSetPerTopic) {
  const CTraceConfig config = ParseTraceConfig(" QueueManager : 81 , QueueManagerScope:21");
  EXPECT_THAT(config.topics, ElementsAre(Pair("QueueManager", 81), Pair("QueueManagerScope", 21)));
  EXPECT_EQ(config.LevelFor("QueueManagerScope"), 21);
  EXPECT_EQ(config.LevelFor("QueueManagerMemoryUsage"), 0);
  EXPECT_THAT(config.rejected, IsEmpty());
}

TEST(TraceConfigTest, TopicLevelWinsOverCommonLevelInEitherOrder) {
  EXPECT_EQ(ParseTraceConfig("81,QueueManagerScope:0").LevelFor("QueueManagerScope"), 0);
  EXPECT_EQ(ParseTraceConfig("QueueManagerScope:0,81").LevelFor("QueueManagerScope"), 0);
  EXPECT_EQ(ParseTraceConfig("QueueManager:11,QueueManager:81").LevelFor("QueueManager"), 81);
}

TEST(TraceConfigTest, UnreadableItemsAreRejectedAndTheRestKept) {
  const CTraceConfig config =
      ParseTraceConfig("QueueManager:81,,bogus,Scope:,:21,Mem:101,Neg:-1,X:8x, 5 ");
  EXPECT_THAT(config.rejected, ElementsAre("bogus", "Scope:", ":21", "Mem:101", "Neg:-1", "X:8x"));
  EXPECT_EQ(config.LevelFor("QueueManager"), 81);
  EXPECT_EQ(config.allTopics, 5);
  EXPECT_EQ(config.topics.size(), 1u);
}

TEST(TraceConfigTest, EmptyOrAllZeroSettingEnablesNothing) {
  EXPECT_FALSE(ParseTraceConfig("").EnablesAny());
  EXPECT_FALSE(ParseTraceConfig("0,QueueManager:0").EnablesAny());
  EXPECT_EQ(ParseTraceConfig("").LevelFor("QueueManager"), 0);
}

TEST(TraceStateTest, TopicsStartAtTheLevelsOfTheSetting) {
  CTraceState state(ParseTraceConfig("QueueManager:81,11"));
  EXPECT_EQ(state.RegisterTopic("QueueManager").Level(), 81);
  EXPECT_EQ(state.RegisterTopic("Other").Level(), 11);
  EXPECT_FALSE(state.Sinks().Empty()) << "an enabling setting writes to stderr";
}

TEST(TraceStateTest, NoSettingLeavesTopicsOffAndNoSink) {
  CTraceState state{CTraceConfig()};
  EXPECT_EQ(state.RegisterTopic("QueueManager").Level(), 0);
  EXPECT_TRUE(state.Sinks().Empty());
}

TEST(TraceStateTest, SameNameGivesSameTopic) {
  CTraceState state{CTraceConfig()};
  CTopic& first = state.RegisterTopic("QueueManager");
  first.SetLevel(21);
  EXPECT_EQ(&state.RegisterTopic(std::string("Queue") + "Manager"), &first);
  EXPECT_NE(&state.RegisterTopic("queuemanager"), &first);
}

}  // namespace
}  // namespace W4Trace
