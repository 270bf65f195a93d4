// Attribute values: text forms of typed values, typed queries, comparisons,
// trace output, date-time texts and localized display text.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/Resources.h"
#include "QueueManager/Platform/Text.h"
#include "QueueManager/QueueStats.h"
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

// Arguments keep their meaning on the way in: no pointer becomes a bool, the
// platform's wide text is text, its 64-bit long types are never cut to 32
// bits, and the spellings callers write with literals compile and do the
// obvious thing, readers of a const message included.

using W4Notifier::CMessage;
using W4Notifier::CNotifierException;

// ---- what must not compile ----

template <class P>
concept ValueTakes = requires(P p) {
  CQmAttributeValue(p);
};
template <class P>
concept EditsTake = requires(CQmAttributeValue v, P p) {
  v.append(p);
  v.insert(p);
  v.insertat(p, 0u);
  v.remove(p);
};
template <class P>
concept AnyEditTakes = requires(CQmAttributeValue v, P p) {
  v.append(p);
}
|| requires(CQmAttributeValue v, P p) { v.insert(p); }
|| requires(CQmAttributeValue v, P p) { v.insertat(p, 0u); }
|| requires(CQmAttributeValue v, P p) { v.remove(p); };
template <class P>
concept ComparisonTakes = requires(CQmAttributeValue v, P p) {
  v == p;
};
template <class P>
concept FindTakesAsExact = requires(CQmAttributeValue v, P p) {
  v.find(v, p);
};
template <class P>
concept MapInsertTakes = requires(CQmAttributeMap m, P p) {
  m.insert(Xan_State, p);
};
template <class P>
concept AttributeTakes = requires(P p) {
  CQmAttribute(CQmAttributeName(Xan_State), p);
};
template <class P>
concept MessageTakes = requires(CMessage m, P p) {
  m << p;
};

template <class P>
constexpr bool kNoValueApiTakes = !ValueTakes<P> && !AnyEditTakes<P> && !ComparisonTakes<P> &&
                                  !MapInsertTakes<P> && !AttributeTakes<P>;

// Pointers that are not text used to become true ("1").
static_assert(kNoValueApiTakes<const int*>);
static_assert(kNoValueApiTakes<const void*>);
static_assert(kNoValueApiTakes<const double*>);
static_assert(!MessageTakes<const int*> && !MessageTakes<const void*>);
// The message has no field for the platform's wide text: the caller converts.
static_assert(!MessageTakes<const wchar_t*> && !MessageTakes<std::wstring>);
// Only a bool says whether find is exact.
static_assert(FindTakesAsExact<bool>);
static_assert(!FindTakesAsExact<const char*> && !FindTakesAsExact<int>);
// Wide literals are text everywhere a value is taken.
static_assert(ValueTakes<const wchar_t*> && EditsTake<const wchar_t*> &&
              ComparisonTakes<const wchar_t*> && MapInsertTakes<const wchar_t*> &&
              AttributeTakes<const wchar_t*>);
// The platform's long types and size_t are taken, not ambiguous.
static_assert(ValueTakes<unsigned long> && EditsTake<unsigned long> && ValueTakes<long> &&
              EditsTake<long> && ValueTakes<std::size_t> && MessageTakes<unsigned long> &&
              MessageTakes<long>);
static_assert(std::is_constructible_v<InteractionId, unsigned long> &&
              std::is_constructible_v<InteractionId, long>);
// Every reader takes a const message, as the server's answers come.
static_assert(requires(const CMessage& m, CQmAttributeName name, CQmAttributeMap map,
                       CQmQueueStats stats, CQmQueueStats2 stats2) {
  name.Read(m);
  map.Read(m);
  m >> stats >> stats2;
  stats2.read(m);
});

// ---- wide text of the platform (UTF-32 here) ----

TEST(WideText, IsConvertedToUtf16ByEveryApi) {
  const wchar_t surrogate[] = {static_cast<wchar_t>(0xD800), 0};
  const wchar_t aboveUnicode[] = {L'a', static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(CQmAttributeValue(L"Sales").QueryString(), u"Sales");
  EXPECT_EQ(CQmAttributeValue(std::wstring(L"\u00e9")).QueryString(), u"\u00e9");
  EXPECT_EQ(CQmAttributeValue(L"\U0001F600").QueryString(), u"\U0001F600");
  EXPECT_EQ(CQmAttributeValue(surrogate).QueryString(), u"");
  EXPECT_EQ(CQmAttributeValue(aboveUnicode).QueryString(), u"");
  EXPECT_EQ(CQmAttributeValue(static_cast<const wchar_t*>(nullptr)).QueryString(), u"");
  CQmAttributeValue v(u"old");
  v = L"new";
  EXPECT_EQ(v.QueryString(), u"new");
  EXPECT_EQ(v.append(L"b").QueryString(), u"new|b");
  EXPECT_EQ(v.insert(L"B"), 1u);
  v.insertat(L"a", 0);
  EXPECT_EQ(v.QueryString(), u"a|new|b");
  EXPECT_FALSE(v.remove(L"zzz"));
  EXPECT_TRUE(v.remove(L"A"));
  EXPECT_EQ(v.QueryString(), u"new|b");
  EXPECT_FALSE(CQmAttributeValue(u"1") == L"x");
  EXPECT_TRUE(CQmAttributeValue(u"x") == L"x");
  EXPECT_EQ(CQmAttributeValue(u"1|x").find(L"x", true), 1u);
  CQmAttributeMap map;
  map.insert(Xan_State, L"x");
  EXPECT_EQ(map.Query(Xan_State).QueryString(), u"x");
  EXPECT_EQ(CQmAttribute(CQmAttributeName(Xan_State), L"C").QueryValue().QueryString(), u"C");
}

// ---- the platform's 64-bit long types where the system means 32 bits ----

std::u16string Text(const CQmAttributeValue& value) { return value.QueryString(); }

TEST(PlatformLong, IsTakenWholeOrRefused) {
  EXPECT_EQ(Text(4294967295UL), u"4294967295");
  EXPECT_EQ(Text(-2147483648L), u"-2147483648");
  EXPECT_EQ(Text(3000000000L), u"3000000000");
  EXPECT_EQ(Text(std::size_t{7}), u"7");
  EXPECT_THROW(Text(0x100000005UL), std::out_of_range);
  EXPECT_THROW(Text(-2147483649L), std::out_of_range);
  EXPECT_THROW(Text(0x100000000L), std::out_of_range);
  CQmAttributeValue v(u"a");
  EXPECT_EQ(Text(v.append(5UL)), u"a|5");
  EXPECT_THROW(v.append(0x100000000UL), std::out_of_range);
  v.insert(5L);
  v.insert(-1L);
  v.insertat(9UL, 0);
  EXPECT_EQ(Text(v), u"9|a|5|-1");
  EXPECT_THROW(v.insert(0x100000005UL), std::out_of_range);
  EXPECT_THROW(v.insertat(-0x100000000L, 0), std::out_of_range);
  EXPECT_THROW(v.remove(0x100000005UL), std::out_of_range);
  CQmAttributeValue big(u"5|4294967301");
  big.remove(5UL);
  EXPECT_EQ(Text(big), u"4294967301");

  unsigned long u = 0;
  long l = 0;
  EXPECT_TRUE(CQmAttributeValue(u"4294967295").Query(u));
  EXPECT_TRUE(CQmAttributeValue(u"-7").Query(l));
  EXPECT_EQ(u, 4294967295UL);
  EXPECT_EQ(l, -7);
  std::vector<unsigned long> values;
  CQmAttributeValue(std::vector<unsigned long>{1, 4294967295UL}).QueryVector(values);
  EXPECT_EQ(values, (std::vector<unsigned long>{1, 4294967295UL}));

  EXPECT_EQ(InteractionId(4294967295UL).QueryObjectId(), 4294967295u);
  EXPECT_EQ(InteractionId(5L).QueryObjectId(), 5u);
  EXPECT_EQ(InteractionId(-1L).QueryObjectId(), 4294967295u);
  EXPECT_THROW(InteractionId(0x100000005UL), std::out_of_range);
  EXPECT_THROW(InteractionId(-2147483649L), std::out_of_range);

  // A message field is the 32-bit one or refused.
  CMessage message;
  message << 4294967295UL << -2147483648L << std::size_t{3} << 0x0123456789ABCDEFull;
  EXPECT_EQ(message.DescribeFields(),
            "uint 4294967295, int -2147483648, uint 3, uint64 81985529216486895");
  EXPECT_THROW(message << 0x100000000UL, CNotifierException);
  EXPECT_THROW(message << 2147483648L, CNotifierException);
  EXPECT_THROW(message << -2147483649L, CNotifierException);
  EXPECT_EQ(message.BodySize(), 3 * 5u + 9u);  // nothing of a refused field

  const CMessage& in = message;
  std::uint32_t u32 = 0;
  unsigned long ul = 0;
  unsigned long wide = 0;
  in >> u32 >> l >> ul >> wide;
  EXPECT_EQ(u32, 4294967295u);
  EXPECT_EQ(l, -2147483648L);
  EXPECT_EQ(ul, 3UL);
  EXPECT_EQ(wide, 0x0123456789ABCDEFUL);  // a std::uint64_t reads the 64-bit field too
  in.Rewind();
  unsigned long long notWide = 0;
  EXPECT_THROW(in >> notWide, W4Notifier::CNotifierExtractException);
}

// Number parsing of attribute values, checked against the C library's own
// wcstoll/wcstoull read as a platform with a 32-bit long would read them, on
// texts that reach every edge: white space, signs, limits, trailing text.

struct CReference {
  std::int32_t signedValue = 0;
  std::uint32_t unsignedValue = 0;
  bool valid = false;
};

// wcstoll/wcstoull over the code units, narrowed to what wcstol/wcstoul give
// with a 32-bit long.
CReference LibraryAnswer(const std::u16string& text) {
  const std::wstring wide(text.begin(), text.end());
  wchar_t* end = nullptr;
  errno = 0;
  const long long asSigned = std::wcstoll(wide.c_str(), &end, 10);
  CReference answer;
  answer.valid = end == wide.c_str() + wide.size();
  answer.signedValue =
      static_cast<std::int32_t>(std::clamp<long long>(asSigned, INT32_MIN, INT32_MAX));
  errno = 0;
  const unsigned long long asUnsigned = std::wcstoull(wide.c_str(), &end, 10);
  const bool magnitudeOverflow = errno == ERANGE;
  // wcstoull negates a "-" number modulo 2^64; wcstoll tells the sign.
  const bool negative = asSigned < 0;
  const unsigned long long magnitude = negative ? 0ULL - asUnsigned : asUnsigned;
  if (magnitudeOverflow || magnitude > UINT32_MAX) {
    answer.unsignedValue = UINT32_MAX;
  } else {
    const auto low = static_cast<std::uint32_t>(magnitude);
    answer.unsignedValue = negative ? 0u - low : low;
  }
  return answer;
}

// Random texts built from pieces that exercise every branch of the
// conversion: white space of the C locale and other blanks, signs, digit runs
// around the 32- and 64-bit limits, letters and non-ASCII code units.
class CTextGenerator {
 public:
  explicit CTextGenerator(std::uint32_t seed) : random_(seed) {}

  // Half of the texts have the shape of a number with some noise around it,
  // the other half are any mix of pieces.
  std::u16string Next() {
    std::u16string text;
    if (Pick(2) == 0) {
      for (int i = Pick(3); i > 0; --i) text += Piece();
      text += std::u16string_view(u" +-").substr(static_cast<std::size_t>(Pick(3)), 1);
      text += Digits(Pick(13));
      if (Pick(3) == 0) text += Piece();
      return text;
    }
    for (int i = Pick(7); i > 0; --i) text += Piece();
    return text;
  }

 private:
  int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }

  std::u16string Digits(int count) {
    std::u16string digits;
    for (int i = 0; i < count; ++i) digits += static_cast<char16_t>(u'0' + Pick(10));
    return digits;
  }

  std::u16string Piece() {
    // Blanks in and outside the C locale, signs, letters, non-ASCII digits,
    // lone surrogates, numbers at the limits and U+0000.
    static const std::vector<std::u16string> kFixed = [] {
      std::vector<std::u16string> pieces = {
          u" ",      u"\t",     u"\n",     u"\v",     u"\f",     u"\r",           u"\u00A0",
          u"\u3000", u"\u0085", u"\u2003", u"+",      u"-",      u"+-",           u"a",
          u"Z",      u"x1",     u"\u0660", u"\uFF11", u"\u00E9", u"\xD83D\xDE00", u"\xD800",
          u"\xDC00", u"|"};
      for (const char16_t* number : {u"0", u"00000", u"2147483647", u"2147483648", u"4294967295",
                                     u"4294967296", u"18446744073709551615"}) {
        pieces.emplace_back(number);
      }
      pieces.emplace_back(1, u'\0');
      return pieces;
    }();
    switch (Pick(4)) {
      case 0:
        return Digits(1 + Pick(3));
      case 1:
        return Digits(1 + Pick(25));
      default:
        return kFixed[static_cast<std::size_t>(Pick(static_cast<int>(kFixed.size())))];
    }
  }

  std::mt19937 random_;
};

TEST(NumberText, AgreesWithTheCLibraryOnRandomTexts) {
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  CTextGenerator generator(20240611);
  for (int i = 0; i < 60000; ++i) {
    const std::u16string text = generator.Next();
    const CReference expected = LibraryAnswer(text);
    const CQmAttributeValue value(text);
    int asInt = 0;
    std::uint32_t asUnsigned = 0;
    const bool intValid = value.Query(asInt);
    const bool unsignedValid = value.Query(asUnsigned);
    ASSERT_EQ(std::make_tuple(asInt, intValid, asUnsigned, unsignedValid, value.QueryInt(),
                              value.QueryUnsigned()),
              std::make_tuple(expected.signedValue, expected.valid, expected.unsignedValue,
                              expected.valid, expected.signedValue, expected.unsignedValue))
        << W4Os::WideToNarrowLossy(text);
  }
}

// Attribute values as lists: finding, editing, reading elements, escaping.

constexpr std::uint32_t kAbsent = CQmAttributeValue::npos;

TEST(ValueList, Find) {
  const std::tuple<std::u16string, std::u16string, bool, std::uint32_t> cases[] = {
      {u"a|b", u"B", false, 1},
      {u"a|b", u"B", true, kAbsent},
      {u"x|a|b", u"a|b", true, 1},
      {u"a||b", u"", true, 1},
      {u"a|b", u"", true, kAbsent},
      {u"", u"", true, 0},
      {u"a|", u"", true, 1},
      {u"|a", u"", true, 0},
      {u"", u"a", true, kAbsent},
      {u"ab", u"abc", false, kAbsent},  // longer than the value
      {u"ab|c", u"a", true, kAbsent},   // a prefix of an element is no match
      {u"abc|b", u"b", true, 1},
      {u"a|bc", u"c", true, kAbsent},  // nor is the end of one
      {u"x|ab", u"x|a", true, kAbsent},
      {u"\u00C9t\u00E9|b", u"\u00E9T\u00C9", false, 0},  // case mapping beyond ASCII
      {u"\u00C9t\u00E9|b", u"\u00E9T\u00C9", true, kAbsent},
  };
  for (const auto& [text, wanted, exact, position] : cases) {
    SCOPED_TRACE(W4Os::WideToNarrowLossy(text + u" / " + wanted));
    EXPECT_EQ(CQmAttributeValue(text).find(wanted, exact), position);
  }
}

TEST(ValueList, InsertIsSetLikeAndTypedInsertComparesExactly) {
  CQmAttributeValue value;
  EXPECT_EQ(value.insert(u"x"), 0u);
  EXPECT_EQ(value.insert(u"X"), 0u);  // a text compares without case
  EXPECT_EQ(value.insert("y"), 1u);
  EXPECT_EQ(value.insert(std::u16string(u"")), 2u);
  EXPECT_EQ(value.insert(u""), 2u);
  EXPECT_EQ(value.QueryString(), u"x|y|");

  CQmAttributeValue five(5);
  EXPECT_EQ(five.insert(0), 1u);  // zero is written as the empty text
  EXPECT_EQ(five.insert(std::uint32_t{5}), 0u);
  EXPECT_EQ(five.insert(true), 2u);
  EXPECT_EQ(five.QueryString(), u"5||1");

  CQmAttributeValue letters(u"a|b");
  letters.insert(CQmAttributeValue(u"B|c|A|d"));
  EXPECT_EQ(letters.QueryString(), u"a|b|c|d");
  letters.insert(letters);
  EXPECT_EQ(letters.QueryString(), u"a|b|c|d");
  // A typed value compares exactly.
  const CW4DateTime time = *CW4DateTime::FromUtcFields({2007, 1, 2, 3, 4, 5});
  CQmAttributeValue times(u"20070102030405z");
  EXPECT_EQ(times.insert(time), 1u);
  EXPECT_EQ(times.QueryString(), u"20070102030405z|20070102030405Z");

  // insertat clamps the position.
  CQmAttributeValue list(u"a|b");
  EXPECT_EQ(list.insertat(u"x", 7), 2u);
  EXPECT_EQ(list.QueryString(), u"a|b|x");
  EXPECT_EQ(list.insertat(u"y", 0), 0u);
  EXPECT_EQ(list.insertat(0, 2), 2u);
  EXPECT_EQ(list.QueryString(), u"y|a||b|x");
  EXPECT_EQ(list.insertat(CQmAttributeValue(u"p|q"), 1), 1u);
  EXPECT_EQ(list.QueryString(), u"y|p|q|a||b|x");
  EXPECT_EQ(list.insertat(CQmAttributeValue(), 99), 7u);
  EXPECT_EQ(list.QueryString(), u"y|p|q|a||b|x");
  EXPECT_EQ(list.insertat(list, 1), 1u);  // inserting itself
  EXPECT_EQ(list.QueryString(), u"y|y|p|q|a||b|x|p|q|a||b|x");

  CQmAttributeValue empty;
  EXPECT_EQ(empty.insertat(u"x", 3), 0u);
  EXPECT_EQ(empty.QueryString(), u"x");
  EXPECT_EQ(empty.insertat("z", 1), 1u);
  EXPECT_EQ(empty.QueryString(), u"x|z");
}

TEST(ValueList, Remove) {
  const std::tuple<std::u16string, std::u16string, bool, std::u16string> cases[] = {
      {u"a|b|b", u"B", true, u"a|b"},
      {u"a|b|b", u"c", false, u"a|b|b"},
      {u"a", u"a", true, u""},
      {u"a|b", u"", true, u"a|b"},
      {u"a|b|c", u"c|x|A", false, u"b"},
      {u"a||b", u"|", false, u"a|b"},  // the empty element twice: one is present
  };
  for (const auto& [text, removed, result, after] : cases) {
    SCOPED_TRACE(W4Os::WideToNarrowLossy(text + u" - " + removed));
    CQmAttributeValue value(text);
    EXPECT_EQ(value.remove(CQmAttributeValue(removed)), result);
    EXPECT_EQ(value.QueryString(), after);
  }
  CQmAttributeValue numbers(u"0|1|0");
  EXPECT_TRUE(numbers.remove(0));
  EXPECT_TRUE(numbers.remove(true));
  EXPECT_EQ(numbers.QueryString(), u"0");
  EXPECT_TRUE(numbers.remove(numbers));
  EXPECT_TRUE(numbers.empty());
}

TEST(ValueList, VectorsInAndOut) {
  EXPECT_EQ(CQmAttributeValue(std::vector<std::u16string>{u"", u"a", u"b"}).QueryString(), u"a|b");
  EXPECT_EQ(CQmAttributeValue(std::vector<std::u16string>{u"a", u"", u"b"}).QueryString(), u"a||b");
  EXPECT_EQ(CQmAttributeValue(std::vector<bool>{false, true}).QueryString(), u"1");
  EXPECT_EQ(CQmAttributeValue(std::vector<bool>{true, false}).QueryString(), u"1|");
  EXPECT_EQ(CQmAttributeValue(std::vector<int>{0, -3}).QueryString(), u"0|-3");
  EXPECT_EQ(CQmAttributeValue(std::vector<InteractionId>{7, 0}).QueryString(), u"7|0");
  CQmAttributeValue value(u"a");
  value.append(value).append(std::uint32_t{0}).append(false);
  EXPECT_EQ(value.QueryString(), u"a|a|0|");
  // QueryVector sizes the vector and stops at the first failure.
  std::vector<bool> flags = {false, false, false, false};
  EXPECT_TRUE(CQmAttributeValue(u"1|").QueryVector(flags));
  EXPECT_EQ(flags, (std::vector<bool>{true, false}));

  std::vector<int> numbers = {9, 9, 9, 9};
  EXPECT_FALSE(CQmAttributeValue(u"1||x3|4").QueryVector(numbers));
  EXPECT_EQ(numbers, (std::vector<int>{1, 0, 0, 9}));  // the failed one holds what parsed

  std::vector<std::uint32_t> unsignedNumbers;
  EXPECT_TRUE(CQmAttributeValue(u"-1|7").QueryVector(unsignedNumbers));
  EXPECT_EQ(unsignedNumbers, (std::vector<std::uint32_t>{UINT32_MAX, 7}));

  std::vector<InteractionId> ids = {1, 2, 3, 4};
  EXPECT_FALSE(CQmAttributeValue(u"10|20|z|30").QueryVector(ids));
  EXPECT_EQ(ids, (std::vector<InteractionId>{10, 20}));

  std::vector<std::u16string> texts = {u"old"};
  EXPECT_TRUE(CQmAttributeValue().QueryVector(texts));
  EXPECT_TRUE(texts.empty());
  std::vector<CQmAttributeValue> values;
  EXPECT_TRUE(CQmAttributeValue(u"|a|").QueryVector(values));
  EXPECT_EQ(values, (std::vector<CQmAttributeValue>{u"", u"a", u""}));
}

TEST(ValueList, EscapeRoundTripsAnyText) {
  EXPECT_EQ(CQmAttributeValue(u"a|\x0001|b").Escape().QueryString(),
            u"a\x0001\x0002\x0001\x0001\x0001\x0002"
            u"b");
  EXPECT_EQ(CQmAttributeValue(u"x\x0001"
                              u"y\x0001")
                .Unescape()
                .QueryString(),
            u"x");
  std::mt19937 random(7);
  const char16_t alphabet[] = {u'|', u'\x0001', u'\x0002', u'a', u'\x0000', u'\xD800'};
  for (int i = 0; i < 2000; ++i) {
    std::u16string text;
    const int length = static_cast<int>(random() % 12);
    for (int j = 0; j < length; ++j) text += alphabet[random() % std::size(alphabet)];
    const CQmAttributeValue escaped = CQmAttributeValue(text).Escape();
    ASSERT_EQ(escaped.QueryString().find(u'|'), std::u16string::npos);
    ASSERT_EQ(escaped.Unescape().QueryString(), text);
  }
}

}  // namespace
}  // namespace QueueManager
