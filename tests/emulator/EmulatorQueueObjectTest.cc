// The legacy queue object functions against the server emulator.

#include <sstream>

#include "QueueManager/QueueObjects.h"
#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

using QueueObjectTest = EmulatorTest;

TEST_F(QueueObjectTest, ObjectsWithAllocatedIdsMoveOnTheServersQueues) {
  const std::uint32_t first = AllocateQueueObjectId(3);
  EXPECT_EQ(AllocateQueueObjectId(3), first + 1);  // from the same block
  const CEntityId object(W4Notifier::eGenericObject, first);
  InsertObjectOnQueues(object, {kSales, kSupport});
  EXPECT_EQ(MoveQueueObject(object, kSupport, kSales), 1);
  W4Notifier::CEntityIdArray queues;
  EXPECT_EQ(QueryQueuesContainingObject(object, queues), 1);
  RemoveObjectFromAllQueues(object);
  EXPECT_THAT(emulator_->Interaction(first)->queues, ::testing::IsEmpty());
  EXPECT_EQ(MoveQueueObject(CEntityId(W4Notifier::eGenericObject, first + 1), kSales, {}), 0);
  EXPECT_GT(Add({}), first + 2);  // the block's ids stay reserved
}

TEST_F(QueueObjectTest, CountsAndSelectionsFollowTheStates) {
  Add({{u"Xan_State", u"H"}});
  const std::uint32_t onSales = Add({{u"Xan_State", u"A"}});
  const std::uint32_t onSupport = Add({{u"Xan_State", u"O"}}, {kSupport});
  EXPECT_EQ(QueryActiveQueueObjectCount(kSales, kCall) +
                QueryActiveHeldQueueObjectCount(kSales, kCall) +
                QueryActiveHeldQueueObjectCount(kSales, kChat),
            2);
  std::ostringstream support, sales;
  support << kSupport;
  sales << kSales;
  std::uint32_t selected = 0;
  for (const std::uint32_t expected : {onSupport, onSales, 0U}) {
    EXPECT_EQ(SelectCall({support.str(), sales.str()}, 0, selected), expected != 0);
    EXPECT_EQ(selected, expected);
  }
  EXPECT_EQ(Value(onSales, kState), u"C");  // taken
}

}  // namespace
}  // namespace QueueManager::Emulator
