#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "QueueManager/Platform/Message.h"

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

TEST(MessageTest, FieldsReadBackInOrderWithTheirValues) {
  CMessage m = EveryFieldType();
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
  m >> i >> u >> s >> us >> b >> u64 >> narrow >> wide >> text >> type;
  m.Extract(raw, 3);
  EXPECT_EQ(std::tie(i, u, s, us, b, u64, narrow, wide, text, type, raw[2]),
            std::make_tuple(-7, 4000000000u, std::int16_t{-3}, std::uint16_t{65535}, true,
                            0x0123456789ABCDEFull, std::string("narrow \xC3\xA9"),
                            std::u16string(u"wide"), std::u16string(u"zero-terminated"), eUserQueue,
                            std::uint8_t{3}));
  EXPECT_TRUE(m.IsAtEndOfData());
  EXPECT_EQ(m.QueryEventId(), 4);
  EXPECT_EQ(m.QueryEntityId(), CEntityId(eQueueManagerServer, kAllObjects));
  EXPECT_EQ(EveryFieldType().DescribeFields(),
            "int -7, uint 4000000000, short -3, ushort 65535, bool true, "
            "uint64 81985529216486895, string \"narrow \xC3\xA9\", wstring \"wide\", "
            "wtext \"zero-terminated\", objtype 9, bytes [3 bytes]");
}

TEST(MessageTest, ThirtyTwoBitIntegersAndObjectTypesReadAsOneAnother) {
  CMessage m;
  m << std::uint32_t{0xFFFFFFFFu} << std::int32_t{29} << eQueueManagerServer;
  std::int32_t asInt;
  ObjectTypes asType;
  std::uint32_t asUnsigned;
  m >> asInt >> asType >> asUnsigned;
  EXPECT_EQ(asInt, -1);
  EXPECT_EQ(asType, eQueueManagerServer);
  EXPECT_EQ(asUnsigned, 29u);
}

TEST(MessageTest, ReadingAnotherKindOrPastTheEndThrowsAndKeepsThePosition) {
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
}

TEST(MessageTest, NestedMessagesKeepHeaderAndFields) {
  CMessage inner(CEntityId(eInteractionRequest, 77u), 7);
  inner << std::int32_t{1} << std::u16string(u"x");
  CMessage outer;
  outer << std::int32_t{9} << inner << false;
  std::int32_t nine;
  CMessage back;
  bool last;
  outer >> nine >> back >> last;
  EXPECT_EQ(back.QueryEventId(), 7);
  EXPECT_EQ(back.QueryObjectId(), 77u);
  EXPECT_EQ(back.DescribeFields(), "int 1, wstring \"x\"");
  EXPECT_FALSE(last);
}

TEST(MessageTest, CopiesHaveTheirOwnReadPositionAndBody) {
  CMessage a;
  a << std::int32_t{1};
  CMessage b = a;
  b << std::int32_t{2};  // copy on write: `a` keeps one field
  std::int32_t value;
  a >> value;
  EXPECT_TRUE(a.IsAtEndOfData());
  b >> value >> value;
  EXPECT_EQ(value, 2);
}

TEST(MessageTest, SerializeAndParseRoundTrip) {
  CMessage m = EveryFieldType();
  m.SetEventName(u"Created");
  const std::vector<std::uint8_t> bytes = m.Serialize();
  CMessage back = CMessage::Parse(bytes);
  EXPECT_EQ(back.QueryEventName(), u"Created");
  EXPECT_EQ(back.QueryEventId(), m.QueryEventId());
  EXPECT_EQ(back.QueryEntityId(), m.QueryEntityId());
  EXPECT_EQ(back.DescribeFields(), m.DescribeFields());
  EXPECT_EQ(back.Serialize(), bytes);
}

// A field whose length claims far more than the data hold must fail before
// anything of that size is allocated.
TEST(MessageTest, HugeClaimedLengthsFailWithoutAllocating) {
  CMessage m;
  m << std::u16string(u"ab");
  std::vector<std::uint8_t> bytes = m.Serialize();
  const std::size_t lengthAt = bytes.size() - 4 - 4;  // the wide string's count
  bytes[lengthAt] = 0x00;
  bytes[lengthAt + 1] = 0x94;
  bytes[lengthAt + 2] = 0x35;
  bytes[lengthAt + 3] = 0x77;  // about two billion code units
  CMessage hostile = CMessage::Parse(bytes);
  std::u16string text;
  EXPECT_THROW(hostile >> text, CNotifierExtractException);
  EXPECT_THAT(hostile.DescribeFields(), HasSubstr("<malformed>"));
}

TEST(MessageTest, MalformedHeadersAreRejected) {
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

}  // namespace
}  // namespace W4Notifier
