// Arguments keep their meaning on the way in: no pointer becomes a bool, the
// platform's wide text is text, its 64-bit long types are never cut to 32
// bits, and the spellings callers write with literals compile and do the
// obvious thing, readers through a const message included.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/QueueStats.h"

namespace QueueManager {
namespace {

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

// ---- wide text of the platform (UTF-32 here) ----

struct TextCase {
  const char* what;
  std::function<std::u16string()> run;
  std::u16string expected;
};

class WideText : public ::testing::TestWithParam<TextCase> {};

TEST_P(WideText, IsConvertedToUtf16) {
  EXPECT_EQ(GetParam().run(), GetParam().expected) << GetParam().what;
}

const wchar_t kSurrogate[] = {static_cast<wchar_t>(0xD800), 0};
const wchar_t kAboveUnicode[] = {L'a', static_cast<wchar_t>(0x110000), 0};

INSTANTIATE_TEST_SUITE_P(
    EveryApi, WideText,
    ::testing::Values(
        TextCase{"constructor", [] { return CQmAttributeValue(L"Sales").QueryString(); }, u"Sales"},
        TextCase{"string", [] { return CQmAttributeValue(std::wstring(L"\u00e9")).QueryString(); },
                 u"\u00e9"},
        TextCase{"astral", [] { return CQmAttributeValue(L"\U0001F600").QueryString(); },
                 u"\U0001F600"},
        TextCase{"surrogate", [] { return CQmAttributeValue(kSurrogate).QueryString(); }, u""},
        TextCase{"above U+10FFFF", [] { return CQmAttributeValue(kAboveUnicode).QueryString(); },
                 u""},
        TextCase{
            "null",
            [] { return CQmAttributeValue(static_cast<const wchar_t*>(nullptr)).QueryString(); },
            u""},
        TextCase{"assignment",
                 [] {
                   CQmAttributeValue v(u"old");
                   v = L"new";
                   return v.QueryString();
                 },
                 u"new"},
        TextCase{"append", [] { return CQmAttributeValue(u"a").append(L"b").QueryString(); },
                 u"a|b"},
        TextCase{"insert",
                 [] {
                   CQmAttributeValue v(u"a");
                   return std::u16string(1, static_cast<char16_t>(u'0' + v.insert(L"B"))) +
                          v.QueryString();
                 },
                 u"1a|B"},
        TextCase{"insertat",
                 [] {
                   CQmAttributeValue v(u"a");
                   v.insertat(L"b", 0);
                   return v.QueryString();
                 },
                 u"b|a"},
        TextCase{"remove of an absent text",
                 [] {
                   CQmAttributeValue v(u"1|a");
                   return std::u16string(v.remove(L"zzz") ? u"true " : u"false ") + v.QueryString();
                 },
                 u"false 1|a"},
        TextCase{"remove",
                 [] {
                   CQmAttributeValue v(u"1|a");
                   v.remove(L"A");
                   return v.QueryString();
                 },
                 u"1"},
        TextCase{"comparison",
                 [] {
                   return std::u16string(CQmAttributeValue(u"1") == L"x" ? u"equal" : u"") +
                          (CQmAttributeValue(u"x") == L"x" ? u"equal" : u"");
                 },
                 u"equal"},
        TextCase{"find",
                 [] {
                   return std::u16string(
                       1, static_cast<char16_t>(u'0' + CQmAttributeValue(u"1|x").find(L"x", true)));
                 },
                 u"1"},
        TextCase{"map insert",
                 [] {
                   CQmAttributeMap map;
                   map.insert(Xan_State, L"x");
                   return map.Query(Xan_State).QueryString();
                 },
                 u"x"},
        TextCase{
            "attribute",
            [] {
              return CQmAttribute(CQmAttributeName(Xan_State), L"C").QueryValue().QueryString();
            },
            u"C"}),
    [](const auto& param) { return "Case" + std::to_string(param.index); });

// ---- the platform's 64-bit long types where the system means 32 bits ----

struct NumberCase {
  const char* what;
  std::function<std::u16string()> run;
  std::u16string expected;  // unused when the call must throw
  bool throws;
};

class PlatformLong : public ::testing::TestWithParam<NumberCase> {};

TEST_P(PlatformLong, IsTakenWholeOrRefused) {
  const NumberCase& c = GetParam();
  if (c.throws) {
    EXPECT_THROW(c.run(), std::out_of_range) << c.what;
  } else {
    EXPECT_EQ(c.run(), c.expected) << c.what;
  }
}

std::u16string Text(const CQmAttributeValue& value) { return value.QueryString(); }
std::u16string Id(InteractionId id) { return Text(CQmAttributeValue(id)); }

INSTANTIATE_TEST_SUITE_P(
    ValuesAndIds, PlatformLong,
    ::testing::Values(
        NumberCase{"unsigned long", [] { return Text(4294967295UL); }, u"4294967295", false},
        NumberCase{"long", [] { return Text(-2147483648L); }, u"-2147483648", false},
        NumberCase{"long above int", [] { return Text(3000000000L); }, u"3000000000", false},
        NumberCase{"size_t", [] { return Text(std::size_t{7}); }, u"7", false},
        NumberCase{"unsigned long too large", [] { return Text(0x100000005UL); }, u"", true},
        NumberCase{"long too small", [] { return Text(-2147483649L); }, u"", true},
        NumberCase{"long too large", [] { return Text(0x100000000L); }, u"", true},
        NumberCase{"append", [] { return Text(CQmAttributeValue(u"a").append(5UL)); }, u"a|5",
                   false},
        NumberCase{"append too large",
                   [] { return Text(CQmAttributeValue(u"a").append(0x100000000UL)); }, u"", true},
        NumberCase{"insert",
                   [] {
                     CQmAttributeValue v(u"7");
                     v.insert(7L);
                     v.insert(-1L);
                     return Text(v);
                   },
                   u"7|-1", false},
        NumberCase{"insert too large",
                   [] { return Text(CQmAttributeValue().insert(0x100000005UL)); }, u"", true},
        NumberCase{"insertat",
                   [] {
                     CQmAttributeValue v(u"a");
                     v.insertat(9UL, 0);
                     return Text(v);
                   },
                   u"9|a", false},
        NumberCase{"insertat too large",
                   [] { return Text(CQmAttributeValue().insertat(-0x100000000L, 0)); }, u"", true},
        NumberCase{"remove",
                   [] {
                     CQmAttributeValue v(u"5|4294967301");
                     v.remove(5UL);
                     return Text(v);
                   },
                   u"4294967301", false},
        NumberCase{"remove too large",
                   [] { return Text(CQmAttributeValue(u"5").remove(0x100000005UL)); }, u"", true},
        NumberCase{"query",
                   [] {
                     unsigned long u = 0;
                     long l = 0;
                     const bool valid = CQmAttributeValue(u"4294967295").Query(u) &&
                                        CQmAttributeValue(u"-7").Query(l);
                     return Text(valid && u == 4294967295UL && l == -7);
                   },
                   u"1", false},
        NumberCase{
            "query vector",
            [] {
              std::vector<unsigned long> values;
              CQmAttributeValue(std::vector<unsigned long>{1, 4294967295UL}).QueryVector(values);
              return Text(values == std::vector<unsigned long>{1, 4294967295UL});
            },
            u"1", false},
        NumberCase{"interaction id", [] { return Id(InteractionId(4294967295UL)); }, u"4294967295",
                   false},
        NumberCase{"interaction id from long", [] { return Id(InteractionId(5L)); }, u"5", false},
        NumberCase{"interaction id too large", [] { return Id(InteractionId(0x100000005UL)); }, u"",
                   true},
        NumberCase{"interaction id from -1L", [] { return Id(InteractionId(-1L)); }, u"4294967295",
                   false},
        NumberCase{"interaction id too small", [] { return Id(InteractionId(-2147483649L)); }, u"",
                   true}),
    [](const auto& param) { return "Case" + std::to_string(param.index); });

TEST(PlatformLongField, IsWrittenAsTheThirtyTwoBitFieldOrRefused) {
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
  long l = 0;
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

// ---- spellings with literals, and readers through a const message ----

TEST(LiteralSpellings, CompileAndDoTheObviousThing) {
  CQmAttributeMap map;
  map.insert(Xan_State, u"x");
  EXPECT_EQ(map.Query(Xan_State), CQmAttributeValue(u"x"));
  const CQmAttribute attribute(u"Xan_State", u"C");
  EXPECT_EQ(attribute.QueryName(), CQmAttributeName(Xan_State));
  EXPECT_EQ(attribute.QueryValue(), CQmAttributeValue(u"C"));
  EXPECT_EQ(CQmAttributeValue(true).QueryString(), u"1");
  EXPECT_TRUE(CQmAttributeValue(false).empty());
}

TEST(ConstMessage, EveryReaderTakesOne) {
  CQmQueueStats2 stats2;
  stats2.SetTotalConnectionCallCount(4);
  CMessage written;
  CQmAttributeName(u"Custom").Write(written);
  CQmAttributeMap map;
  map[Xan_State] = u"C";
  map.Write(written);
  written << CQmQueueStats() << stats2 << std::int32_t{9};

  const CMessage& message = written;
  for (int pass = 0; pass < 2; ++pass) {
    CQmAttributeName name;
    CQmAttributeMap readMap;
    CQmQueueStats stats;
    CQmQueueStats2 readStats2;
    std::int32_t last = 0;
    name.Read(message);
    readMap.Read(message);
    message >> stats >> readStats2 >> last;
    EXPECT_EQ(name, CQmAttributeName(u"custom"));
    EXPECT_EQ(readMap, map);
    EXPECT_EQ(readStats2, stats2);
    EXPECT_EQ(last, 9);
    EXPECT_TRUE(message.IsAtEndOfData());
    message.Rewind();
  }
}

}  // namespace
}  // namespace QueueManager
