// The legacy queue object functions against the server emulator.

#include <sstream>

#include "QueueManager/QueueObjects.h"
#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

using QueueObjectTest = EmulatorTest;
using ::testing::IsEmpty;

std::string ScopedName(const CEntityId& queue) {
  std::ostringstream out;
  out << queue;
  return out.str();
}

TEST_F(QueueObjectTest, ObjectsWithAllocatedIdsMoveOnTheServersQueues) {
  const std::uint32_t first = AllocateQueueObjectId(3);
  ASSERT_NE(first, 0U);
  EXPECT_EQ(AllocateQueueObjectId(3), first + 1);  // from the same block
  const CEntityId object(W4Notifier::eGenericObject, first);
  InsertObjectOnQueue(object, kSales, nullptr, 0);
  EXPECT_EQ(emulator_->Interaction(first)->type, W4Notifier::eGenericObject);
  EXPECT_EQ(MoveQueueObject(object, kSales, kSupport), 1);
  W4Notifier::CEntityIdArray queues;
  EXPECT_EQ(QueryQueuesContainingObject(object, queues), 1);
  EXPECT_THAT(queues, ElementsAre(kSupport));
  InsertObjectOnQueues(object, {kSales});
  EXPECT_THAT(emulator_->Interaction(first)->queues, ElementsAre(kSupport, kSales));
  RemoveObjectFromAllQueues(object);
  EXPECT_THAT(emulator_->Interaction(first)->queues, IsEmpty());
  EXPECT_EQ(MoveQueueObject(CEntityId(W4Notifier::eGenericObject, first + 1), kSales, {}), 0);
  EXPECT_GT(Add({}), first + 2);  // the block's ids stay reserved
}

TEST_F(QueueObjectTest, CountsAndSelectionsFollowTheStates) {
  Add({{u"Xan_State", u"C"}});
  Add({{u"Xan_State", u"H"}});
  const std::uint32_t waitingOnSales = Add({{u"Xan_State", u"A"}});
  const std::uint32_t waitingOnSupport = Add({{u"Xan_State", u"O"}}, {kSupport});
  EXPECT_EQ(QueryActiveQueueObjectCount(kSales, kCall), 1);
  EXPECT_EQ(QueryActiveHeldQueueObjectCount(kSales, kCall), 1);
  EXPECT_EQ(QueryActiveHeldQueueObjectCount(kSales, kChat), 0);
  const std::vector<std::string> names{ScopedName(kSupport), ScopedName(kSales)};
  for (const std::uint32_t expected : {waitingOnSupport, waitingOnSales}) {
    std::uint32_t selected = 0;
    EXPECT_TRUE(SelectCall(names, 0, selected));
    EXPECT_EQ(selected, expected);
    EXPECT_EQ(Value(selected, kState), u"C");  // taken
  }
  std::uint32_t selected = 1;
  EXPECT_FALSE(SelectCall(names, 0, selected));
  EXPECT_EQ(selected, 0U);
}

}  // namespace
}  // namespace QueueManager::Emulator
