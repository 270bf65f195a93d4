#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "platform/AllocationProbe.h"

namespace QueueManager {
namespace {

using testing::AllocationProbe;
using W4Notifier::CMessage;
using W4Notifier::CNotifierExtractException;

// A message whose body is exactly the given bytes (which need not be well formed).
template <class... Bytes>
CMessage FromBody(Bytes... bodyBytes) {
  const std::vector<std::uint8_t> body = {static_cast<std::uint8_t>(bodyBytes)...};
  std::vector<std::uint8_t> bytes = {'W', '4', 'M', 1};
  // Event, object type, object id, event name length.
  bytes.resize(4 + 4 * 4, 0);
  const auto size = static_cast<std::uint32_t>(body.size());
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<std::uint8_t>(size >> shift));
  bytes.insert(bytes.end(), body.begin(), body.end());
  return CMessage::Parse(bytes);
}

CQmAttributeMap ThreeKinds() {
  CQmAttributeMap map;
  map.insert(CQmAttributeName(u"Xan_RecordLengthMillisec"), std::u16string(u"v721"));
  map.insert(Xan_AcdCategory, std::u16string(u"v0"));
  map.insert(CQmAttributeName(u"MyCustom"), std::u16string(u"vc"));
  return map;
}

// Forty-one entries whose names and values allocate nothing of their own, so
// that the allocations counted are the map's.
CQmAttributeMap Filled() {
  CQmAttributeMap map;
  for (int i = 0; i < 40; ++i) map.insert(static_cast<eAttributeName>(1000 + i), u"v");
  map[Xan_State] = u"state";
  return map;
}

// ---- insertion and lookup ----

TEST(AttributeMapTest, EqualityIsEntryByEntryWithCaseSensitiveValues) {
  CQmAttributeMap reversed;
  reversed.insert(CQmAttributeName(u"MYCUSTOM"), std::u16string(u"vc"));
  reversed.insert(Xan_AcdCategory, std::u16string(u"v0"));
  reversed.insert(CQmAttributeName(u"Xan_RecordLengthMillisec"), std::u16string(u"v721"));
  EXPECT_EQ(reversed, ThreeKinds());
  reversed[Xan_AcdCategory] = u"V0";
  EXPECT_NE(reversed, ThreeKinds());
  CQmAttributeMap larger = ThreeKinds();
  larger[Xan_State];
  EXPECT_NE(larger, ThreeKinds());
  EXPECT_NE(ThreeKinds(), larger);
}

// Against a std::map with the same ordering under random edits, through every
// insert form, over names that collide in letter case: contents (the first
// spelling kept), lookups, positions, and the address of each value from its
// insertion to its erasure (erased nodes are reused, live ones never).
TEST(AttributeMapTest, BehavesAsAnOrderedMapUnderRandomEdits) {
  using Insert = void (*)(CQmAttributeMap&, const CQmAttributeName&, const std::u16string&);
  const Insert forms[] = {
      [](auto& m, auto& n, auto& v) { m.insert(CQmAttribute(n, CQmAttributeValue(v))); },
      [](auto& m, auto& n, auto& v) { m.insert(n, CQmAttributeValue(v)); },
      [](auto& m, auto& n, auto& v) {
        const CQmAttributeValue value(v);
        m.insert(n, value);
      },
      [](auto& m, auto& n, auto& v) { m.insert(n, v); },
      [](auto& m, auto& n, auto& v) { m.insert(n, v.c_str()); },
      [](auto& m, auto& n, auto& v) { m.insert(n, std::string(1, static_cast<char>(v[0]))); },
      [](auto& m, auto& n, auto& v) {
        m.insert(n, std::string(1, static_cast<char>(v[0])).c_str());
      },
  };
  std::vector<CQmAttributeName> names = {Xan_AcdCategory, Xan_State, Xan_CallState,
                                         CQmAttributeName(), static_cast<eAttributeName>(5000)};
  for (const char16_t* text :
       {u"a", u"A", u"b", u"ab", u"AB", u"_x", u"zz z", u"Xan_RecordLengthMillisec"}) {
    names.emplace_back(text);
  }
  std::mt19937 random(7);
  CQmAttributeMap map;
  std::map<CQmAttributeName, CQmAttributeValue> reference;
  std::map<CQmAttributeName, const CQmAttributeValue*> addresses;
  for (int step = 0; step < 4000; ++step) {
    const CQmAttributeName& name = names[random() % names.size()];
    const std::u16string value(1, static_cast<char16_t>(u'a' + random() % 26));
    switch (random() % 6) {
      case 0:
      case 1:
        forms[random() % std::size(forms)](map, name, value);
        reference.insert_or_assign(name, value);
        break;
      case 2:
        map[name].append(value);
        reference[name].append(value);
        break;
      case 3:
        EXPECT_EQ(map.erase(name), reference.erase(name));
        break;
      case 4:
        if (const auto at = map.find(name); at != map.end()) {
          const auto next = map.erase(at);
          EXPECT_EQ(next - map.begin(),
                    std::distance(reference.begin(), reference.erase(reference.find(name))));
        }
        break;
      default:
        if (random() % 40 == 0) {
          map.clear();
          reference.clear();
        }
    }
    const auto found = reference.find(name);
    EXPECT_EQ(std::as_const(map).Query(name),
              found != reference.end() ? found->second : CQmAttributeValue());
    ASSERT_EQ(map.size(), reference.size());
    EXPECT_EQ(map.count(name), reference.count(name));
    ASSERT_TRUE(std::equal(map.begin(), map.end(), reference.begin(),
                           [](auto& a, auto& b) {
                             return a.first.DisplayName() == b.first.DisplayName() &&
                                    a.second == b.second &&
                                    a.first.QueryW4AttributeName() ==
                                        b.first.QueryW4AttributeName();
                           }))
        << "step " << step;
    std::erase_if(addresses, [&](const auto& kept) { return reference.count(kept.first) == 0; });
    for (const auto& [key, ignored] : reference) {
      const auto at = std::as_const(map).find(key);
      ASSERT_EQ(at - map.begin(), std::distance(reference.begin(), reference.find(key)));
      const auto [kept, added] = addresses.emplace(key, &at->second);
      ASSERT_EQ(kept->second, &at->second) << "step " << step;
    }
  }

  // Callers keep what operator[] and find return while they add and remove other entries, as with
  // any ordered map.
  map.clear();
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

// The node pool: which operations carry the nodes over (a value's address
// stays valid), which make new ones, and what each allocates.
TEST(AttributeMapTest, NodesFollowTheirMapAndAreReusedAfterErasure) {
  // What, the change (leaving the map to check in `out`, which holds
  // ThreeKinds() before), whether the nodes follow (else `map` keeps its
  // nodes and `out` has new ones), and the most allocations.
  using Apply = void (*)(CQmAttributeMap & map, std::optional<CQmAttributeMap> & out);
  const std::tuple<const char*, Apply, bool, std::size_t> cases[] = {
      {"move", [](auto& m, auto& out) { out.emplace(std::move(m)); }, true, 0},
      {"move-assign", [](auto& m, auto& out) { *out = std::move(m); }, true, 0},
      {"swap", [](auto& m, auto& out) { swap(*out, m); }, true, 0},
      {"self-assignment",
       [](auto& m, auto& out) {
         CQmAttributeMap& same = m;
         m = same;
         m = std::move(same);
         out.emplace(std::move(m));
       },
       true, 0},
      {"erase and insert again",
       [](auto& m, auto& out) {
         for (int i = 0; i < 40; i += 3) m.erase(static_cast<eAttributeName>(1000 + i));
         for (int i = 0; i < 40; i += 3) m[static_cast<eAttributeName>(1000 + i)] = u"v";
         out.emplace(std::move(m));
       },
       true, 0},
      // The array of nodes and one block.
      {"copy", [](auto& m, auto& out) { out.emplace(m); }, false, 2},
      {"copy-assign", [](auto& m, auto& out) { *out = m; }, false, 2},
  };
  for (const auto& [what, apply, nodesFollow, maxAllocations] : cases) {
    SCOPED_TRACE(what);
    CQmAttributeMap map = Filled();
    map.reserve(60);  // free nodes, which only one map may hand out
    const CQmAttributeValue* state = &map.Query(Xan_State);
    std::optional<CQmAttributeMap> out(ThreeKinds());
    std::size_t allocations = 0;
    {
      const AllocationProbe probe;
      apply(map, out);
      allocations = probe.Count();
    }
    EXPECT_LE(allocations, maxAllocations);
    EXPECT_EQ(*out, Filled());
    EXPECT_EQ(&out->Query(Xan_State) == state, nodesFollow);
    if (!nodesFollow) {
      EXPECT_EQ(&map.Query(Xan_State), state);
    }
    // Each map goes on with free nodes of its own.
    for (int i = 0; i < 20; ++i) (*out)[static_cast<eAttributeName>(2000 + i)] = u"out";
    const std::size_t before = map.size();
    for (int i = 0; i < 20; ++i) map[static_cast<eAttributeName>(2000 + i)] = u"map";
    EXPECT_EQ(std::count_if(out->begin(), out->end(),
                            [](const auto& entry) { return entry.second == u"out"; }),
              20);
    out.reset();
    EXPECT_EQ(map.size(), before + 20);
    EXPECT_EQ(map.Query(static_cast<eAttributeName>(2019)), CQmAttributeValue(u"map"));
  }
}

// ---- message form ----

// Read replaces what the map held; writing the result back shows what it
// kept: names resolved, unknown numbers, entries in map order (custom names by
// case-insensitive text, then standard ones by number), a repeated name with
// its first spelling and last value, a value cut at its first U+0000. A count
// of 0 or less reads nothing more. A failed read (no `written`) throws and
// leaves the map empty, its nodes free for what comes next, and never
// reserves more than the message could hold.
TEST(AttributeMapTest, ReadsEntriesInAnyOrderAndWritesThemInMapOrder) {
  struct Case {
    const char* what;
    void (*build)(CMessage&);
    const char* written = nullptr;
    std::size_t unread = 0;
  };
  const Case cases[] = {
      {"map order", [](CMessage& m) { ThreeKinds().Write(m); },
       "int 3, int -1, wtext \"MyCustom\", wtext \"vc\", int 0, wtext \"v0\", "
       "int -1, wtext \"Xan_RecordLengthMillisec\", wtext \"v721\""},
      {"count 0", [](CMessage& m) { m << std::int32_t{0} << std::int32_t{38}; }, "int 0", 5},
      {"count INT_MIN", [](CMessage& m) { m << std::int32_t{INT_MIN} << std::int32_t{38}; },
       "int 0", 5},
      {"names resolved",
       [](CMessage& m) {
         m << std::int32_t{3} << std::int32_t{-1} << u"callstate" << u"C" << std::int32_t{8}
           << u"eight" << std::int32_t{-1} << std::u16string(u"Has Space") << u"s";
       },
       "int 3, int -1, wtext \"Has_Space\", wtext \"s\", int -1, wtext \"\", wtext \"eight\", "
       "int 105, wtext \"C\""},
      {"a name read twice",
       [](CMessage& m) {
         m << std::int32_t{4} << std::int32_t{38} << u"first" << std::int32_t{-1} << u"Dup" << u"1"
           << std::int32_t{-1} << u"DUP" << u"2" << std::int32_t{38} << u"last";
       },
       "int 2, int -1, wtext \"Dup\", wtext \"2\", int 38, wtext \"last\""},
      {"out of order",
       [](CMessage& m) {
         m << std::int32_t{6} << std::int32_t{105} << u"c" << std::int32_t{38} << u"b"
           << std::int32_t{-1} << u"GAMMA" << u"g" << std::int32_t{0} << u"a" << std::int32_t{-1}
           << u"beta" << u"y" << std::int32_t{-1} << u"Alpha" << u"x";
       },
       "int 6, int -1, wtext \"Alpha\", wtext \"x\", int -1, wtext \"beta\", wtext \"y\", "
       "int -1, wtext \"GAMMA\", wtext \"g\", int 0, wtext \"a\", int 38, wtext \"b\", "
       "int 105, wtext \"c\""},
      {"a value with U+0000",
       [](CMessage& m) {
         m << std::int32_t{1} << std::int32_t{38} << std::u16string(u"ab\0cd", 5);
       },
       "int 1, int 38, wtext \"ab\""},
      {"empty message", [](CMessage&) {}},
      {"count is text", [](CMessage& m) { m << u"3"; }},
      {"truncated after the count", [](CMessage& m) { m << std::int32_t{2}; }},
      {"truncated after a name", [](CMessage& m) { m << std::int32_t{1} << std::int32_t{38}; }},
      {"custom name as a narrow string",
       [](CMessage& m) { m << std::int32_t{1} << std::int32_t{-1} << "narrow" << u"v"; }},
      {"second entry truncated",
       [](CMessage& m) { m << std::int32_t{2} << std::int32_t{38} << u"v" << std::int32_t{-1}; }},
      {"INT_MAX entries, three bytes left",
       [](CMessage& m) { m = FromBody(1, 0xFF, 0xFF, 0xFF, 0x7F, 1, 38, 0); }},
      {"a field tag that does not exist",
       [](CMessage& m) { m = FromBody(1, 1, 0, 0, 0, 0xEE, 0, 0, 0, 0); }},
      {"a text whose length passes the end",
       [](CMessage& m) { m = FromBody(1, 1, 0, 0, 0, 1, 38, 0, 0, 0, 9, 3, 0, 0, 0, 'a', 0); }},
      {"out of order, the last value truncated",
       [](CMessage& m) {
         m << std::int32_t{4} << std::int32_t{38} << u"s" << std::int32_t{0} << u"a"
           << std::int32_t{38} << u"t" << std::int32_t{1};
       }},
      {"two billion claimed, two thousand present",
       [](CMessage& m) {
         m << std::int32_t{2000000000};
         for (int i = 0; i < 2000; ++i) m << std::int32_t{i} << u"value";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CMessage in;
    c.build(in);
    CQmAttributeMap map = ThreeKinds();
    if (c.written == nullptr) {
      const AllocationProbe probe;
      EXPECT_THROW(map.Read(in), CNotifierExtractException);
      // A few nodes ahead of what was read, never the claimed count's worth.
      EXPECT_LE(probe.Largest(), std::max<std::size_t>(in.BodySize(), 1024));
      EXPECT_TRUE(map.empty());
      for (const auto& [name, value] : Filled()) map.insert(name, value);
      EXPECT_EQ(map, Filled());
      continue;
    }
    map.Read(in);
    EXPECT_EQ(in.RemainingBytes(), c.unread);
    CMessage out;
    map.Write(out);
    EXPECT_EQ(out.DescribeFields(), c.written);
  }
  CMessage withZero;
  withZero << std::int32_t{1} << std::int32_t{38} << std::u16string(u"ab\0cd", 5);
  CQmAttributeMap map;
  map.Read(withZero);
  EXPECT_EQ(map.Query(Xan_State).QueryString(), std::u16string(u"ab\0cd", 5));  // kept as read
}

// The map decodes names in place; it must agree with CQmAttributeName::Read.
TEST(AttributeMapTest, NamesDecodeAsCQmAttributeNameReadDecodesThem) {
  // The number, and the text written when the number is -1.
  const std::pair<std::int32_t, const char16_t*> cases[] = {
      {38, nullptr},          {-1, u"callstate"},
      {-1, u"Custom Name.x"}, {-1, u""},
      {8, nullptr},           {721, nullptr},
      {INT_MIN, nullptr},     {-1, u"XAN_RECORDLENGTHMILLISEC"},
      {-1, u"\u00c9t\u00e9"}};
  for (const auto& c : cases) {
    const std::int32_t number = c.first;  // locals: the lambda captures them
    const char16_t* const text = c.second;
    const auto writeName = [&](CMessage& m) -> CMessage& {
      return number == -1 ? m << number << text : m << number;
    };
    CMessage nameOnly;
    CQmAttributeName expected;
    expected.Read(writeName(nameOnly));
    CMessage entry;
    writeName(entry << std::int32_t{1}) << u"v";
    CQmAttributeMap map;
    map.Read(entry);
    ASSERT_EQ(map.size(), 1u);
    const CQmAttributeName& got = map.begin()->first;
    EXPECT_EQ(got.QueryW4AttributeName(), expected.QueryW4AttributeName()) << number;
    EXPECT_EQ(got.DisplayName(), expected.DisplayName()) << number;
  }
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
  // The spelling read first, the value read last.
  EXPECT_EQ(map.begin()->first.DisplayName(), u"Dup");
  EXPECT_EQ(map.begin()->second, CQmAttributeValue(u"last"));
  EXPECT_EQ((map.begin() + 1)->first, CQmAttributeName(static_cast<eAttributeName>(1)));
  EXPECT_EQ((map.end() - 1)->second, CQmAttributeValue(u"e"));
  EXPECT_TRUE(std::is_sorted(map.begin(), map.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; }));
}

}  // namespace
}  // namespace QueueManager
