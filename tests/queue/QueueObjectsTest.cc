// The procedural queue object functions against the scripted server.

#include "QueueManager/QueueObjects.h"

#include <gmock/gmock.h>

#include "queue/ObjectIdBlock.h"
#include "requests/RequestFields.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using I = std::int32_t;
using U = std::uint32_t;
const CEntityId kObject(W4Notifier::eGenericObject, 500u);
const CEntityId kRequests = InteractionEntity(500);
const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);
const CEntityId kUser(W4Notifier::eUserQueue, 5u);

class QueueObjectsTest : public RequestTest {};

// Each function's remove-from and add-to lists; a move onto the queue it
// comes from sends nothing.
TEST_F(QueueObjectsTest, MovesSendTheObjectAndBothLists) {
  server_->Respond(kRequests, 7, Body(I{5}));
  InsertObjectOnQueue(kObject, kQueue, "ignored", 7);
  InsertObjectOnQueues(kObject, {kQueue, kUser});
  InsertObjectOnQueues(kObject, {});
  RemoveObjectFromQueue(kObject, kUser);
  RemoveObjectFromQueues(kObject, {kQueue});
  RemoveObjectFromQueues(kObject, {});
  RemoveObjectFromAllQueues(kObject);
  EXPECT_EQ(MoveQueueObject(kObject, kQueue, kUser), 5);
  EXPECT_EQ(MoveQueueObject(kObject, CEntityId(), kUser), 5);
  EXPECT_EQ(MoveQueueObject(kObject, kQueue, kQueue), 1);
  EXPECT_THAT(SentFields(kRequests, 7),
              ElementsAre("int 70, int 500, int 0, int 0, int 1, int 3, int 77",
                          "int 70, int 500, int 0, int 0, int 2, int 3, int 77, int 9, int 5",
                          "int 70, int 500, int 1, int 9, int 5, int 0, int 0",
                          "int 70, int 500, int 1, int 3, int 77, int 0, int 0",
                          "int 70, int 500, int 1, int 0, int 0, int 0, int 0",
                          "int 70, int 500, int 1, int 3, int 77, int 0, int 1, int 9, int 5",
                          "int 70, int 500, int 0, int 0, int 1, int 9, int 5"));
  EXPECT_THAT(RequestsAwaited(), ::testing::Each(true));
  ForEachFailure(kRequests, {7}, Body(I{5}),
                 [] { EXPECT_EQ(MoveQueueObject(kObject, kQueue, kUser), 0); });
}

TEST_F(QueueObjectsTest, ActiveCountsAndContainingQueues) {
  const std::tuple<CMessage, int, int> answers[] = {
      {Body(true, false), 1, 1},
      {Body(false, true), 0, 1},
      {Body(false, false), 0, 0},
      {Body(true), 0, 0},  // cut short: nothing is known
  };
  for (const auto& [answer, active, either] : answers) {
    SCOPED_TRACE(answer.DescribeFields());
    server_->Respond(ServerEntity(), 9, answer);
    EXPECT_EQ(QueryActiveQueueObjectCount(kQueue, W4Notifier::eGenericObject), active);
    EXPECT_EQ(QueryActiveHeldQueueObjectCount(kQueue, W4Notifier::eGenericObject), either);
  }
  EXPECT_THAT(SentFields(ServerEntity(), 9), ::testing::Each("int 3, int 77, int 70"));
  EXPECT_EQ(QueryActiveHeldQueueObjectCount(CEntityId(), W4Notifier::eGenericObject), 0);

  server_->Respond(kRequests, 6, Body(I{2}, I{3}, I{77}, I{9}, I{5}));
  W4Notifier::CEntityIdArray queues{kObject};
  EXPECT_EQ(QueryQueuesContainingObject(kObject, queues), 2);
  EXPECT_THAT(queues, ElementsAre(kQueue, kUser));
  server_->Respond(kRequests, 6, Body(I{2}, I{3}, I{77}));
  EXPECT_EQ(QueryQueuesContainingObject(kObject, queues), 0);
  EXPECT_THAT(queues, IsEmpty());
  EXPECT_THAT(SentFields(kRequests, 6), ElementsAre("", ""));
  EXPECT_EQ(RequestCount(), 10u);  // the unset queue asked nothing
}

// One request per block; 0 and 0xFFFFFFFF are never handed out; a block
// that cannot be had gives 0.
TEST_F(QueueObjectsTest, ObjectIdsComeFromServerBlocks) {
  const CEntityId allocator = InteractionEntity(W4Notifier::kAllObjects);
  const std::pair<CMessage, std::vector<U>> blocks[] = {
      {Body(U{1000}, I{3}), {1000, 1001, 1002}},
      {Body(U{0}, I{3}), {1, 2}},
      {Body(U{0xFFFFFFFDu}, I{5}), {0xFFFFFFFDu, 0xFFFFFFFEu}},
      {Body(U{0xFFFFFFFFu}, I{5}), {0}},
      {Body(U{40}, I{0}), {0}},
      {Body(U{40}), {0}},
  };
  CObjectIdBlock block;
  for (const auto& [answer, ids] : blocks) {
    SCOPED_TRACE(answer.DescribeFields());
    server_->Respond(allocator, 35, answer);
    server_->ClearTraffic();
    for (U id : ids) EXPECT_EQ(block.Allocate(3), id);
    EXPECT_THAT(SentFields(allocator, 35), ElementsAre("int 3"));
  }
  server_->Respond(allocator, 35, Body(U{7}, I{2}));
  EXPECT_EQ(AllocateQueueObjectId(2), 7u);
  EXPECT_EQ(AllocateQueueObjectId(2), 8u);
  RemoveConnection();
  EXPECT_EQ(block.Allocate(3), 0u);
}

// Plain names are workgroup queues, names with ':' after their first
// character scoped names; what names nothing is left out.
TEST_F(QueueObjectsTest, SelectCallParsesNamesAndRefusesNoCall) {
  CMessage expected;
  expected << I{4};
  QueueManager::requests::WriteEntityList(
      expected,
      {CEntityId(W4Notifier::eWorkgroupQueue, u"Sales"), CEntityId(W4Notifier::eUserQueue, u"bob"),
       kQueue, CEntityId(W4Notifier::eWorkgroupQueue, u":odd")});
  const std::vector<std::string> names = {"Sales", "UserQueue:bob", "WorkgroupQueue:#77", ":odd",
                                          "",      "NoSuchType:x"};
  const std::pair<CMessage, U> answers[] = {
      {Body(U{321}), 321}, {Body(U{0}), 0}, {Body(U{0xFFFFFFFFu}), 0}, {Body(true), 0}};
  for (const auto& [answer, selected] : answers) {
    SCOPED_TRACE(answer.DescribeFields());
    server_->Respond(ServerEntity(), 12, answer);
    U id = 99;
    EXPECT_EQ(SelectCall(names, 4, id), selected != 0);
    EXPECT_EQ(id, selected);
  }
  EXPECT_THAT(SentFields(ServerEntity(), 12), ::testing::Each(expected.DescribeFields()));
  server_->ClearTraffic();
  U id = 99;
  EXPECT_FALSE(SelectCall({"", "x:"}, 4, id));
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(QueueObjectsTest, QueueItemsAreTheQueueContents) {
  server_->Respond(ServerEntity(), 4, Body(I{2}, I{70}, I{500}, I{20}, I{7}));
  std::vector<sQueueItem> items(3);
  EXPECT_EQ(RequestQueueItems(kQueue, items), 2);
  EXPECT_THAT(items, ElementsAre(sQueueItem{70, 500}, sQueueItem{20, 7}));
  server_->Respond(ServerEntity(), 4, Body(I{2}));
  EXPECT_EQ(RequestQueueItems(kQueue, items), -1);
  EXPECT_THAT(items, IsEmpty());
}

}  // namespace
}  // namespace QueueManager::testing
