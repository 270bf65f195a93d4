// The cache's plain data structures: tables, membership, attribute store,
// monitored-name registry and subscription book.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "monitor/CacheTables.h"
#include "monitor/MessageReaders.h"

namespace QueueManager {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using W4Notifier::CEntityId;

const CEntityId kUserQueue(W4Notifier::eUserQueue, 1u);
const CEntityId kWorkgroupQueue(W4Notifier::eWorkgroupQueue, 3u);

class CacheTablesTest : public ::testing::Test {
 protected:
  QueueRecord& Queue(const CEntityId& queue) { return *tables_.FindOrAddQueue(queue).first; }
  CQmAttributeValue Lookup(std::uint32_t id, eAttributeName name, AttributeLookup expected) {
    CQmAttributeValue value("stale");
    EXPECT_EQ(tables_.QueryAttribute(id, name, value), expected);
    return value;
  }

  CacheTables tables_;
};

TEST_F(CacheTablesTest, AnInteractionIsMonitoredThroughAnyOfItsQueues) {
  tables_.AddToQueue(Queue(kUserQueue), 40, W4Notifier::eGenericObject);
  tables_.AddToQueue(Queue(kWorkgroupQueue), 40, W4Notifier::eGenericObject);
  tables_.Names().Register(W4Notifier::eUserQueue, Xan_State);
  tables_.Names().Register(W4Notifier::eWorkgroupQueue, Xan_UserName);
  EXPECT_EQ(tables_.SetAttribute(40, Xan_State, CQmAttributeValue("C")), AttributeStore::kChanged);
  EXPECT_EQ(tables_.SetAttribute(40, Xan_UserName, CQmAttributeValue("u")),
            AttributeStore::kChanged);
  std::vector<std::uint32_t> departed;
  tables_.DropQueue(kUserQueue, departed);
  EXPECT_THAT(departed, IsEmpty());
  Lookup(40, Xan_State, AttributeLookup::kNotOnMonitoringQueue);
  EXPECT_EQ(Lookup(40, Xan_UserName, AttributeLookup::kFound), "u");
}

TEST(MonitoredNamesTest, RegistersPerObjectTypeWhateverTheNameHolds) {
  MonitoredNames names;
  const CQmAttributeName custom(u"My Custom");
  const CQmAttributeName outsideCatalogue(static_cast<eAttributeName>(5000));
  const CQmAttributeName negative(static_cast<eAttributeName>(-7));
  for (const CQmAttributeName& name :
       {CQmAttributeName(Xan_State), custom, outsideCatalogue, negative}) {
    EXPECT_FALSE(names.IsRegistered(W4Notifier::eUserQueue, name));
    names.Register(W4Notifier::eUserQueue, name);
    EXPECT_TRUE(names.IsRegistered(W4Notifier::eUserQueue, name));
    EXPECT_FALSE(names.IsRegistered(W4Notifier::eWorkgroupQueue, name));
  }
  EXPECT_TRUE(names.IsRegistered(W4Notifier::eUserQueue, CQmAttributeName(u"MY_CUSTOM")));
  EXPECT_THAT(names.Unregistered(W4Notifier::eUserQueue,
                                 {Xan_UserName, Xan_State, CQmAttributeName(u"other"), custom}),
              ElementsAre(CQmAttributeName(Xan_UserName), CQmAttributeName(u"other")));
}

TEST(MessageReadersTest, HugeNameCountFailsWithoutAllocatingForIt) {
  W4Notifier::CMessage message;
  message << std::int32_t{2000000000} << std::int32_t{38};
  EXPECT_THROW(ReadNameList(message), W4Notifier::CNotifierExtractException);
}

TEST(MessageReadersTest, ServerTimeHeaderConvertsToSeconds) {
  W4Notifier::CMessage message;
  const std::uint64_t count = 13'000'000'000ull * 10'000'000ull + 9'999'999ull;
  message << static_cast<std::uint32_t>(count >> 32) << static_cast<std::uint32_t>(count);
  message << std::uint32_t{0x80000000u} << std::uint32_t{0};
  EXPECT_EQ(ReadServerTimeHeader(message), 13'000'000'000);
  EXPECT_EQ(ReadServerTimeHeader(message), kInvalidTime);
}

}  // namespace
}  // namespace QueueManager
