// Queue administration and queries against the scripted server, for queues
// that no monitor of this process watches (every query goes to the server).

#include "QueueManager/QueueAdministration.h"

#include <gmock/gmock.h>

#include <functional>
#include <limits>

#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);

CQmQueueStats CountingStats(std::uint32_t first) {
  CQmQueueStats::Counters counters;
  for (std::uint32_t& counter : counters) counter = first++;
  return CQmQueueStats(counters);
}

CQmQueueStats2 Stats2(std::uint32_t calls, std::uint32_t alerting) {
  CQmQueueStats2 stats;
  stats.SetTotalConnectionCallCount(calls);
  stats.SetDisconnectedConnectionCallCount(calls / 2);
  stats.media_type_maps()[W4Notifier::eConferenceInteraction].Alerting = alerting;
  return stats;
}

class QueueAdministrationTest : public RequestTest {
 protected:
  const CEntityId server_entity_ = ServerEntity();
};

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
}

TEST_F(QueueAdministrationTest, AnUnsetQueueIsNeverSent) {
  CEntityId unset;
  CreateQueue(unset);
  RemoveQueue(unset);
  EXPECT_FALSE(IsQueueActive(unset));
  CQmQueueStats stats = CountingStats(1);
  EXPECT_FALSE(QueryQueueStatistics(unset, stats));
  EXPECT_EQ(stats, CountingStats(1));
  CQmQueueStats2 stats2;
  EXPECT_FALSE(QueryQueueStatistics(unset, stats2));
  std::vector<CEntityId> contents(2);
  EXPECT_FALSE(QueryQueueContents(unset, contents));
  EXPECT_THAT(contents, IsEmpty());
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(QueueAdministrationTest, IsQueueActiveReturnsTheAnswer) {
  server_->Respond(server_entity_, 10, Body(true));
  EXPECT_TRUE(IsQueueActive(kQueue));
  server_->Respond(server_entity_, 10, Body(false));
  EXPECT_FALSE(IsQueueActive(kQueue));
  EXPECT_THAT(SentFields(server_entity_, 10), ElementsAre("int 3, int 77", "int 3, int 77"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(true, true));
}

TEST_F(QueueAdministrationTest, FailedSynchronousQueries) {
  struct Case {
    const char* label;
    std::function<void(W4Notifier::CScriptedServer&, const CEntityId&, int)> script;
  };
  const Case cases[] = {
      {"rejected", [](auto& s, const auto& e, int event) { s.Reject(e, event, Body(true)); }},
      {"silent", [](auto& s, const auto& e, int event) { s.Silence(e, event); }},
      {"empty answer", [](auto& s, const auto& e, int event) { s.Respond(e, event); }},
      {"answer of another type",
       [](auto& s, const auto& e, int event) { s.Respond(e, event, Body(u"yes")); }},
  };
  UseShortTimeout();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    for (int event : {4, 8, 10, 18}) c.script(*server_, server_entity_, event);
    EXPECT_FALSE(IsQueueActive(kQueue));
    CQmQueueStats stats = CountingStats(1);
    EXPECT_FALSE(QueryQueueStatistics(kQueue, stats));
    EXPECT_EQ(stats, CountingStats(1));
    CQmQueueStats2 stats2 = Stats2(4, 1);
    EXPECT_FALSE(QueryQueueStatistics(kQueue, stats2));
    EXPECT_EQ(stats2, Stats2(4, 1));
    std::vector<CEntityId> queues{kQueue};
    QueryQueues(W4Notifier::eWorkgroupQueue, queues);
    EXPECT_THAT(queues, ElementsAre(kQueue));
    std::vector<CEntityId> contents{kQueue};
    EXPECT_FALSE(QueryQueueContents(kQueue, contents));
    EXPECT_THAT(contents, IsEmpty());
  }
}

TEST_F(QueueAdministrationTest, WithoutAConnectionNothingIsSent) {
  RemoveConnection();
  CreateQueue(kQueue);
  DeallocateAllInstances(W4Notifier::eUserQueue);
  MonitorStatServerAttributes({Xan_State});
  EXPECT_FALSE(IsQueueActive(kQueue));
  CQmQueueStats stats;
  EXPECT_FALSE(QueryQueueStatistics(kQueue, stats));
  std::vector<CEntityId> queues{kQueue};
  QueryQueues(W4Notifier::eWorkgroupQueue, queues);
  EXPECT_THAT(queues, ElementsAre(kQueue));
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(QueueAdministrationTest, StatisticsOfAKnownQueue) {
  CMessage answer = Body(true);
  answer << CountingStats(10);
  server_->Respond(server_entity_, 8, answer);
  CQmQueueStats stats;
  EXPECT_TRUE(QueryQueueStatistics(kQueue, stats));
  EXPECT_EQ(stats, CountingStats(10));
  EXPECT_THAT(SentFields(server_entity_, 8), ElementsAre("int 3, int 77"));
}

TEST_F(QueueAdministrationTest, Statistics2KeepTheSecondOfTwoRecords) {
  CMessage answer = Body(true);
  answer << Stats2(100, 7) << Stats2(200, 9);
  server_->Respond(server_entity_, 8, answer);
  CQmQueueStats2 stats;
  EXPECT_TRUE(QueryQueueStatistics(kQueue, stats));
  EXPECT_EQ(stats, Stats2(200, 9));
  EXPECT_THAT(SentFields(server_entity_, 8), ElementsAre("int 3, int 77"));
}

TEST_F(QueueAdministrationTest, StatisticsOfAnUnknownQueueAreDefault) {
  server_->Respond(server_entity_, 8, Body(false));
  CQmQueueStats stats = CountingStats(1);
  EXPECT_FALSE(QueryQueueStatistics(kQueue, stats));
  EXPECT_EQ(stats, CQmQueueStats());
  CQmQueueStats2 stats2 = Stats2(4, 1);
  EXPECT_FALSE(QueryQueueStatistics(kQueue, stats2));
  EXPECT_EQ(stats2, CQmQueueStats2());
}

TEST_F(QueueAdministrationTest, TruncatedStatisticsLeaveTheOutputAlone) {
  CMessage oneRecord = Body(true);
  oneRecord << Stats2(100, 7);
  server_->Respond(server_entity_, 8, oneRecord);
  CQmQueueStats2 stats2 = Stats2(4, 1);
  EXPECT_FALSE(QueryQueueStatistics(kQueue, stats2));
  EXPECT_EQ(stats2, Stats2(4, 1));
  server_->Respond(server_entity_, 8, Body(true, 1u, 2u, 3u));
  CQmQueueStats stats = CountingStats(1);
  EXPECT_FALSE(QueryQueueStatistics(kQueue, stats));
  EXPECT_EQ(stats, CountingStats(1));
}

TEST_F(QueueAdministrationTest, QueryQueuesReplacesTheList) {
  server_->Respond(server_entity_, 18,
                   Body(std::int32_t{2}, std::int32_t{3}, std::int32_t{77}, std::int32_t{3},
                        std::uint32_t{0xFFFFFFFEu}));
  std::vector<CEntityId> queues(5);
  QueryQueues(W4Notifier::eWorkgroupQueue, queues);
  EXPECT_THAT(queues, ElementsAre(kQueue, CEntityId(W4Notifier::eWorkgroupQueue, 0xFFFFFFFEu)));
  EXPECT_THAT(SentFields(server_entity_, 18), ElementsAre("int 3"));
  server_->Respond(server_entity_, 18, Body(std::int32_t{0}));
  QueryQueues(W4Notifier::eWorkgroupQueue, queues);
  EXPECT_THAT(queues, IsEmpty());
}

TEST_F(QueueAdministrationTest, MalformedQueueListsLeaveTheListAlone) {
  for (const CMessage& body :
       {Body(std::int32_t{2}, std::int32_t{3}, std::int32_t{77}),
        Body(std::numeric_limits<std::int32_t>::max(), std::int32_t{3}, std::int32_t{77}),
        Body(std::int32_t{1}, std::int32_t{3})}) {
    SCOPED_TRACE(body.DescribeFields());
    server_->Respond(server_entity_, 18, body);
    std::vector<CEntityId> queues{kQueue};
    QueryQueues(W4Notifier::eWorkgroupQueue, queues);
    EXPECT_THAT(queues, ElementsAre(kQueue));
    server_->Respond(server_entity_, 4, body);
    std::vector<CEntityId> contents{kQueue};
    EXPECT_FALSE(QueryQueueContents(kQueue, contents));
    EXPECT_THAT(contents, IsEmpty());
  }
}

TEST_F(QueueAdministrationTest, QueryQueueContentsReadsTheServersList) {
  const CEntityId first(W4Notifier::eConferenceInteraction, 42u);
  const CEntityId second(W4Notifier::eChatConferenceInteraction, 43u);
  server_->Respond(server_entity_, 4,
                   Body(std::int32_t{2}, std::int32_t{20}, std::int32_t{42}, std::int32_t{100},
                        std::int32_t{43}));
  std::vector<CEntityId> contents{kQueue};
  EXPECT_TRUE(QueryQueueContents(kQueue, contents));
  EXPECT_THAT(contents, ElementsAre(first, second));
  EXPECT_THAT(SentFields(server_entity_, 4), ElementsAre("int 3, int 77"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(true));
}

}  // namespace
}  // namespace QueueManager::testing
