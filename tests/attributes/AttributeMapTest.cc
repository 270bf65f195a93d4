#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "QueueManager/AttributeMap.h"

// This program counts its heap allocations and remembers the largest, so that
// tests can check that decoding never allocates in proportion to a claimed
// count and that encoding allocates nothing per field.
namespace {
std::atomic<std::size_t> gAllocations{0};
std::atomic<std::size_t> gLargestAllocation{0};

void* CountedAllocate(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  std::size_t largest = gLargestAllocation.load(std::memory_order_relaxed);
  while (size > largest && !gLargestAllocation.compare_exchange_weak(largest, size)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace QueueManager {
namespace {

using W4Notifier::CMessage;
using W4Notifier::CNotifierExtractException;

// Allocation counts between construction and the call of Count().
class AllocationProbe {
 public:
  AllocationProbe() : start_(gAllocations.load()), largestBefore_(gLargestAllocation.exchange(0)) {}
  ~AllocationProbe() {
    std::size_t now = gLargestAllocation.load();
    while (largestBefore_ > now && !gLargestAllocation.compare_exchange_weak(now, largestBefore_)) {
    }
  }
  std::size_t Count() const { return gAllocations.load() - start_; }
  std::size_t Largest() const { return gLargestAllocation.load(); }

 private:
  std::size_t start_;
  std::size_t largestBefore_;
};

// A message whose body is exactly `body` (which need not be well formed).
CMessage FromBody(const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> bytes = {'W', '4', 'M', 1};
  bytes.resize(4 + 4 * 4, 0);  // event, object type, object id, event name length
  const auto size = static_cast<std::uint32_t>(body.size());
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<std::uint8_t>(size >> shift));
  bytes.insert(bytes.end(), body.begin(), body.end());
  return CMessage::Parse(bytes);
}

std::vector<std::string> Keys(const CQmAttributeMap& map) {
  std::vector<std::string> keys;
  for (const auto& [name, value] : map) keys.push_back(ToTraceText(name));
  return keys;
}

template <class T>
std::string TextOf(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

CQmAttributeMap ThreeKinds() {
  CQmAttributeMap map;
  map.insert(CQmAttributeName(u"Xan_RecordLengthMillisec"), std::u16string(u"v721"));
  map.insert(Xan_AcdCategory, std::u16string(u"v0"));
  map.insert(CQmAttributeName(u"MyCustom"), std::u16string(u"vc"));
  return map;
}

// ---- CQmAttribute ----

TEST(AttributeTest, HoldsANameAndAValueAndOrdersByName) {
  const CQmAttribute empty;
  EXPECT_TRUE(empty.QueryName().empty());
  EXPECT_TRUE(empty.QueryValue().empty());

  const CQmAttribute byText("callstate", std::u16string(u"C"));
  EXPECT_EQ(byText.QueryName().QueryW4AttributeName(), Xan_CallState);
  EXPECT_EQ(byText.DisplayName(), u"Xan_CallState");
  EXPECT_EQ(byText.key(), u"xan_callstate");
  EXPECT_EQ(TextOf(byText), "Xan_CallState=C");

  CQmAttribute custom(CQmAttributeName(u"Zeta"), CQmAttributeValue(u"z"));
  EXPECT_EQ(TextOf(custom), "Zeta=z");
  EXPECT_TRUE(custom < byText);  // custom names order first
  EXPECT_FALSE(CQmAttribute(CQmAttributeName(u"zeta"), CQmAttributeValue(u"other")) < custom);
  EXPECT_FALSE(custom < CQmAttribute(CQmAttributeName(u"ZETA"), CQmAttributeValue(u"a")));

  CQmAttribute swapped;
  swapped.swap(custom);
  EXPECT_EQ(swapped.DisplayName(), u"Zeta");
  EXPECT_EQ(swapped.QueryValue(), CQmAttributeValue(u"z"));
  EXPECT_TRUE(custom.QueryName().empty());
}

// ---- insertion and lookup ----

TEST(AttributeMapTest, EveryInsertFormReplacesTheValueAndKeepsTheFirstSpelling) {
  using Insert = void (*)(CQmAttributeMap&, const CQmAttributeName&);
  const Insert forms[] = {
      [](CQmAttributeMap& m, const CQmAttributeName& n) { m.insert(CQmAttribute(n, u"new")); },
      [](CQmAttributeMap& m, const CQmAttributeName& n) { m.insert(n, CQmAttributeValue(u"new")); },
      [](CQmAttributeMap& m, const CQmAttributeName& n) {
        const CQmAttributeValue value(u"new");
        m.insert(n, value);
      },
      [](CQmAttributeMap& m, const CQmAttributeName& n) { m.insert(n, std::u16string(u"new")); },
      [](CQmAttributeMap& m, const CQmAttributeName& n) { m.insert(n, std::string("new")); },
      [](CQmAttributeMap& m, const CQmAttributeName& n) { m.insert(n, "new"); },
  };
  for (std::size_t i = 0; i < std::size(forms); ++i) {
    CQmAttributeMap map;
    map.insert(CQmAttributeName(u"AbC"), std::u16string(u"old"));
    map.insert(Xan_State, std::u16string(u"old"));
    forms[i](map, CQmAttributeName(u"abc"));
    forms[i](map, CQmAttributeName("XAN_STATE"));
    ASSERT_EQ(map.size(), 2u) << "form " << i;
    EXPECT_EQ(map.begin()->first.DisplayName(), u"AbC") << "form " << i;
    EXPECT_EQ(map.Query(CQmAttributeName(u"ABC")), CQmAttributeValue(u"new")) << "form " << i;
    EXPECT_EQ(map.Query(Xan_State), CQmAttributeValue(u"new")) << "form " << i;
  }
}

TEST(AttributeMapTest, IteratesCustomNamesByTextThenStandardNamesByNumber) {
  CQmAttributeMap map;
  map.insert(Xan_CallState, std::u16string(u"1"));
  map.insert(CQmAttributeName(u"beta"), std::u16string(u"2"));
  map.insert(Xan_AcdCategory, std::u16string(u"3"));
  map.insert(CQmAttributeName(u"Alpha"), std::u16string(u"4"));
  map.insert(Xan_State, std::u16string(u"5"));
  map.insert(CQmAttributeName(u"GAMMA"), std::u16string(u"6"));
  EXPECT_THAT(Keys(map), ::testing::ElementsAre("Alpha", "beta", "GAMMA", "Xan_AcdCategory",
                                                "Xan_State", "Xan_CallState"));
}

TEST(AttributeMapTest, QueryNeverInsertsAndSubscriptAddsAnEmptyValue) {
  CQmAttributeMap map = ThreeKinds();
  const CQmAttributeValue& absent = map.Query(Xan_State);
  EXPECT_TRUE(absent.empty());
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(&CQmAttributeMap().Query(CQmAttributeName(u"x")), &absent);  // one shared value

  map[Xan_State] = u"C";
  EXPECT_EQ(map.size(), 4u);
  EXPECT_EQ(map.Query(Xan_State), CQmAttributeValue(u"C"));
  map[CQmAttributeName(u"mycustom")].append(u"more");
  EXPECT_EQ(map.Query(CQmAttributeName(u"MyCustom")), CQmAttributeValue(u"vc|more"));
  EXPECT_EQ(map.size(), 4u);
  EXPECT_TRUE(map[Xan_CallState].empty());
  EXPECT_EQ(map.size(), 5u);
}

TEST(AttributeMapTest, FindCountEraseAndClear) {
  CQmAttributeMap map = ThreeKinds();
  const CQmAttributeMap& constMap = map;
  EXPECT_EQ(constMap.find(CQmAttributeName(u"MYCUSTOM"))->second, CQmAttributeValue(u"vc"));
  EXPECT_EQ(map.find(Xan_State), map.end());
  EXPECT_EQ(map.count(Xan_AcdCategory), 1u);
  EXPECT_EQ(map.count(Xan_AcdWorkgroup), 0u);
  EXPECT_EQ(map.erase(Xan_AcdWorkgroup), 0u);
  EXPECT_EQ(map.erase(CQmAttributeName(u"mycustom")), 1u);
  EXPECT_EQ(map.size(), 2u);
  map.erase(map.find(Xan_AcdCategory));
  EXPECT_THAT(Keys(map), ::testing::ElementsAre("Xan_RecordLengthMillisec"));
  map.clear();
  EXPECT_TRUE(map.empty());
}

TEST(AttributeMapTest, EqualityIsEntryByEntryWithCaseSensitiveValues) {
  CQmAttributeMap reversed;
  reversed.insert(CQmAttributeName(u"MYCUSTOM"), std::u16string(u"vc"));
  reversed.insert(Xan_AcdCategory, std::u16string(u"v0"));
  reversed.insert(CQmAttributeName(u"Xan_RecordLengthMillisec"), std::u16string(u"v721"));
  EXPECT_EQ(reversed, ThreeKinds());

  CQmAttributeMap valueCase = ThreeKinds();
  valueCase[Xan_AcdCategory] = u"V0";
  EXPECT_NE(valueCase, ThreeKinds());

  CQmAttributeMap larger = ThreeKinds();
  larger[Xan_State];
  EXPECT_NE(larger, ThreeKinds());
  EXPECT_NE(ThreeKinds(), larger);

  CQmAttributeMap copy = ThreeKinds();
  CQmAttributeMap other;
  swap(copy, other);
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(other, ThreeKinds());
}

// The flat map against a node map with the same ordering under random
// insertions, subscripts and erasures over names that collide in letter case.
TEST(AttributeMapTest, BehavesAsAnOrderedMapUnderRandomEdits) {
  const std::vector<CQmAttributeName> pool = {CQmAttributeName(u"a"),
                                              CQmAttributeName(u"A"),
                                              CQmAttributeName(u"b"),
                                              CQmAttributeName(u"ab"),
                                              CQmAttributeName(u"AB"),
                                              CQmAttributeName(u"_x"),
                                              Xan_AcdCategory,
                                              Xan_State,
                                              Xan_CallState,
                                              CQmAttributeName(),
                                              CQmAttributeName(u"zz z"),
                                              static_cast<eAttributeName>(5000),
                                              CQmAttributeName(u"Xan_RecordLengthMillisec")};
  std::mt19937 random(7);
  CQmAttributeMap map;
  std::map<CQmAttributeName, CQmAttributeValue> reference;
  for (int step = 0; step < 3000; ++step) {
    const CQmAttributeName& name = pool[random() % pool.size()];
    const std::u16string value(1, static_cast<char16_t>(u'a' + random() % 26));
    switch (random() % 4) {
      case 0:
      case 1:
        map.insert(name, value);
        reference.insert_or_assign(name, value);
        break;
      case 2:
        map[name].append(value);
        reference[name].append(value);
        break;
      default:
        EXPECT_EQ(map.erase(name), reference.erase(name));
    }
    ASSERT_EQ(map.size(), reference.size());
    ASSERT_TRUE(std::equal(map.begin(), map.end(), reference.begin(),
                           [](auto& a, auto& b) {
                             return a.first.DisplayName() == b.first.DisplayName() &&
                                    a.second == b.second &&
                                    a.first.QueryW4AttributeName() ==
                                        b.first.QueryW4AttributeName();
                           }))
        << "step " << step;
  }
}

// ---- message form ----

TEST(AttributeMapTest, WritesEntriesInMapOrderAndReadsThemBack) {
  CMessage message;
  ThreeKinds().Write(message);
  EXPECT_EQ(message.DescribeFields(),
            "int 3, int -1, wtext \"MyCustom\", wtext \"vc\", int 0, wtext \"v0\", "
            "int -1, wtext \"Xan_RecordLengthMillisec\", wtext \"v721\"");
  CQmAttributeMap read;
  read.Read(message);
  EXPECT_EQ(read, ThreeKinds());
  EXPECT_TRUE(message.IsAtEndOfData());

  CMessage empty;
  CQmAttributeMap().Write(empty);
  EXPECT_EQ(empty.DescribeFields(), "int 0");
}

TEST(AttributeMapTest, ReadingResolvesNamesAndKeepsUnknownNumbers) {
  CMessage message;
  message << std::int32_t{3} << std::int32_t{-1} << u"callstate" << u"C" << std::int32_t{8}
          << u"eight" << std::int32_t{-1} << std::u16string(u"Has Space") << u"s";
  CQmAttributeMap map;
  map.Read(message);
  EXPECT_EQ(map.Query(Xan_CallState), CQmAttributeValue(u"C"));
  EXPECT_EQ(map.Query(static_cast<eAttributeName>(8)), CQmAttributeValue(u"eight"));
  EXPECT_EQ(map.Query(CQmAttributeName(u"Has_Space")), CQmAttributeValue(u"s"));

  CMessage again;
  map.Write(again);
  EXPECT_EQ(again.DescribeFields(),
            "int 3, int -1, wtext \"Has_Space\", wtext \"s\", int -1, wtext \"\", wtext \"eight\", "
            "int 105, wtext \"C\"");
}

// The map decodes names in place; it must agree with CQmAttributeName::Read.
TEST(AttributeMapTest, NamesDecodeAsCQmAttributeNameReadDecodesThem) {
  struct NameFields {
    std::int32_t number;
    const char16_t* text;  // written when number is -1
  };
  const NameFields cases[] = {{38, nullptr},          {-1, u"callstate"},
                              {-1, u"Custom Name.x"}, {-1, u""},
                              {8, nullptr},           {721, nullptr},
                              {INT_MIN, nullptr},     {-1, u"XAN_RECORDLENGTHMILLISEC"},
                              {-1, u"\u00c9t\u00e9"}};
  for (const NameFields& c : cases) {
    CMessage nameOnly;
    nameOnly << c.number;
    if (c.number == -1) nameOnly << c.text;
    CQmAttributeName expected;
    expected.Read(nameOnly);

    CMessage entry;
    entry << std::int32_t{1} << c.number;
    if (c.number == -1) entry << c.text;
    entry << u"v";
    CQmAttributeMap map;
    map.Read(entry);
    ASSERT_EQ(map.size(), 1u);
    const CQmAttributeName& got = map.begin()->first;
    EXPECT_EQ(got.QueryW4AttributeName(), expected.QueryW4AttributeName()) << c.number;
    EXPECT_EQ(got.DisplayName(), expected.DisplayName()) << c.number;
  }
}

TEST(AttributeMapTest, ReadingReplacesTheMapAndTheLastValueOfARepeatedNameWins) {
  CMessage message;
  message << std::int32_t{4} << std::int32_t{38} << u"first" << std::int32_t{-1} << u"Dup" << u"1"
          << std::int32_t{-1} << u"DUP" << u"2" << std::int32_t{38} << u"last";
  CQmAttributeMap map = ThreeKinds();
  map.Read(message);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.begin()->first.DisplayName(), u"Dup");
  EXPECT_EQ(map.begin()->second, CQmAttributeValue(u"2"));
  EXPECT_EQ(map.Query(Xan_State), CQmAttributeValue(u"last"));
}

TEST(AttributeMapTest, EntriesOutOfOrderAreSorted) {
  CMessage message;
  message << std::int32_t{5} << std::int32_t{105} << u"c" << std::int32_t{38} << u"b"
          << std::int32_t{-1} << u"zed" << u"z" << std::int32_t{0} << u"a" << std::int32_t{-1}
          << u"Alpha" << u"y";
  CQmAttributeMap map;
  map.Read(message);
  EXPECT_THAT(Keys(map), ::testing::ElementsAre("Alpha", "zed", "Xan_AcdCategory", "Xan_State",
                                                "Xan_CallState"));
  EXPECT_EQ(map.Query(CQmAttributeName(u"zed")), CQmAttributeValue(u"z"));
  EXPECT_EQ(map.Query(CQmAttributeName(u"alpha")), CQmAttributeValue(u"y"));
}

TEST(AttributeMapTest, ACountOfZeroOrLessGivesTheEmptyMapAndReadsNothingMore) {
  for (const std::int32_t count : {0, -5, INT_MIN}) {
    CMessage message;
    message << count << std::int32_t{38} << u"not an entry";
    CQmAttributeMap map = ThreeKinds();
    map.Read(message);
    EXPECT_TRUE(map.empty()) << count;
    std::int32_t next = 0;
    message >> next;
    EXPECT_EQ(next, 38) << count;
  }
}

// A value holding U+0000 is kept as read but travels as zero-terminated text,
// so writing it sends only what precedes the zero.
TEST(AttributeMapTest, AValueIsWrittenUpToItsFirstZero) {
  const std::u16string withZero(u"ab\0cd", 5);
  CMessage incoming;
  incoming << std::int32_t{1} << std::int32_t{38} << withZero;
  CQmAttributeMap map;
  map.Read(incoming);
  EXPECT_EQ(map.Query(Xan_State).QueryString(), withZero);
  CMessage outgoing;
  map.Write(outgoing);
  EXPECT_EQ(outgoing.DescribeFields(), "int 1, int 38, wtext \"ab\"");
}

TEST(AttributeMapTest, MalformedMessagesThrowAndLeaveTheMapEmpty) {
  struct Case {
    const char* what;
    void (*build)(CMessage&);
  };
  const Case cases[] = {
      {"empty message", [](CMessage&) {}},
      {"count is text", [](CMessage& m) { m << u"3"; }},
      {"truncated after the count", [](CMessage& m) { m << std::int32_t{2}; }},
      {"truncated after a name", [](CMessage& m) { m << std::int32_t{1} << std::int32_t{38}; }},
      {"custom name as a narrow string",
       [](CMessage& m) { m << std::int32_t{1} << std::int32_t{-1} << "narrow" << u"v"; }},
      {"value is an int",
       [](CMessage& m) { m << std::int32_t{1} << std::int32_t{38} << std::int32_t{7}; }},
      {"name number is a bool", [](CMessage& m) { m << std::int32_t{1} << true << u"v"; }},
      {"second entry truncated",
       [](CMessage& m) { m << std::int32_t{2} << std::int32_t{38} << u"v" << std::int32_t{-1}; }},
      {"INT_MAX entries, three bytes left",
       [](CMessage& m) {
         m = FromBody({1, 0xFF, 0xFF, 0xFF, 0x7F, 1, 38, 0});
       }},
      {"a field tag that does not exist",
       [](CMessage& m) {
         m = FromBody({1, 1, 0, 0, 0, 0xEE, 0, 0, 0, 0});
       }},
      {"a text whose length passes the end",
       [](CMessage& m) {
         m = FromBody({1, 1, 0, 0, 0, 1, 38, 0, 0, 0, 9, 3, 0, 0, 0, 'a', 0});
       }},
  };
  for (const Case& c : cases) {
    CMessage message;
    c.build(message);
    CQmAttributeMap map = ThreeKinds();
    EXPECT_THROW(map.Read(message), CNotifierExtractException) << c.what;
    EXPECT_TRUE(map.empty()) << c.what;
  }
}

// Two billion claimed entries followed by a few thousand real ones: the read
// fails at the end of the data, having reserved no more than the data holds.
TEST(AttributeMapTest, AHugeCountReservesNoMoreThanTheMessageHolds) {
  CMessage message;
  message << std::int32_t{2000000000};
  for (int i = 0; i < 2000; ++i) message << std::int32_t{i} << u"value";
  CQmAttributeMap map;
  {
    const AllocationProbe probe;
    EXPECT_THROW(map.Read(message), CNotifierExtractException);
    EXPECT_LE(probe.Largest(), message.BodySize());
  }
  EXPECT_TRUE(map.empty());
}

// Callers keep what operator[] and find return while they add and remove
// other entries, as with any ordered map.
TEST(AttributeMapTest, ReferencesAndIteratorsSurviveOtherInsertionsAndErasures) {
  CQmAttributeMap map;
  CQmAttributeValue& state = map[Xan_State];
  const CQmAttributeMap::iterator stateAt = map.find(Xan_State);
  for (int i = 0; i < 300; ++i) {
    // Custom names order before every standard one: each lands in front.
    map[CQmAttributeName("custom" + std::to_string(i))] = u"x";
    map.insert(static_cast<eAttributeName>(1000 + i), u"y");
    if (i % 3 == 0 && i > 0) map.erase(CQmAttributeName("custom" + std::to_string(i - 1)));
  }
  state = u"set";
  EXPECT_EQ(map.Query(Xan_State), CQmAttributeValue(u"set"));
  EXPECT_EQ(&stateAt->second, &state);
  EXPECT_EQ(stateAt, map.find(Xan_State));
  EXPECT_EQ(stateAt - map.begin(), 201);  // the custom names in front of it
  EXPECT_EQ((map.begin() + 201)->first, CQmAttributeName(Xan_State));
}

// Entries that arrive in reverse order are sorted once, not inserted one by
// one at the front: a quadratic decode of this message would run for
// minutes and meet the test's time-out.
TEST(AttributeMapTest, ALargeMapInReverseOrderDecodesInOnePass) {
  constexpr std::int32_t kEntries = 1 << 18;
  CMessage message;
  message << kEntries + 1;
  for (std::int32_t i = kEntries; i > 0; --i) {
    if (i == 7) {
      message << std::int32_t{-1} << u"Dup" << u"first";
    } else {
      message << i << (i % 2 == 0 ? u"e" : u"o");
    }
  }
  message << std::int32_t{-1} << u"DUP" << u"last";
  CQmAttributeMap map;
  map.Read(message);
  ASSERT_EQ(map.size(), static_cast<std::size_t>(kEntries));
  EXPECT_EQ(map.begin()->first.DisplayName(), u"Dup");         // the spelling read first
  EXPECT_EQ(map.begin()->second, CQmAttributeValue(u"last"));  // the value read last
  EXPECT_EQ((map.begin() + 1)->first, CQmAttributeName(static_cast<eAttributeName>(1)));
  EXPECT_EQ((map.end() - 1)->second, CQmAttributeValue(u"e"));
  EXPECT_TRUE(std::is_sorted(map.begin(), map.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; }));
}

}  // namespace
}  // namespace QueueManager
