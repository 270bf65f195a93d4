// Queue queries for a queue that a monitor of this process watches: the
// monitor cache answers them without a request.

#include <gmock/gmock.h>

#include "QueueManager/QueueAdministration.h"
#include "monitor/QmCache.h"
#include "requests/WatchedQueue.h"

namespace QueueManager::testing {
namespace {

using ::testing::UnorderedElementsAre;

const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 2001u);

CQmQueueStats Counting(std::uint32_t first) {
  CQmQueueStats::Counters counters;
  for (std::uint32_t& counter : counters) counter = first++;
  return CQmQueueStats(counters);
}

CQmQueueStats2 Stats2() {
  CQmQueueStats2 stats;
  stats.SetTotalConnectionCallCount(12);
  stats.SetDisconnectedConnectionCallCount(3);
  stats.media_type_maps()[W4Notifier::eConferenceInteraction].Held = 2;
  return stats;
}

class CachedQueueQueriesTest : public RequestTest {
 protected:
  void SetUp() override {
    RequestTest::SetUp();
    watched_ = std::make_unique<WatchedQueue>(
        *server_, kQueue, std::vector<CQmAttributeName>{Xan_State}, Counting(30), Stats2(),
        std::vector<CachedInteraction>{{W4Notifier::eConferenceInteraction, 6001, {}},
                                       {W4Notifier::eChatConferenceInteraction, 6002, {}},
                                       {W4Notifier::eConferenceInteraction, 6003, {}}});
  }
  void TearDown() override {
    watched_.reset();
    RequestTest::TearDown();
  }

  std::unique_ptr<WatchedQueue> watched_;
};

TEST_F(CachedQueueQueriesTest, ContentsComeFromTheCacheInItsOrder) {
  std::vector<CEntityId> contents{kQueue};
  EXPECT_TRUE(QueryQueueContents(kQueue, contents));
  EXPECT_THAT(contents,
              UnorderedElementsAre(CEntityId(W4Notifier::eConferenceInteraction, 6001u),
                                   CEntityId(W4Notifier::eChatConferenceInteraction, 6002u),
                                   CEntityId(W4Notifier::eConferenceInteraction, 6003u)));
  std::vector<InteractionId> ids;
  ASSERT_TRUE(CQmCache::Instance().QueryQueueContents(kQueue, ids));
  ASSERT_EQ(ids.size(), contents.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(contents[i].QueryObjectId(), ids[i].QueryObjectId());
  }
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(CachedQueueQueriesTest, StatisticsComeFromTheCache) {
  CQmQueueStats stats;
  EXPECT_TRUE(QueryQueueStatistics(kQueue, stats));
  EXPECT_EQ(stats, Counting(30));
  CQmQueueStats2 stats2;
  EXPECT_TRUE(QueryQueueStatistics(kQueue, stats2));
  EXPECT_EQ(stats2, Stats2());
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(CachedQueueQueriesTest, AQueueNoLongerWatchedIsAskedFor) {
  watched_->Deactivate();
  server_->Respond(ServerEntity(), 4, Body(std::int32_t{0}));
  std::vector<CEntityId> contents{kQueue};
  EXPECT_TRUE(QueryQueueContents(kQueue, contents));
  EXPECT_TRUE(contents.empty());
  EXPECT_EQ(RequestCount(), 1u);
}

}  // namespace
}  // namespace QueueManager::testing
