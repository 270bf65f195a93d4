

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "platform/notifier/ByteFormLimit.h"

namespace W4Notifier {
namespace {

using ::testing::HasSubstr;

CMessage EveryFieldType() {
  CMessage m(CEntityId(eQueueManagerServer, kAllObjects), 4);
  m << std::int32_t{-7} << std::uint32_t{4000000000u} << std::int16_t{-3} << std::uint16_t{65535}
    << true << 0x0123456789ABCDEFull << "narrow \xC3\xA9" << std::u16string(u"wide")
    << u"zero-terminated" << eUserQueue;
  const std::uint8_t raw[3] = {1, 2, 3};
  m.Insert(raw, 3);
  return m;
}

// Every field type reads back in order, also through the byte form; 32-bit
// integers and object types read as one another; a nested message keeps its
// header; a copy has a body and a read position of its own.
TEST(MessageTest, FieldsReadBackInOrderWithTheirValues) {
  CMessage m = EveryFieldType();
  m.SetEventName(u"Created");
  const std::vector<std::uint8_t> bytes = m.Serialize();
  CMessage back = CMessage::Parse(bytes);
  EXPECT_EQ(back.Serialize(), bytes);
  EXPECT_EQ(back.QueryEventName(), u"Created");
  EXPECT_EQ(back.QueryEventId(), 4);
  EXPECT_EQ(back.QueryEntityId(), CEntityId(eQueueManagerServer, kAllObjects));
  EXPECT_EQ(back.DescribeFields(),
            "int -7, uint 4000000000, short -3, ushort 65535, bool true, "
            "uint64 81985529216486895, string \"narrow \xC3\xA9\", wstring \"wide\", "
            "wtext \"zero-terminated\", objtype 9, bytes [3 bytes]");
  std::int32_t i;
  std::uint32_t u;
  std::int16_t s;
  std::uint16_t us;
  bool b;
  std::uint64_t u64;
  std::string narrow;
  std::u16string wide, text;
  ObjectTypes type;
  std::uint8_t raw[3];
  back >> i >> u >> s >> us >> b >> u64 >> narrow >> wide >> text >> type;
  back.Extract(raw, 3);
  EXPECT_EQ(std::tie(i, u, s, us, b, u64, narrow, wide, text, type, raw[2]),
            std::make_tuple(-7, 4000000000u, std::int16_t{-3}, std::uint16_t{65535}, true,
                            0x0123456789ABCDEFull, std::string("narrow \xC3\xA9"),
                            std::u16string(u"wide"), std::u16string(u"zero-terminated"), eUserQueue,
                            std::uint8_t{3}));
  EXPECT_TRUE(back.IsAtEndOfData());

  CMessage inner(CEntityId(eInteractionRequest, 77u), 7);
  inner << std::uint32_t{0xFFFFFFFFu} << std::int32_t{29} << eQueueManagerServer;
  CMessage outer;
  outer << std::int32_t{9} << inner << false;
  CMessage copy = outer;
  copy << std::int32_t{2};  // copy on write: `outer` keeps its fields
  CMessage nested;
  outer >> i >> nested >> b;
  EXPECT_TRUE(outer.IsAtEndOfData());
  EXPECT_EQ(nested.QueryEventId(), 7);
  EXPECT_EQ(nested.QueryObjectId(), 77u);
  nested >> i >> type >> u;
  EXPECT_EQ(std::tie(i, type, u), std::make_tuple(-1, eQueueManagerServer, 29u));
  copy >> i >> nested >> b >> i;
  EXPECT_EQ(i, 2);
}

TEST(MessageTest, ReadingAnotherKindOrPastTheEndThrowsAndMalformedBytesAreRejected) {
  CMessage m;
  const char data[] = "abcdef";
  m << std::int16_t{5} << true;
  m.Insert(data, 6);
  std::int32_t wrongSize;
  bool wrongKind;
  std::u16string notText;
  EXPECT_THROW(m >> wrongSize, CNotifierExtractException);
  EXPECT_THROW(m >> wrongKind, CNotifierExtractException);
  EXPECT_THROW(m >> notText, CNotifierExtractException);
  std::int16_t right;
  m >> right >> wrongKind;  // the failed reads left the position on the first field
  EXPECT_EQ(right, 5);
  EXPECT_TRUE(wrongKind);
  char out[8];
  EXPECT_THROW(m.Extract(out, 5), CNotifierExtractException);  // raw bytes need their length
  m.Extract(out, 6);
  EXPECT_EQ(std::string(out, 6), "abcdef");
  EXPECT_TRUE(m.IsAtEndOfData());
  EXPECT_THROW(m >> right, CNotifierExtractException);
  EXPECT_THROW(m.PeekFieldType(), CNotifierExtractException);

  // Bad headers are rejected; a field whose length claims far more than the data hold fails
  // before anything of that size is allocated.
  CMessage wide;
  wide << std::u16string(u"ab");
  std::vector<std::uint8_t> bytes = wide.Serialize();
  const std::size_t lengthAt = bytes.size() - 4 - 4;  // the wide string's count
  bytes[lengthAt] = 0x00;
  bytes[lengthAt + 1] = 0x94;
  bytes[lengthAt + 2] = 0x35;
  bytes[lengthAt + 3] = 0x77;  // about two billion code units
  CMessage hostile = CMessage::Parse(bytes);
  EXPECT_THROW(hostile >> notText, CNotifierExtractException);
  EXPECT_THAT(hostile.DescribeFields(), HasSubstr("<malformed>"));

  const std::vector<std::uint8_t> good = EveryFieldType().Serialize();
  EXPECT_THROW(CMessage::Parse(std::span(good.data(), 10)), CNotifierExtractException);
  std::vector<std::uint8_t> badMagic = good;
  badMagic[0] = 'X';
  EXPECT_THROW(CMessage::Parse(badMagic), CNotifierExtractException);
  std::vector<std::uint8_t> trailing = good;
  trailing.push_back(0);
  EXPECT_THROW(CMessage::Parse(trailing), CNotifierExtractException);
  std::vector<std::uint8_t> truncated(good.begin(), good.end() - 1);
  EXPECT_THROW(CMessage::Parse(truncated), CNotifierExtractException);
}

template <class T>
bool TryRead(CMessage& m) {
  T value{};
  try {
    m >> value;
    return true;
  } catch (const CNotifierExtractException&) {
    return false;
  }
}

// Random corruption of a valid message: parsing and reading every field
// either works or throws CNotifierExtractException, never anything else.
TEST(MessageTest, CorruptedBytesNeverCrashTheReader) {
  CMessage inner(CEntityId(eUserQueue, u"alice"), 3);
  inner << std::int32_t{1} << u"nested";
  CMessage original = EveryFieldType();
  original << inner;
  const std::vector<std::uint8_t> good = original.Serialize();
  std::mt19937 random(12345);
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> bytes = good;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f)
      bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
    if (random() % 4 == 0) bytes.resize(random() % bytes.size());
    try {
      CMessage m = CMessage::Parse(bytes);
      (void)m.DescribeFields();
      while (!m.IsAtEndOfData()) {
        if (m.PeekFieldType() == FieldType::kBytes) {
          std::vector<std::uint8_t> raw;
          m.Extract(raw);
        } else if (!TryRead<std::int32_t>(m) && !TryRead<std::u16string>(m) &&
                   !TryRead<std::uint64_t>(m)) {
          CMessage skip;
          m >> skip;  // may throw: ends this round
        }
      }
    } catch (const CNotifierExtractException&) {
    }
  }
}

// ---- the byte form ----

std::vector<std::uint8_t> Body(const CMessage& message) {
  const auto bytes = message.BodyBytes();
  return {bytes.begin(), bytes.end()};
}

TEST(MessageWriteTest, FieldBytesAreFixedAndZeroTerminatedTextEndsAtItsZero) {
  CMessage message;
  message << std::int32_t{-2} << u"ab" << std::u16string(u"\u00e9") << true;
  // clang-format off
  const std::vector<std::uint8_t> expected = {
      1, 0xFE, 0xFF, 0xFF, 0xFF,              // int -2
      9, 2, 0, 0, 0, 'a', 0, 'b', 0,          // wtext "ab"
      8, 1, 0, 0, 0, 0xE9, 0,                 // wstring "é"
      5, 1};                                  // bool true
  // clang-format on
  EXPECT_EQ(Body(message), expected);

  // Every length and every position of the first U+0000 (in and across the words the scan reads
  // at once) gives the field that zero-terminated text gives.
  for (std::size_t length = 0; length <= 26; ++length) {
    for (std::size_t zeroAt = 0; zeroAt <= length; ++zeroAt) {
      std::u16string text(length, u'\u8000');  // top bits set: no false zero
      for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char16_t>(0x8001 + i);
      if (zeroAt < length) text[zeroAt] = 0;
      if (zeroAt + 2 < length) text[zeroAt + 2] = 0;
      CMessage viaView;
      viaView.WriteZeroTerminated(text);
      CMessage viaPointer;
      viaPointer << text.c_str();
      ASSERT_EQ(Body(viaView), Body(viaPointer)) << length << " " << zeroAt;
      std::u16string read;
      viaView >> read;
      EXPECT_EQ(read.size(), std::min(zeroAt, length));
    }
  }
  CMessage low;  // lanes of one: the test must not see them as zero
  low.WriteZeroTerminated(u"\u0001\u0001\u0001\u0001\u0001");
  EXPECT_EQ(low.BodySize(), 5u + 10u);
}

// The byte form's lengths are 32 bits; a lowered limit stands in for 4 GiB.
// A write that would cross it throws and leaves a well-formed message;
// Serialize refuses a body or name beyond it instead of cutting the lengths
// into bytes that Parse rejects.
TEST(MessageWriteTest, NoWriteGrowsTheBodyBeyondTheByteForm) {
  constexpr std::size_t kLimit = 64;
  CMessage body;
  body << std::string(100, 'b');
  CMessage name(7);
  name.SetEventName(std::u16string(65, u'n'));
  CMessage fits(7);
  fits.SetEventName(std::u16string(64, u'n'));
  const detail::ScopedByteFormLimit limit(kLimit);
  const std::uint8_t raw[60] = {};
  CMessage nested;
  nested << std::string(30, 'n');
  const std::tuple<const char*, std::function<void(CMessage&)>> cases[] = {
      {"ints",
       [](CMessage& m) {
         for (std::int32_t i = 0; i < 20; ++i) m << i;
       }},
      {"strings", [](CMessage& m) { m << std::string(25, 's') << std::string(25, 's'); }},
      {"wide text", [](CMessage& m) { m << std::u16string(28, u'w'); }},
      {"raw bytes", [&](CMessage& m) { m.Insert(raw, sizeof raw); }},
      {"nested message", [&](CMessage& m) { m << nested; }},
      {"reserve", [](CMessage& m) { m.Reserve(kLimit); }},
      {"reserve all", [](CMessage& m) { m.Reserve(std::numeric_limits<std::size_t>::max()); }},
  };
  for (const auto& [what, write] : cases) {
    CMessage message;
    message << std::int32_t{7};
    EXPECT_THROW(write(message), CNotifierException) << what;
    EXPECT_LE(message.BodySize(), kLimit) << what;
    EXPECT_EQ(message.DescribeFields().find("malformed"), std::string::npos) << what;
    EXPECT_EQ(CMessage::Parse(message.Serialize()).BodyBytes().size(), message.BodySize());
  }
  CMessage full;  // exactly at the limit
  full << std::string(kLimit - 5, 'f');
  EXPECT_EQ(CMessage::Parse(full.Serialize()).DescribeFields(), full.DescribeFields());
  EXPECT_THROW(full << false, CNotifierException);
  EXPECT_THROW(body.Serialize(), CNotifierException);
  EXPECT_THROW(name.Serialize(), CNotifierException);
  EXPECT_EQ(CMessage::Parse(fits.Serialize()).QueryEventName(), fits.QueryEventName());
}

// ---- entities ----

TEST(EntityIdTest, NamedEntitiesIgnoreLetterCaseAvoidReservedIdsAndRoundTrip) {
  const CEntityId a(eWorkgroupQueue, u"Sales");
  const CEntityId b(eWorkgroupQueue, "SALES");
  EXPECT_TRUE(a.IsSet());
  EXPECT_FALSE(CEntityId().IsSet());
  EXPECT_FALSE(CEntityId(eWorkgroupQueue, u"").IsSet());
  EXPECT_EQ(a, b);
  EXPECT_NE(a, CEntityId(eUserQueue, u"Sales"));  // same name, other type
  EXPECT_NE(a, CEntityId(eWorkgroupQueue, u"Support"));
  for (int i = 0; i < 5000; ++i) {
    const std::uint32_t id = CEntityId::ObjectIdFromName(std::u16string(1, char16_t(i)) + u"q");
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, kAllObjects);
  }

  // Scoped names round-trip (an entity built from the id of a named one shows the name); a bad
  // one resets the entity.
  const CEntityId queue(eWorkgroupQueue, u"Sales");
  EXPECT_EQ(queue.QueryScopedName().str(), u"WorkgroupQueue:Sales");
  const CEntityId server(eQueueManagerServer, kAllObjects);
  EXPECT_EQ(server.QueryScopedName().str(), u"QueueManager:#4294967295");
  EXPECT_EQ(CEntityId(static_cast<ObjectTypes>(57), 3u).QueryScopedName().str(), u"57:#3");
  const CEntityId named(eStationQueue, u"Desk 12");
  EXPECT_EQ(CEntityId(eStationQueue, named.QueryObjectId()).QueryScopedName().str(),
            u"StationQueue:Desk 12");
  EXPECT_TRUE(CEntityId().QueryScopedName().empty());

  CEntityId parsed;
  ASSERT_TRUE(parsed.SetFromScopedName(u"userqueue:alice"));
  EXPECT_EQ(parsed, CEntityId(eUserQueue, u"Alice"));
  ASSERT_TRUE(parsed.SetFromScopedName("QueueManager:#4294967295"));
  EXPECT_EQ(parsed, server);
  ASSERT_TRUE(parsed.SetFromScopedName(u"57:name"));
  EXPECT_EQ(parsed.QueryObjectType(), 57);
  for (const char16_t* bad : {u"", u"noscope", u":leadingcolon", u"UnknownType:x", u"UserQueue:"}) {
    parsed = CEntityId(eUserQueue, u"bob");
    EXPECT_FALSE(parsed.SetFromScopedName(bad)) << "accepted a bad scoped name";
    EXPECT_FALSE(parsed.IsSet());
  }
}

TEST(EntityIdTest, OrderingIsByTypeThenIdAndTypesHaveNames) {
  std::set<CEntityId> ordered{CEntityId(eUserQueue, 5u), CEntityId(eWorkgroupQueue, 9u),
                              CEntityId(eWorkgroupQueue, 0xFFFFFFFFu), CEntityId()};
  std::vector<CEntityId> expected{CEntityId(), CEntityId(eWorkgroupQueue, 9u),
                                  CEntityId(eWorkgroupQueue, 0xFFFFFFFFu),
                                  CEntityId(eUserQueue, 5u)};
  EXPECT_EQ(std::vector<CEntityId>(ordered.begin(), ordered.end()), expected);
  // The options argument is not part of the identity.
  EXPECT_EQ(CEntityId(eUserQueue, 5u, 0), CEntityId(eUserQueue, 5u, 1));
  // The fixed object types have names, the others numbers.
  EXPECT_EQ(GetNotifierObjectTypeName(eQueueManagerServer).str(), u"QueueManager");
  EXPECT_EQ(GetNotifierObjectTypeName(static_cast<ObjectTypes>(-4)).str(), u"-4");
  for (ObjectTypes t : {eWorkgroupQueue, eObjectTypeEntity, eGenericObject2}) {
    EXPECT_EQ(ObjectTypeFromName(GetNotifierObjectTypeName(t).str()), t);
  }
  EXPECT_FALSE(ObjectTypeFromName(u"99999999999").has_value());
}

// Copies of one message go to several threads. Some read theirs and drop it,
// others read theirs and then write to it, while this thread writes to the
// original. Whoever writes last owns the body alone and writes in place: the
// other owners' reads and releases must happen before that write (a race
// under ThreadSanitizer otherwise), and no write may show through another
// copy.
TEST(MessageConcurrencyTest, CopiesReadWrittenAndDroppedOnOtherThreadsStayIndependent) {
  for (int round = 0; round < 300; ++round) {
    CMessage original;
    original << std::int32_t{round} << std::u16string(u"shared text");
    const std::string shared = "int " + std::to_string(round) + ", wstring \"shared text\"";
    std::vector<CMessage> copies(4, original);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < copies.size(); ++t) {
      threads.emplace_back([&copies, &shared, t] {
        CMessage mine = std::move(copies[t]);
        EXPECT_EQ(mine.DescribeFields(), shared);
        if (t % 2 == 0) return;  // dropped here, maybe as the next-to-last owner
        for (std::int32_t i = 0; i < 3; ++i) mine << static_cast<std::int32_t>(t);
        const std::string own = ", int " + std::to_string(t);
        EXPECT_EQ(mine.DescribeFields(), shared + own + own + own);
      });
    }
    original << true;
    EXPECT_EQ(original.DescribeFields(), shared + ", bool true");
    for (std::thread& thread : threads) thread.join();
  }
}

}  // namespace
}  // namespace W4Notifier
