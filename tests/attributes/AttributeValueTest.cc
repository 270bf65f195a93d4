// Attribute values: text forms of typed values, typed queries, comparisons
// and trace output.

#include "QueueManager/AttributeValue.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include <fmt/format.h>

namespace QueueManager {
namespace {

TEST(AttributeValue, TypedValuesAndTheirTexts) {
  EXPECT_TRUE(CQmAttributeValue(false).empty());
  EXPECT_EQ(CQmAttributeValue(true).QueryString(), u"1");
  EXPECT_EQ(CQmAttributeValue(0).QueryString(), u"0");
  EXPECT_EQ(CQmAttributeValue(-12).QueryString(), u"-12");
  EXPECT_EQ(CQmAttributeValue(eXAN_STATE_HELD).QueryString(), u"H");
  EXPECT_EQ(CQmAttributeValue(eXAN_DIRECTION_OUTBOUND).QueryString(), u"O");
  EXPECT_EQ(CQmAttributeValue(static_cast<eXAN_ATTRVALUE_CALL_TYPE>(u'V')).QueryString(), u"V");
  // "None" is the empty value, not a text holding U+0000.
  EXPECT_TRUE(CQmAttributeValue(eXAN_PARTY_NONE).empty());
  EXPECT_EQ(CQmAttributeValue(eXAN_PARTY_STATION).QueryInteractionParty(), eXAN_PARTY_STATION);
  EXPECT_EQ(CQmAttributeValue(u"Ix").QueryInteractionDirection(), eXAN_DIRECTION_INBOUND);
  EXPECT_EQ(CQmAttributeValue().QueryInteractionState(), eXAN_STATE_NONE);
}

TEST(AttributeValue, NarrowTextIsStrictUtf8) {
  EXPECT_EQ(CQmAttributeValue("gr\xC3\xBC\xC3\x9F").QueryString(), u"gr\u00FC\u00DF");
  EXPECT_TRUE(CQmAttributeValue("bad \xC3").empty());
  EXPECT_TRUE(CQmAttributeValue(static_cast<const char*>(nullptr)).empty());
  EXPECT_TRUE(CQmAttributeValue(static_cast<const char16_t*>(nullptr)).empty());
  EXPECT_EQ(CQmAttributeValue(std::string("\xE2\x82\xAC")).QueryString(), u"\u20AC");
  const unsigned short units[] = {u'o', u'k', 0};
  EXPECT_EQ(CQmAttributeValue(units).QueryString(), u"ok");
  CQmAttributeValue value(u"x");
  value = "\xFF";
  EXPECT_TRUE(value.empty());
}

TEST(AttributeValue, BooleanTexts) {
  struct {
    std::u16string text;
    bool value;
    bool valid;
  } const cases[] = {{u"", false, true},  {u"0", false, true},  {u"1", true, true},
                     {u"2", true, false}, {u"00", true, false}, {u"10", true, false}};
  for (const auto& test : cases) {
    bool value = !test.value;
    EXPECT_EQ(CQmAttributeValue(test.text).Query(value), test.valid);
    EXPECT_EQ(value, test.value);
    EXPECT_EQ(CQmAttributeValue(test.text).QueryBool(), test.value);
  }
}

TEST(AttributeValue, ComparesCodeUnits) {
  const CQmAttributeValue a(u"a");
  EXPECT_NE(a, CQmAttributeValue(u"A"));
  EXPECT_LT(CQmAttributeValue(u"B"), a);  // code units, not letters
  EXPECT_LT(a, CQmAttributeValue(u"a|"));
  EXPECT_TRUE(a == "a" && a != "A" && a > "B" && a >= "a" && a <= "\xC3\xA4" && a < "b");
  EXPECT_TRUE(CQmAttributeValue() == "\xC3");  // invalid UTF-8 is the empty text
}

TEST(AttributeValue, TraceText) {
  EXPECT_EQ(ToTraceText(CQmAttributeValue(u"a|b")), "{a|b}");
  EXPECT_EQ(ToTraceText(CQmAttributeValue(u"line1\r\nline2")), "line1\\nline2");
  EXPECT_EQ(ToTraceText(CQmAttributeValue(u"\u00FC\xD800")), "\xC3\xBC\xEF\xBF\xBD");
  std::ostringstream out;
  out << CQmAttributeValue(u"x|\n");
  EXPECT_EQ(out.str(), "{x|\\n}");
  EXPECT_EQ(fmt::format("<{}>", CQmAttributeValue(u"v")), "<v>");
}

}  // namespace
}  // namespace QueueManager
