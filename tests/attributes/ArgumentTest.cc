// Arguments keep their meaning on the way in: no pointer becomes a bool, the
// platform's wide text is text, its 64-bit long types are never cut to 32
// bits, and the spellings callers write with literals compile and do the
// obvious thing, readers of a const message included.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
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

}  // namespace
}  // namespace QueueManager
