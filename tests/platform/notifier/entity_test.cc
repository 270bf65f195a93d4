#include <gtest/gtest.h>

#include <set>

#include "QueueManager/Platform/EntityId.h"

namespace W4Notifier {
namespace {

TEST(EntityIdTest, NamedEntitiesIgnoreLetterCaseAndAvoidReservedIds) {
  const CEntityId a(eWorkgroupQueue, u"Sales");
  const CEntityId b(eWorkgroupQueue, "SALES");
  EXPECT_TRUE(a.IsSet());
  EXPECT_EQ(a, b);
  EXPECT_NE(a, CEntityId(eUserQueue, u"Sales"));  // same name, other type
  EXPECT_NE(a, CEntityId(eWorkgroupQueue, u"Support"));
  for (int i = 0; i < 5000; ++i) {
    const std::uint32_t id = CEntityId::ObjectIdFromName(std::u16string(1, char16_t(i)) + u"q");
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, kAllObjects);
  }
}

TEST(EntityIdTest, ScopedNamesRoundTrip) {
  const CEntityId queue(eWorkgroupQueue, u"Sales");
  EXPECT_EQ(queue.QueryScopedName().str(), u"WorkgroupQueue:Sales");
  const CEntityId server(eQueueManagerServer, kAllObjects);
  EXPECT_EQ(server.QueryScopedName().str(), u"QueueManager:#4294967295");
  EXPECT_EQ(CEntityId(static_cast<ObjectTypes>(57), 3u).QueryScopedName().str(), u"57:#3");

  CEntityId parsed;
  ASSERT_TRUE(parsed.SetFromScopedName(u"userqueue:alice"));
  EXPECT_EQ(parsed, CEntityId(eUserQueue, u"Alice"));
  ASSERT_TRUE(parsed.SetFromScopedName("QueueManager:#4294967295"));
  EXPECT_EQ(parsed, server);
  ASSERT_TRUE(parsed.SetFromScopedName(u"57:name"));
  EXPECT_EQ(parsed.QueryObjectType(), 57);
}

TEST(EntityIdTest, AnEntityBuiltFromTheIdOfANamedOneShowsTheName) {
  const CEntityId named(eStationQueue, u"Desk 12");
  const CEntityId fromWire(eStationQueue, named.QueryObjectId());
  EXPECT_EQ(fromWire.QueryScopedName().str(), u"StationQueue:Desk 12");
}

TEST(EntityIdTest, BadScopedNamesResetTheEntity) {
  CEntityId entity(eUserQueue, u"bob");
  EXPECT_FALSE(CEntityId().IsSet());
  EXPECT_FALSE(CEntityId(eWorkgroupQueue, u"").IsSet());
  EXPECT_TRUE(CEntityId().QueryScopedName().empty());
  for (const char16_t* bad : {u"", u"noscope", u":leadingcolon", u"UnknownType:x", u"UserQueue:"}) {
    entity = CEntityId(eUserQueue, u"bob");
    EXPECT_FALSE(entity.SetFromScopedName(bad)) << "accepted a bad scoped name";
    EXPECT_FALSE(entity.IsSet());
  }
}

TEST(EntityIdTest, OrderingIsByTypeThenId) {
  std::set<CEntityId> ordered{CEntityId(eUserQueue, 5u), CEntityId(eWorkgroupQueue, 9u),
                              CEntityId(eWorkgroupQueue, 0xFFFFFFFFu), CEntityId()};
  std::vector<CEntityId> expected{CEntityId(), CEntityId(eWorkgroupQueue, 9u),
                                  CEntityId(eWorkgroupQueue, 0xFFFFFFFFu),
                                  CEntityId(eUserQueue, 5u)};
  EXPECT_EQ(std::vector<CEntityId>(ordered.begin(), ordered.end()), expected);
  // The options argument is not part of the identity.
  EXPECT_EQ(CEntityId(eUserQueue, 5u, 0), CEntityId(eUserQueue, 5u, 1));
}

TEST(ObjectTypesTest, NamesOfTheFixedTypesAndNumbersForOthers) {
  EXPECT_EQ(GetNotifierObjectTypeName(eQueueManagerServer).str(), u"QueueManager");
  EXPECT_EQ(GetNotifierObjectTypeName(static_cast<ObjectTypes>(-4)).str(), u"-4");
  for (ObjectTypes t : {eWorkgroupQueue, eObjectTypeEntity, eGenericObject2}) {
    EXPECT_EQ(ObjectTypeFromName(GetNotifierObjectTypeName(t).str()), t);
  }
  EXPECT_FALSE(ObjectTypeFromName(u"99999999999").has_value());
}

}  // namespace
}  // namespace W4Notifier
