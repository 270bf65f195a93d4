// Queue administration and queries against the scripted server: for queues
// that no monitor of this process watches every query goes to the server; for
// a watched queue the monitor cache answers them without a request.

#include "QueueManager/QueueAdministration.h"

#include <gmock/gmock.h>

#include <limits>
#include <optional>

#include "monitor/QmCache.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using ::testing::UnorderedElementsAre;

const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);

CQmQueueStats2 Stats2(std::uint32_t calls, std::uint32_t alerting) {
  CQmQueueStats2 stats;
  stats.SetTotalConnectionCallCount(calls);
  stats.SetDisconnectedConnectionCallCount(calls / 2);
  stats.media_type_maps()[W4Notifier::eConferenceInteraction].Alerting = alerting;
  return stats;
}

class QueueAdministrationTest : public RequestTest {
 protected:
  // Queries the statistics of kQueue, held `before`, against `answer`.
  template <class Record>
  void ExpectStatistics(const CMessage& answer, bool found, Record before, const Record& after) {
    SCOPED_TRACE(answer.DescribeFields());
    server_->Respond(server_entity_, 8, answer);
    EXPECT_EQ(QueryQueueStatistics(kQueue, before), found);
    EXPECT_EQ(before, after);
  }

  const CEntityId server_entity_ = ServerEntity();
};

// Instructions are sent one way; none of an unset queue is sent.
TEST_F(QueueAdministrationTest, InstructionsAreSentOneWay) {
  CreateQueue(kQueue);
  RemoveQueue(kQueue);
  DeallocateAllInstances(W4Notifier::eUserQueue);
  MonitorStatServerAttributes({});
  MonitorStatServerAttributes({Xan_State, CQmAttributeName(u"Note")});
  RequestDeactivationAttributes({CQmAttributeName(Xan_CallId)});
  EXPECT_THAT(SentFields(server_entity_, 6), ElementsAre("int 3, int 77"));
  EXPECT_THAT(SentFields(server_entity_, 7), ElementsAre("int 3, int 77"));
  EXPECT_THAT(SentFields(server_entity_, 13), ElementsAre("int 9"));
  EXPECT_THAT(SentFields(server_entity_, 17),
              ElementsAre("int 0", "int 2, int 38, int -1, wtext \"Note\""));
  EXPECT_THAT(SentFields(server_entity_, 5), ElementsAre("int 1, int 6"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(false, false, false, false, false, false));

  server_->ClearTraffic();  // an unset queue is never sent
  CEntityId unset;
  CreateQueue(unset);
  RemoveQueue(unset);
  EXPECT_FALSE(IsQueueActive(unset));
  CQmQueueStats stats = Stats(1);
  EXPECT_FALSE(QueryQueueStatistics(unset, stats));
  EXPECT_EQ(stats, Stats(1));
  CQmQueueStats2 stats2;
  EXPECT_FALSE(QueryQueueStatistics(unset, stats2));
  std::vector<CEntityId> contents(2);
  EXPECT_FALSE(QueryQueueContents(unset, contents));
  EXPECT_THAT(contents, IsEmpty());
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(QueueAdministrationTest, FailedQueriesLeaveTheirOutputs) {
  ForEachFailure(server_entity_, {4, 8, 10, 18}, Body(true), [&] {
    EXPECT_FALSE(IsQueueActive(kQueue));
    CQmQueueStats stats = Stats(1);
    EXPECT_FALSE(QueryQueueStatistics(kQueue, stats));
    EXPECT_EQ(stats, Stats(1));
    CQmQueueStats2 stats2 = Stats2(4, 1);
    EXPECT_FALSE(QueryQueueStatistics(kQueue, stats2));
    EXPECT_EQ(stats2, Stats2(4, 1));
    std::vector<CEntityId> queues{kQueue};
    QueryQueues(W4Notifier::eWorkgroupQueue, queues);
    EXPECT_THAT(queues, ElementsAre(kQueue));
    std::vector<CEntityId> contents{kQueue};
    EXPECT_FALSE(QueryQueueContents(kQueue, contents));
    EXPECT_THAT(contents, IsEmpty());
  });
  server_->ClearTraffic();  // no connection from here on
  CreateQueue(kQueue);
  DeallocateAllInstances(W4Notifier::eUserQueue);
  MonitorStatServerAttributes({Xan_State});
  EXPECT_EQ(RequestCount(), 0u);
}

// Found gives the record (the second of two for the second statistics),
// not found the default record, a truncated answer leaves the output alone.
// Whether a queue is active is the answer itself.
TEST_F(QueueAdministrationTest, StatisticsActivityAndEntityListAnswers) {
  server_->Respond(server_entity_, 10, Body(true));
  EXPECT_TRUE(IsQueueActive(kQueue));
  server_->Respond(server_entity_, 10, Body(false));
  EXPECT_FALSE(IsQueueActive(kQueue));
  EXPECT_THAT(SentFields(server_entity_, 10), ElementsAre("int 3, int 77", "int 3, int 77"));
  ExpectStatistics(Body(true, Stats(10)), true, Stats(1), Stats(10));
  ExpectStatistics(Body(false), false, Stats(1), CQmQueueStats());
  ExpectStatistics(Body(true, 1u, 2u, 3u), false, Stats(1), Stats(1));
  ExpectStatistics(Body(true, Stats2(100, 7), Stats2(200, 9)), true, Stats2(4, 1), Stats2(200, 9));
  ExpectStatistics(Body(false), false, Stats2(4, 1), CQmQueueStats2());
  ExpectStatistics(Body(true, Stats2(100, 7)), false, Stats2(4, 1), Stats2(4, 1));
  EXPECT_THAT(SentFields(server_entity_, 8), ::testing::Each("int 3, int 77"));
  EXPECT_THAT(RequestsAwaited(), ::testing::Each(true));

  // The queue list (event 18) and the queue contents (event 4) are both entity lists; an
  // unreadable one leaves the queue list alone and empties contents.
  const CEntityId last(W4Notifier::eWorkgroupQueue, 0xFFFFFFFEu);
  constexpr std::int32_t kHuge = std::numeric_limits<std::int32_t>::max();
  const std::pair<CMessage, std::optional<std::vector<CEntityId>>> cases[] = {
      {Body(std::int32_t{2}, std::int32_t{3}, std::int32_t{77}, std::int32_t{3},
            std::uint32_t{0xFFFFFFFEu}),
       std::vector{kQueue, last}},
      {Body(std::int32_t{0}), std::vector<CEntityId>()},
      {Body(std::int32_t{-4}), std::vector<CEntityId>()},
      {Body(std::int32_t{2}, std::int32_t{3}, std::int32_t{77}), std::nullopt},
      {Body(kHuge, std::int32_t{3}, std::int32_t{77}), std::nullopt},
      {Body(std::int32_t{1}, std::int32_t{3}), std::nullopt},
      {Body(u"x"), std::nullopt},
  };
  for (const auto& [body, list] : cases) {
    SCOPED_TRACE(body.DescribeFields());
    server_->Respond(server_entity_, 18, body);
    server_->Respond(server_entity_, 4, body);
    std::vector<CEntityId> queues{kQueue};
    QueryQueues(W4Notifier::eWorkgroupQueue, queues);
    EXPECT_EQ(queues, list.value_or(std::vector{kQueue}));
    std::vector<CEntityId> contents{kQueue};
    EXPECT_EQ(QueryQueueContents(kQueue, contents), list.has_value());
    EXPECT_EQ(contents, list.value_or(std::vector<CEntityId>()));
  }
  EXPECT_THAT(SentFields(server_entity_, 18), ::testing::Each("int 3"));
  EXPECT_THAT(SentFields(server_entity_, 4), ::testing::Each("int 3, int 77"));
  EXPECT_THAT(RequestsAwaited(), ::testing::Each(true));
}

// ---- A watched queue --------------------------------------------------------

const CEntityId kWatched(W4Notifier::eWorkgroupQueue, 2001u);

TEST_F(QueueAdministrationTest, AWatchedQueueIsAnsweredFromTheCacheInItsOrder) {
  RecordingMonitor watcher;
  Watch(watcher, kWatched, {Xan_State},
        {.stats = Stats(30),
         .events = {{.id = 6001, .added = true, .type = W4Notifier::eConferenceInteraction},
                    {.id = 6002, .added = true, .type = W4Notifier::eChatConferenceInteraction},
                    {.id = 6003, .added = true, .type = W4Notifier::eConferenceInteraction}},
         .trailer = true,
         .stats2 = Stats2(12, 2)});
  std::vector<CEntityId> contents{kWatched};
  EXPECT_TRUE(QueryQueueContents(kWatched, contents));
  EXPECT_THAT(contents,
              UnorderedElementsAre(CEntityId(W4Notifier::eConferenceInteraction, 6001u),
                                   CEntityId(W4Notifier::eChatConferenceInteraction, 6002u),
                                   CEntityId(W4Notifier::eConferenceInteraction, 6003u)));
  std::vector<InteractionId> ids;
  ASSERT_TRUE(CQmCache::Instance().QueryQueueContents(kWatched, ids));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(contents[i].QueryObjectId(), ids[i].QueryObjectId());
  }
  CQmQueueStats stats;
  EXPECT_TRUE(QueryQueueStatistics(kWatched, stats));
  EXPECT_EQ(stats, Stats(30));
  CQmQueueStats2 stats2;
  EXPECT_TRUE(QueryQueueStatistics(kWatched, stats2));
  EXPECT_EQ(stats2, Stats2(12, 2));
  EXPECT_EQ(RequestCount(), 0u);

  watcher.Deactivate();  // a queue no longer watched is asked for
  server_->Respond(ServerEntity(), 4, Body(std::int32_t{0}));
  contents.assign(1, kWatched);
  EXPECT_TRUE(QueryQueueContents(kWatched, contents));
  EXPECT_TRUE(contents.empty());
  EXPECT_EQ(RequestCount(), 1u);
}

}  // namespace
}  // namespace QueueManager::testing
