#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/trace/TraceConfig.h"
#include "platform/trace/TraceState.h"

namespace W4Trace {
namespace {

using ::testing::ElementsAre;

TEST(TraceConfigTest, LevelsOfTopicsFromTheSetting) {
  struct Case {
    const char* setting;
    const char* topic;
    int level;
    bool enablesAny;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    const CTraceConfig config = ParseTraceConfig(c.setting);
    EXPECT_EQ(config.LevelFor(c.topic), c.level) << c.setting << " / " << c.topic;
    EXPECT_EQ(config.EnablesAny(), c.enablesAny) << c.setting;
    EXPECT_TRUE(config.rejected.empty()) << c.setting;
  }
}

TEST(TraceConfigTest, UnreadableItemsAreRejectedAndTheRestKept) {
  const CTraceConfig config =
      ParseTraceConfig("QueueManager:81,,bogus,Scope:,:21,Mem:101,Neg:-1,X:8x,Top:100, 5 ");
  EXPECT_THAT(config.rejected, ElementsAre("bogus", "Scope:", ":21", "Mem:101", "Neg:-1", "X:8x"));
  EXPECT_EQ(config.LevelFor("QueueManager"), 81);
  EXPECT_EQ(config.LevelFor("Top"), 100);
  EXPECT_EQ(config.allTopics, 5);
  EXPECT_EQ(config.topics.size(), 2u);
}

TEST(TraceStateTest, TopicsStartAtTheLevelsOfTheSetting) {
  CTraceState state(ParseTraceConfig("QueueManager:81,11"));
  EXPECT_EQ(state.RegisterTopic("QueueManager").Level(), 81);
  EXPECT_EQ(state.RegisterTopic("Other").Level(), 11);
  EXPECT_FALSE(state.Sinks().Empty()) << "an enabling setting writes to stderr";
  CTraceState off{CTraceConfig()};
  EXPECT_EQ(off.RegisterTopic("QueueManager").Level(), 0);
  EXPECT_TRUE(off.Sinks().Empty());
}

TEST(TraceStateTest, SameNameGivesSameTopic) {
  CTraceState state{CTraceConfig()};
  CTopic& first = state.RegisterTopic("QueueManager");
  EXPECT_EQ(&state.RegisterTopic(std::string("Queue") + "Manager"), &first);
  EXPECT_NE(&state.RegisterTopic("queuemanager"), &first);
}

}  // namespace
}  // namespace W4Trace
