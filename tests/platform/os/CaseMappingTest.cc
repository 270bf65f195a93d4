#include <gtest/gtest.h>

#include <cstdint>

#include "QueueManager/Platform/Text.h"

namespace W4Os {
namespace {

// The generator check (ctest os_case_table_current) compares the whole table
// with the Unicode data; these are the cases that a wrong range or offset in
// the lookup would break.
TEST(CaseMapping, MapsOneToOneMappingsAndLeavesTheRest) {
  struct Case {
    char16_t unit, lower, upper;
  };
  const Case cases[] = {
      {u'A', u'a', u'A'},       {u'z', u'z', u'Z'},       {u'@', u'@', u'@'},
      {u'[', u'[', u'['},       {u'`', u'`', u'`'},       {u'{', u'{', u'{'},
      {0x00C0, 0x00E0, 0x00C0}, {0x00DE, 0x00FE, 0x00DE}, {0x00D7, 0x00D7, 0x00D7},
      {0x00F7, 0x00F7, 0x00F7}, {0x00DF, 0x00DF, 0x00DF}, {0x00FF, 0x00FF, 0x0178},
      {0x0178, 0x00FF, 0x0178}, {0x00B5, 0x00B5, 0x039C}, {0x0391, 0x03B1, 0x0391},
      {0x03A3, 0x03C3, 0x03A3}, {0x03C2, 0x03C2, 0x03A3}, {0x0401, 0x0451, 0x0401},
      {0x044F, 0x044F, 0x042F}, {0x0130, 0x0130, 0x0130}, {0xD83D, 0xD83D, 0xD83D},
      {0x4E2D, 0x4E2D, 0x4E2D}, {0xFF21, 0xFF41, 0xFF21}, {0xFFFF, 0xFFFF, 0xFFFF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToLower(c.unit), c.lower) << std::hex << int{c.unit};
    EXPECT_EQ(ToUpper(c.unit), c.upper) << std::hex << int{c.unit};
  }
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

TEST(CompareExactAndToLowerInPlace, AreCaseSensitiveAndMapEveryUnit) {
  EXPECT_EQ(CompareExact(u"a", u"a"), 0);
  EXPECT_EQ(CompareExact(u"A", u"a"), -1);
  EXPECT_EQ(CompareExact(u"ab", u"a"), 1);
  std::u16string text = u"\u00C0BC-\u0416";
  ToLowerInPlace(text);
  EXPECT_EQ(text, u"\u00E0bc-\u0436");
}

}  // namespace
}  // namespace W4Os
