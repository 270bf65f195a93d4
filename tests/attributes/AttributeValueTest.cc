// Attribute values: text forms of typed values, typed queries, comparisons,
// trace output, date-time texts and localized display text.

#include "QueueManager/AttributeValue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/Platform/Resources.h"
#include "QueueManager/Platform/Text.h"
#include "platform/os/ScopedTimeZone.h"

namespace QueueManager {
namespace {

TEST(AttributeValue, TypedValuesNarrowTextAndTheirTexts) {
  EXPECT_TRUE(CQmAttributeValue(false).empty());
  EXPECT_EQ(CQmAttributeValue(true).QueryString(), u"1");
  EXPECT_EQ(CQmAttributeValue(0).QueryString(), u"0");
  EXPECT_EQ(CQmAttributeValue(-12).QueryString(), u"-12");
  EXPECT_EQ(CQmAttributeValue(INT32_MIN).QueryString(), u"-2147483648");
  EXPECT_EQ(CQmAttributeValue(std::uint32_t{UINT32_MAX}).QueryString(), u"4294967295");
  EXPECT_EQ(CQmAttributeValue(eXAN_STATE_HELD).QueryString(), u"H");
  EXPECT_EQ(CQmAttributeValue(eXAN_DIRECTION_OUTBOUND).QueryString(), u"O");
  EXPECT_EQ(CQmAttributeValue(static_cast<eXAN_ATTRVALUE_CALL_TYPE>(u'V')).QueryString(), u"V");
  // "None" is the empty value, not a text holding U+0000.
  EXPECT_TRUE(CQmAttributeValue(eXAN_PARTY_NONE).empty());
  EXPECT_EQ(CQmAttributeValue(eXAN_PARTY_STATION).QueryInteractionParty(), eXAN_PARTY_STATION);
  EXPECT_EQ(CQmAttributeValue(u"Ix").QueryInteractionDirection(), eXAN_DIRECTION_INBOUND);
  EXPECT_EQ(CQmAttributeValue().QueryInteractionState(), eXAN_STATE_NONE);
  // Narrow text is strict UTF-8.
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

TEST(AttributeValue, BooleanTextsComparisonsAndTraces) {
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

  // Values compare by code units; the trace text marks lists and escapes line ends.
  const CQmAttributeValue a(u"a");
  EXPECT_NE(a, CQmAttributeValue(u"A"));
  EXPECT_LT(CQmAttributeValue(u"B"), a);  // code units, not letters
  EXPECT_LT(a, CQmAttributeValue(u"a|"));
  EXPECT_TRUE(a == "a" && a != "A" && a > "B" && a >= "a" && a <= "\xC3\xA4" && a < "b");
  EXPECT_TRUE(CQmAttributeValue() == "\xC3");  // invalid UTF-8 is the empty text
  // The trace text marks lists and escapes line ends.
  EXPECT_EQ(ToTraceText(CQmAttributeValue(u"a|b")), "{a|b}");
  EXPECT_EQ(ToTraceText(CQmAttributeValue(u"line1\r\nline2")), "line1\\nline2");
  EXPECT_EQ(ToTraceText(CQmAttributeValue(u"\u00FC\xD800")), "\xC3\xBC\xEF\xBF\xBD");
  std::ostringstream out;
  out << CQmAttributeValue(u"x|\n");
  EXPECT_EQ(out.str(), "{x|\\n}");
  EXPECT_EQ(fmt::format("<{}>", CQmAttributeValue(u"v")), "<v>");
}

// ---- date-time texts: UTC and local forms, validity rules ----

using Fields = CW4DateTime::CalendarFields;

CW4DateTime Utc(const Fields& fields) { return *CW4DateTime::FromUtcFields(fields); }

using W4Os::testing::ScopedTimeZone;

TEST(DateTimeText, WritesFifteenCharactersInUtcAndListsElementByElement) {
  EXPECT_EQ(CQmAttributeValue(Utc({2007, 1, 2, 3, 4, 5})).QueryString(), u"20070102030405Z");
  EXPECT_EQ(CQmAttributeValue(Utc({1601, 1, 1, 0, 0, 0})).QueryString(), u"16010101000000Z");
  EXPECT_EQ(CQmAttributeValue(Utc({9999, 12, 31, 23, 59, 59})).QueryString(), u"99991231235959Z");
  EXPECT_TRUE(CQmAttributeValue(CW4DateTime()).empty());
  // Lists are written and read element by element.
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

TEST(DateTimeText, ParsesUtcTexts) {
  // Each text and the UTC fields it reads as; none: invalid.
  const std::tuple<std::u16string, std::optional<Fields>> cases[] = {
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
  for (const auto& [text, utc] : cases) {
    SCOPED_TRACE(W4Os::WideToNarrowLossy(text));
    CW4DateTime parsed = Utc({2000, 1, 1, 0, 0, 0});
    EXPECT_EQ(CQmAttributeValue(text).Query(parsed), utc.has_value());
    EXPECT_EQ(parsed, utc ? Utc(*utc) : CW4DateTime());
    EXPECT_EQ(CQmAttributeValue(text).QueryTime(), parsed);
  }
  CW4DateTime parsed = Utc({2000, 1, 1, 0, 0, 0});
  EXPECT_TRUE(CQmAttributeValue().Query(parsed));  // the empty text is valid and not set
  EXPECT_FALSE(parsed.IsSet());

  // A text without Z is local time.
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

// ---- localized display text from templates with resource tokens and arguments ----

constexpr std::uint16_t kGerman = 0x0407;

class LocalizedValue : public ::testing::Test {
 protected:
  void TearDown() override { W4Clnt::ClearRegisteredStrings(); }

  static std::u16string Localized(std::u16string_view text, std::uint16_t language = 0) {
    return CQmAttributeValue(text).QueryLocalizedValue(language);
  }
};

TEST_F(LocalizedValue, ResourceTokensArgumentsAndRegisteredStrings) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"plain text", u"plain text"},
      {u"%1001%", u"Connected"},
      {u"[%1000%/%1002%]", u"[Alerting/Held]"},
      {u"%%1001%", u"%Connected"},
      {u"%1001", u"%1001"},
      {u"50% off%1001%", u"50% offConnected"},
      {u"%ab%", u"%ab%"},
      {u"%4711%", u"%4711%"},               // unknown id stays
      {u"%4711%1001%", u"%4711Connected"},  // its closing "%" opens the next token
      {u"%0UNKNOWNNAME0%", u"Unknown Name"},
      {u"%0unknownname0%", u"%0unknownname0%"},
      {u"%4294968297%", u"%4294968297%"},  // 2^32 + 1001 does not wrap to 1001
      {u"%00001001%", u"Connected"},
      {u"%1% and %2%|first|second arg", u"first and second arg"},
      {u"%1%%2%|a much longer argument|b", u"a much longer argumentb"},
      {u"%3%|a|b", u"%3%"},
      {u"%1%|%1002%", u"Held"},  // arguments are localized too
      {u"%2%|a|b|", u"b"},
      {u"%2%|a|", u"%2%"},    // a final separator adds no argument
      {u"[%1%]|", u"[]"},     // a lone final separator: one empty argument
      {u"%1x%2|a|b", u"ab"},  // any character closes a placeholder
      {u"%1|a", u"a"},
      {u"%1%|%2%|x", u"%2%"},  // arguments are not scanned
  };
  for (const auto& [text, localized] : cases) {
    EXPECT_EQ(Localized(text), localized) << W4Os::WideToNarrowLossy(text);
  }

  // Registered strings are taken in the requested language and expanded in turn, up to the limit.
  ASSERT_TRUE(W4Clnt::RegisterString(kGerman, 1001, "Verbunden \xC3\xBC"));
  const CQmAttributeValue value(u"%1001%");
  EXPECT_EQ(value.QueryLocalizedValue(kGerman), u"Verbunden \u00FC");
  EXPECT_EQ(value.QueryLocalizedValue(0x0409), u"Connected");
  EXPECT_EQ(value.QueryString(), u"%1001%");
  // Registered strings are expanded in turn.
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5000, "state: %1001%"));
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5001, "%1%"));
  EXPECT_EQ(Localized(u"<%5000%>"), u"<state: Connected>");
  // Argument placeholders may come from the localized text itself.
  EXPECT_EQ(Localized(u"%5001%|arg"), u"arg");
  // Self-expanding strings stop at the limit.
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5002, "a%5002%"));
  EXPECT_EQ(Localized(u"%5002%"), std::u16string(256, u'a') + u"%5002%");
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5004, "b%5005%"));
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5005, "c%5004%"));
  const std::u16string cycle = Localized(u"%5004%|x");
  EXPECT_EQ(cycle.size(), 256u + 6u);
  EXPECT_EQ(cycle.substr(0, 4), u"bcbc");

  // Each expansion doubles the tokens: the length limit stops it first.
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5003, std::string(4000, 'x') + "%5003%%5003%"));
  const std::u16string doubled = Localized(u"%5003%");
  EXPECT_LE(doubled.size(), 65536u);
  EXPECT_GT(doubled.size(), 60000u);
}

}  // namespace
}  // namespace QueueManager
