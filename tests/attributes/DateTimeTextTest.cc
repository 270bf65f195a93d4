// Date-time texts of attribute values: UTC and local forms, validity rules.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/Text.h"
#include "platform/os/ScopedTimeZone.h"

namespace QueueManager {
namespace {

using Fields = CW4DateTime::CalendarFields;

CW4DateTime Utc(const Fields& fields) { return *CW4DateTime::FromUtcFields(fields); }

using W4Os::testing::ScopedTimeZone;

struct CParseCase {
  std::u16string text;
  std::optional<Fields> utc;  // none: invalid
};

TEST(DateTimeText, WritesFifteenCharactersInUtc) {
  EXPECT_EQ(CQmAttributeValue(Utc({2007, 1, 2, 3, 4, 5})).QueryString(), u"20070102030405Z");
  EXPECT_EQ(CQmAttributeValue(Utc({1601, 1, 1, 0, 0, 0})).QueryString(), u"16010101000000Z");
  EXPECT_EQ(CQmAttributeValue(Utc({9999, 12, 31, 23, 59, 59})).QueryString(), u"99991231235959Z");
  EXPECT_TRUE(CQmAttributeValue(CW4DateTime()).empty());
}

TEST(DateTimeText, ParsesUtcTexts) {
  const CParseCase cases[] = {
      {u"20070102030405Z", Fields{2007, 1, 2, 3, 4, 5}},
      {u"20070102030405z", Fields{2007, 1, 2, 3, 4, 5}},
      {u"20070102Z", Fields{2007, 1, 2, 0, 0, 0}},
      {u"2007010203Z", Fields{2007, 1, 2, 3, 0, 0}},
      {u"20000229Z", Fields{2000, 2, 29, 0, 0, 0}},
      {u"16010101Z", Fields{1601, 1, 1, 0, 0, 0}},
      {u"2007Z", std::nullopt},                // month 0
      {u"200701Z", std::nullopt},              // day 0
      {u"2007010203040Z", std::nullopt},       // a field cut to one digit
      {u"19000229Z", std::nullopt},            // not a leap year
      {u"16001231235959Z", std::nullopt},      // before 1601
      {u"20071301Z", std::nullopt},            // month 13
      {u"20070102240000Z", std::nullopt},      // hour 24
      {u"20070102006000Z", std::nullopt},      // minute 60
      {u"20070102030405ZZ", std::nullopt},     // text after the Z
      {u"20070102Z|20080102Z", std::nullopt},  // a list is not one date-time
      {u"2007-01-02Z", std::nullopt},
      {u"207Z", std::nullopt},
      {u" 20070102Z", std::nullopt},
      {u"2007\uFF1001\u0660Z", std::nullopt},  // only ASCII digits
  };
  for (const CParseCase& test : cases) {
    SCOPED_TRACE(W4Os::WideToNarrowLossy(test.text));
    CW4DateTime parsed = Utc({2000, 1, 1, 0, 0, 0});
    EXPECT_EQ(CQmAttributeValue(test.text).Query(parsed), test.utc.has_value());
    EXPECT_EQ(parsed, test.utc ? Utc(*test.utc) : CW4DateTime());
    EXPECT_EQ(CQmAttributeValue(test.text).QueryTime(), parsed);
  }
  CW4DateTime parsed = Utc({2000, 1, 1, 0, 0, 0});
  EXPECT_TRUE(CQmAttributeValue().Query(parsed));  // the empty text is valid and not set
  EXPECT_FALSE(parsed.IsSet());
}

TEST(DateTimeText, TextWithoutZIsLocalTime) {
  {
    const ScopedTimeZone zone("UTC0");
    EXPECT_EQ(CQmAttributeValue(u"20070102030405").QueryTime(), Utc({2007, 1, 2, 3, 4, 5}));
    EXPECT_FALSE(CQmAttributeValue(u"2007010203040").QueryTime().IsSet());
    EXPECT_FALSE(CQmAttributeValue(u"2007").QueryTime().IsSet());
  }
  const ScopedTimeZone zone(W4Os::testing::kCentralEurope);
  EXPECT_EQ(CQmAttributeValue(u"20070102030405").QueryTime(), Utc({2007, 1, 2, 2, 4, 5}));
  EXPECT_EQ(CQmAttributeValue(u"20070702030405").QueryTime(), Utc({2007, 7, 2, 1, 4, 5}));
  EXPECT_EQ(CQmAttributeValue(u"20070702").QueryTime(), Utc({2007, 7, 1, 22, 0, 0}));
  // Written back in UTC.
  EXPECT_EQ(CQmAttributeValue(CQmAttributeValue(u"20070702030405").QueryTime()).QueryString(),
            u"20070702010405Z");
  // 1601-01-01 00:00 at UTC+1 lies before the first representable instant.
  EXPECT_FALSE(CQmAttributeValue(u"16010101").QueryTime().IsSet());
}

TEST(DateTimeText, ListsReadElementByElement) {
  const CW4DateTime first = Utc({2007, 1, 2, 3, 4, 5});
  const CW4DateTime second = Utc({2008, 2, 29, 0, 0, 0});
  const CQmAttributeValue list(std::vector<CW4DateTime>{first, CW4DateTime(), second});
  EXPECT_EQ(list.QueryString(), u"20070102030405Z||20080229000000Z");
  std::vector<CW4DateTime> parsed(5, first);
  EXPECT_TRUE(list.QueryVector(parsed));
  EXPECT_EQ(parsed, (std::vector<CW4DateTime>{first, CW4DateTime(), second}));

  std::vector<CW4DateTime> partial = {second, second, second};
  EXPECT_FALSE(CQmAttributeValue(u"20070102030405Z|bad|20070102030405Z").QueryVector(partial));
  EXPECT_EQ(partial, (std::vector<CW4DateTime>{first, CW4DateTime(), second}));
}

}  // namespace
}  // namespace QueueManager
