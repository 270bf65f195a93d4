#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "QueueManager/Platform/Text.h"
#include "platform/os/CaseMappingPairs.h"

namespace W4Os {
namespace {

constexpr std::size_t kBmpSize = 0x10000;

// The mapping the generator derived, expanded to every code unit.
std::array<char16_t, kBmpSize> Expand(const W4OsTest::CasePair* begin,
                                      const W4OsTest::CasePair* end) {
  std::array<char16_t, kBmpSize> mapping{};
  for (std::size_t c = 0; c < kBmpSize; ++c) mapping[c] = static_cast<char16_t>(c);
  for (const auto* pair = begin; pair != end; ++pair) mapping[pair->from] = pair->to;
  return mapping;
}

TEST(CaseTable, AgreesWithTheGeneratorOnEveryCodeUnit) {
  const auto lower = Expand(std::begin(W4OsTest::kLowerPairs), std::end(W4OsTest::kLowerPairs));
  const auto upper = Expand(std::begin(W4OsTest::kUpperPairs), std::end(W4OsTest::kUpperPairs));
  int mismatches = 0;
  for (std::size_t c = 0; c < kBmpSize && mismatches < 10; ++c) {
    const auto unit = static_cast<char16_t>(c);
    if (ToLower(unit) != lower[c] || ToUpper(unit) != upper[c]) {
      ++mismatches;
      ADD_FAILURE() << "code unit U+" << std::hex << c;
    }
  }
}

TEST(CaseMapping, Ascii) {
  for (char16_t c = u'A'; c <= u'Z'; ++c) {
    EXPECT_EQ(ToLower(c), c + 32);
    EXPECT_EQ(ToUpper(static_cast<char16_t>(c + 32)), c);
  }
  // Neighbours of the letter ranges stay as they are.
  for (char16_t c : {u'@', u'[', u'`', u'{', u'0', u'_', char16_t{0x7F}}) {
    EXPECT_EQ(ToLower(c), c);
    EXPECT_EQ(ToUpper(c), c);
  }
}

TEST(CaseMapping, Latin1) {
  for (char16_t c = 0x00C0; c <= 0x00DE; ++c) {
    if (c == 0x00D7) continue;  // multiplication sign
    EXPECT_EQ(ToLower(c), c + 0x20) << std::hex << int{c};
    EXPECT_EQ(ToUpper(static_cast<char16_t>(c + 0x20)), c) << std::hex << int{c};
  }
  EXPECT_EQ(ToLower(0x00D7), 0x00D7);
  EXPECT_EQ(ToUpper(0x00F7), 0x00F7);            // division sign
  EXPECT_EQ(ToUpper(0x00DF), 0x00DF);            // sharp s: uppercase is "SS"
  EXPECT_EQ(ToUpper(0x00FF), char16_t{0x0178});  // y with diaeresis leaves Latin-1
  EXPECT_EQ(ToLower(0x0178), char16_t{0x00FF});
  EXPECT_EQ(ToUpper(0x00B5), char16_t{0x039C});  // micro sign -> Greek capital mu
}

TEST(CaseMapping, GreekAndCyrillic) {
  EXPECT_EQ(ToLower(0x0391), char16_t{0x03B1});  // Alpha
  EXPECT_EQ(ToLower(0x03A3), char16_t{0x03C3});  // Sigma -> sigma (not final sigma)
  EXPECT_EQ(ToUpper(0x03C2), char16_t{0x03A3});  // final sigma
  EXPECT_EQ(ToLower(0x0410), char16_t{0x0430});  // Cyrillic A
  EXPECT_EQ(ToLower(0x0401), char16_t{0x0451});  // IO
  EXPECT_EQ(ToUpper(0x044F), char16_t{0x042F});  // ya
}

TEST(CaseMapping, LeavesCodeUnitsWithoutOneToOneMapping) {
  EXPECT_EQ(ToLower(0x0130), char16_t{0x0130});  // dotted capital I lowers to two
  EXPECT_EQ(ToLower(0xD83D), char16_t{0xD83D});  // surrogate
  EXPECT_EQ(ToLower(0x4E2D), char16_t{0x4E2D});  // CJK
  EXPECT_EQ(ToLower(0xFF21), char16_t{0xFF41});  // fullwidth A, far from ASCII
  EXPECT_EQ(ToLower(0xFFFF), char16_t{0xFFFF});
}

TEST(CompareNoCase, OrdersByLowerCaseLikeWcscmp) {
  EXPECT_EQ(CompareNoCase(u"Xan_State", u"xan_state"), 0);
  EXPECT_LT(CompareNoCase(u"abc", u"ABD"), 0);
  EXPECT_GT(CompareNoCase(u"b", u"A"), 0);
  EXPECT_LT(CompareNoCase(u"ab", u"ABC"), 0);  // a shorter prefix first
  EXPECT_GT(CompareNoCase(u"ABC", u"ab"), 0);
  // '_' (0x5F) lies between the upper- and lower-case letters: comparing the
  // lower-case forms puts it before 'a', comparing the upper-case forms would
  // put it after 'A'.
  EXPECT_LT(CompareNoCase(u"_", u"A"), 0);
  EXPECT_TRUE(EqualsNoCase(u"\u0391\u0410", u"\u03B1\u0430"));
  EXPECT_FALSE(EqualsNoCase(u"a", u"ab"));
}

TEST(CompareExact, IsCaseSensitiveThreeWay) {
  EXPECT_EQ(CompareExact(u"a", u"a"), 0);
  EXPECT_EQ(CompareExact(u"A", u"a"), -1);
  EXPECT_EQ(CompareExact(u"ab", u"a"), 1);
}

TEST(ToLowerInPlace, MapsEveryCodeUnit) {
  std::u16string text = u"\u00C0BC-\u0416";
  ToLowerInPlace(text);
  EXPECT_EQ(text, u"\u00E0bc-\u0436");
}

}  // namespace
}  // namespace W4Os
