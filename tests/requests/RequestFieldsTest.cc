#include "requests/RequestFields.h"

#include <gmock/gmock.h>

#include <limits>

#include "QueueManager/Platform/Exceptions.h"

namespace QueueManager::requests {
namespace {

using ::testing::ElementsAre;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::CNotifierExtractException;

TEST(RequestFieldsTest, EntitiesAreWrittenAsTypeThenId) {
  CMessage message;
  WriteEntity(message, CEntityId(W4Notifier::eWorkgroupQueue, 77u));
  WriteEntityList(message, {CEntityId(W4Notifier::eUserQueue, 5u),
                            CEntityId(W4Notifier::eStationQueue, 0xFFFFFFFEu)});
  WriteEntityList(message, {});
  EXPECT_EQ(message.DescribeFields(), "int 3, int 77, int 2, int 9, int 5, int 10, int -2, int 0");
}

TEST(RequestFieldsTest, ListsReadBackWhatTheServerSent) {
  CMessage message;
  message << std::int32_t{2} << std::int32_t{3} << std::int32_t{77} << std::int32_t{20}
          << std::uint32_t{0xFFFFFFF0u};
  message << std::int32_t{2} << std::u16string(u"C") << u"";
  message << std::int32_t{2} << std::int32_t{38} << u"C" << std::int32_t{-1} << u"callstate"
          << std::u16string(u"x");
  EXPECT_THAT(ReadEntityList(message),
              ElementsAre(CEntityId(W4Notifier::eWorkgroupQueue, 77u),
                          CEntityId(W4Notifier::eConferenceInteraction, 0xFFFFFFF0u)));
  const std::vector<CQmAttributeValue> values = ReadValueList(message);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].QueryString(), u"C");
  EXPECT_TRUE(values[1].empty());
  const std::vector<CQmAttribute> attributes = ReadAttributeList(message);
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_EQ(attributes[0].QueryName(), Xan_State);
  EXPECT_EQ(attributes[0].QueryValue().QueryString(), u"C");
  // A text that names a standard key reads as that key.
  EXPECT_EQ(attributes[1].QueryName().QueryW4AttributeName(), 105);
  EXPECT_EQ(attributes[1].QueryValue().QueryString(), u"x");
  EXPECT_TRUE(message.IsAtEndOfData());
}

TEST(RequestFieldsTest, ACountOfZeroOrLessIsTheEmptyList) {
  CMessage message;
  message << std::int32_t{0} << std::int32_t{-4} << std::int32_t{-1};
  EXPECT_TRUE(ReadEntityList(message).empty());
  EXPECT_TRUE(ReadValueList(message).empty());
  EXPECT_TRUE(ReadAttributeList(message).empty());
  EXPECT_TRUE(message.IsAtEndOfData());
}

// A count that the data do not back fails when the data run out; with two
// billion elements announced, reserving in proportion would fail differently
// (bad_alloc) or exhaust memory.
TEST(RequestFieldsTest, ACountBeyondTheDataFailsWithoutAllocatingForIt) {
  constexpr std::int32_t kHuge = std::numeric_limits<std::int32_t>::max();
  CMessage entities;
  entities << kHuge << std::int32_t{3} << std::int32_t{77};
  EXPECT_THROW(ReadEntityList(entities), CNotifierExtractException);
  CMessage values;
  values << kHuge << u"one";
  EXPECT_THROW(ReadValueList(values), CNotifierExtractException);
  CMessage attributes;
  attributes << kHuge << std::int32_t{38} << u"C";
  EXPECT_THROW(ReadAttributeList(attributes), CNotifierExtractException);
}

TEST(RequestFieldsTest, FieldsOfAnotherTypeFail) {
  CMessage halfEntity;
  halfEntity << std::int32_t{1} << std::int32_t{3};
  EXPECT_THROW(ReadEntityList(halfEntity), CNotifierExtractException);
  CMessage numberAsValue;
  numberAsValue << std::int32_t{1} << std::int32_t{5};
  EXPECT_THROW(ReadValueList(numberAsValue), CNotifierExtractException);
  CMessage noCount;
  noCount << u"text";
  EXPECT_THROW(ReadEntityList(noCount), CNotifierExtractException);
}

}  // namespace
}  // namespace QueueManager::requests
