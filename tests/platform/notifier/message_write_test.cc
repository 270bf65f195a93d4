#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "QueueManager/Platform/Message.h"

namespace W4Notifier {
namespace {

std::vector<std::uint8_t> Body(const CMessage& message) {
  const auto bytes = message.BodyBytes();
  return {bytes.begin(), bytes.end()};
}

// Writes enough fields of growing size to cross several capacity steps.
void WriteMany(CMessage& message) {
  for (int i = 0; i < 300; ++i) {
    message << std::int32_t{i} << std::u16string(static_cast<std::size_t>(i % 50), u'x');
  }
}

TEST(MessageWriteTest, FieldBytesAreFixed) {
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
}

// Every length and every position of the first U+0000 (in and across the
// words the scan reads at once) gives the field that zero-terminated text
// gives.
TEST(MessageWriteTest, WriteZeroTerminatedMatchesTheZeroTerminatedField) {
  for (std::size_t length = 0; length <= 13; ++length) {
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

TEST(MessageWriteTest, ReservingChangesNoByte) {
  CMessage plain;
  WriteMany(plain);
  for (const std::size_t reserve : {std::size_t{0}, std::size_t{7}, std::size_t{100000}}) {
    CMessage reserved;
    reserved.Reserve(reserve);
    WriteMany(reserved);
    EXPECT_EQ(Body(reserved), Body(plain)) << reserve;
    reserved.Reserve(reserve);  // between fields too
    reserved << 5ull;           // the 64-bit field
    EXPECT_EQ(reserved.BodySize(), plain.BodySize() + 9);
  }
  std::int32_t first = -1;
  std::u16string text;
  plain >> first >> text;
  EXPECT_EQ(first, 0);
}

// Copies share the body until one writes; neither a write nor a Reserve on one
// may show through the other, whichever writes first.
TEST(MessageWriteTest, WritesAndReservesAfterACopyStayPrivate) {
  CMessage original;
  original << std::int32_t{1};
  CMessage copy = original;
  copy.Reserve(4096);
  copy << std::int32_t{2};
  original << u"only in the original";
  EXPECT_EQ(original.DescribeFields(), "int 1, wtext \"only in the original\"");
  EXPECT_EQ(copy.DescribeFields(), "int 1, int 2");

  CMessage large;
  WriteMany(large);
  CMessage largeCopy = large;
  large << std::int32_t{9};
  const std::vector<std::uint8_t> grown = Body(large);
  ASSERT_EQ(largeCopy.BodySize() + 5, grown.size());
  EXPECT_EQ(Body(largeCopy), std::vector<std::uint8_t>(grown.begin(), grown.end() - 5));
}

TEST(MessageWriteTest, ReservingBeyondTheByteFormThrowsAndKeepsTheMessage) {
  CMessage message;
  message << std::int32_t{3};
  EXPECT_THROW(message.Reserve(std::numeric_limits<std::size_t>::max()), CNotifierException);
  EXPECT_THROW(message.Reserve(0xFFFFFFFFu), CNotifierException);
  message << std::int32_t{4};
  EXPECT_EQ(message.DescribeFields(), "int 3, int 4");
}

TEST(MessageWriteTest, ParsedMessagesGrowWhenWrittenTo) {
  CMessage original;
  WriteMany(original);
  CMessage parsed = CMessage::Parse(original.Serialize());
  parsed << std::int32_t{77};
  original << std::int32_t{77};
  EXPECT_EQ(Body(parsed), Body(original));
  parsed.ClearBody();
  parsed << std::int32_t{1};
  EXPECT_EQ(parsed.DescribeFields(), "int 1");
}

}  // namespace
}  // namespace W4Notifier
