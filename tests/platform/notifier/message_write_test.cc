#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "QueueManager/Platform/Message.h"
#include "platform/notifier/ByteFormLimit.h"

namespace W4Notifier {
namespace {

std::vector<std::uint8_t> Body(const CMessage& message) {
  const auto bytes = message.BodyBytes();
  return {bytes.begin(), bytes.end()};
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
// A write that would cross it throws and leaves a well-formed message.
TEST(MessageWriteTest, NoWriteGrowsTheBodyBeyondTheByteForm) {
  constexpr std::size_t kLimit = 64;
  const detail::ScopedByteFormLimit limit(kLimit);
  const std::uint8_t raw[60] = {};
  CMessage nested;
  nested << std::string(30, 'n');
  struct Case {
    const char* what;
    std::function<void(CMessage&)> write;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    CMessage message;
    message << std::int32_t{7};
    EXPECT_THROW(c.write(message), CNotifierException) << c.what;
    EXPECT_LE(message.BodySize(), kLimit) << c.what;
    EXPECT_EQ(message.DescribeFields().find("malformed"), std::string::npos) << c.what;
    EXPECT_EQ(CMessage::Parse(message.Serialize()).BodyBytes().size(), message.BodySize());
  }
  CMessage full;  // exactly at the limit
  full << std::string(kLimit - 5, 'f');
  EXPECT_EQ(CMessage::Parse(full.Serialize()).DescribeFields(), full.DescribeFields());
  EXPECT_THROW(full << false, CNotifierException);
}

// Serialize refuses what its 32-bit lengths cannot carry instead of cutting
// the lengths into bytes that Parse rejects.
TEST(MessageWriteTest, SerializeRefusesABodyOrNameBeyondTheByteForm) {
  CMessage body;
  body << std::string(100, 'b');
  CMessage name(7);
  name.SetEventName(std::u16string(65, u'n'));
  CMessage fits(7);
  fits.SetEventName(std::u16string(64, u'n'));
  const detail::ScopedByteFormLimit limit(64);
  EXPECT_THROW(body.Serialize(), CNotifierException);
  EXPECT_THROW(name.Serialize(), CNotifierException);
  EXPECT_EQ(CMessage::Parse(fits.Serialize()).QueryEventName(), fits.QueryEventName());
}

}  // namespace
}  // namespace W4Notifier
