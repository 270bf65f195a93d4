#include "QueueManager/Platform/Text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace W4Os {
namespace {

TEST(Utf8Conversion, RoundTripsEveryPlane) {
  // One character of each encoded length, including a supplementary-plane
  // emoji (surrogate pair) and the last code point.
  const std::string narrow = "A\u00E9\u20AC\U0001F600\U0010FFFF";
  const std::u16string wide = u"A\u00E9\u20AC\U0001F600\U0010FFFF";

  std::u16string toWide;
  ASSERT_TRUE(NarrowToWide(narrow, toWide));
  EXPECT_EQ(toWide, wide);
  std::string toNarrow;
  ASSERT_TRUE(WideToNarrow(wide, toNarrow));
  EXPECT_EQ(toNarrow, narrow);
}

TEST(Utf8Conversion, KeepsEmbeddedNulAndEmptyText) {
  std::u16string wide = u"stale";
  ASSERT_TRUE(NarrowToWide(std::string_view("a\0b", 3), wide));
  EXPECT_EQ(wide, std::u16string(u"a\0b", 3));
  ASSERT_TRUE(NarrowToWide("", wide));
  EXPECT_TRUE(wide.empty());
}

TEST(Utf8Conversion, RejectsEachKindOfInvalidUtf8) {
  const char* const invalid[] = {
      "\x80",              // continuation byte without a lead
      "\xC0\xAF",          // overlong two-byte form of '/'
      "\xE0\x80\xAF",      // overlong three-byte form
      "\xF0\x8F\xBF\xBF",  // overlong four-byte form
      "\xED\xA0\x80",      // high surrogate D800 encoded in UTF-8
      "\xED\xBF\xBF",      // low surrogate DFFF encoded in UTF-8
      "\xF4\x90\x80\x80",  // U+110000
      "\xF5\x80\x80\x80",  // lead byte beyond U+10FFFF
      "\xE2\x82",          // truncated euro sign
      "ok\xC3",            // truncated at the end after valid text
      "\xC3\x28",          // lead byte followed by ASCII
      "\xFF",              // never valid
  };
  for (const char* text : invalid) {
    std::u16string out = u"stale";
    EXPECT_FALSE(NarrowToWide(text, out)) << "input " << ::testing::PrintToString(text);
    EXPECT_TRUE(out.empty());
  }
}

TEST(Utf8Conversion, AcceptsBoundariesOfEachRange) {
  const char* const valid[] = {"\x7F",         "\xC2\x80",         "\xDF\xBF",
                               "\xE0\xA0\x80", "\xED\x9F\xBF",     "\xEE\x80\x80",
                               "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"};
  for (const char* text : valid) {
    std::u16string out;
    EXPECT_TRUE(NarrowToWide(text, out)) << ::testing::PrintToString(text);
  }
}

TEST(Utf16Conversion, RejectsUnpairedSurrogates) {
  const std::u16string invalid[] = {
      std::u16string(1, char16_t{0xD800}),                // lone high at the end
      std::u16string{char16_t{0xDC00}, u'a'},             // lone low
      std::u16string{char16_t{0xD800}, u'a'},             // high followed by non-low
      std::u16string{char16_t{0xDC00}, char16_t{0xD800}}  // pair in the wrong order
  };
  for (const auto& text : invalid) {
    std::string out = "stale";
    EXPECT_FALSE(WideToNarrow(text, out));
    EXPECT_TRUE(out.empty());
  }
}

TEST(LossyConversion, ReplacesEachMaximalIllFormedPart) {
  // A truncated three-byte sequence counts once; a stray byte once each.
  EXPECT_EQ(NarrowToWideLossy("a\xE2\x82z"), u"a\uFFFDz");
  EXPECT_EQ(NarrowToWideLossy("\x80\x80"), u"\uFFFD\uFFFD");
  EXPECT_EQ(NarrowToWideLossy("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(NarrowToWideLossy("\xC3\xA9"), u"\u00E9");

  const std::u16string lone{u'x', char16_t{0xD800}, u'y'};
  EXPECT_EQ(WideToNarrowLossy(lone), "x\xEF\xBF\xBDy");
  EXPECT_EQ(WideToNarrowLossy(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(WideLengthAndFormatter, CountCodeUnitsAndPrintUtf8) {
  EXPECT_EQ(WideLength(nullptr), 0u);
  EXPECT_EQ(WideLength(u"\U0001F600z"), 3u);
  EXPECT_EQ(fmt::format("<{}>", Utf8(u"Gr\u00FC\u00DFe")),
            "<Gr\xC3\xBC\xC3\x9F"
            "e>");
  EXPECT_EQ(fmt::format("{:>4}", Utf8(u"ab")), "  ab");
}

}  // namespace
}  // namespace W4Os
