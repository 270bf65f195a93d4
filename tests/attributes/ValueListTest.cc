// Attribute values as lists: finding, editing, reading elements, escaping.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/Text.h"

namespace QueueManager {
namespace {

constexpr std::uint32_t kAbsent = CQmAttributeValue::npos;

TEST(ValueList, Find) {
  const std::tuple<std::u16string, std::u16string, bool, std::uint32_t> cases[] = {
      {u"a|b", u"B", false, 1},
      {u"a|b", u"B", true, kAbsent},
      {u"x|a|b", u"a|b", true, 1},
      {u"a||b", u"", true, 1},
      {u"a|b", u"", true, kAbsent},
      {u"", u"", true, 0},
      {u"a|", u"", true, 1},
      {u"|a", u"", true, 0},
      {u"", u"a", true, kAbsent},
      {u"ab", u"abc", false, kAbsent},  // longer than the value
      {u"ab|c", u"a", true, kAbsent},   // a prefix of an element is no match
      {u"abc|b", u"b", true, 1},
      {u"a|bc", u"c", true, kAbsent},  // nor is the end of one
      {u"x|ab", u"x|a", true, kAbsent},
      {u"\u00C9t\u00E9|b", u"\u00E9T\u00C9", false, 0},  // case mapping beyond ASCII
      {u"\u00C9t\u00E9|b", u"\u00E9T\u00C9", true, kAbsent},
  };
  for (const auto& [text, wanted, exact, position] : cases) {
    SCOPED_TRACE(W4Os::WideToNarrowLossy(text + u" / " + wanted));
    EXPECT_EQ(CQmAttributeValue(text).find(wanted, exact), position);
  }
}

TEST(ValueList, InsertIsSetLikeAndTypedInsertComparesExactly) {
  CQmAttributeValue value;
  EXPECT_EQ(value.insert(u"x"), 0u);
  EXPECT_EQ(value.insert(u"X"), 0u);  // a text compares without case
  EXPECT_EQ(value.insert("y"), 1u);
  EXPECT_EQ(value.insert(std::u16string(u"")), 2u);
  EXPECT_EQ(value.insert(u""), 2u);
  EXPECT_EQ(value.QueryString(), u"x|y|");

  CQmAttributeValue five(5);
  EXPECT_EQ(five.insert(0), 1u);  // zero is written as the empty text
  EXPECT_EQ(five.insert(std::uint32_t{5}), 0u);
  EXPECT_EQ(five.insert(true), 2u);
  EXPECT_EQ(five.QueryString(), u"5||1");

  CQmAttributeValue letters(u"a|b");
  letters.insert(CQmAttributeValue(u"B|c|A|d"));
  EXPECT_EQ(letters.QueryString(), u"a|b|c|d");
  letters.insert(letters);
  EXPECT_EQ(letters.QueryString(), u"a|b|c|d");
  // A typed value compares exactly.
  const CW4DateTime time = *CW4DateTime::FromUtcFields({2007, 1, 2, 3, 4, 5});
  CQmAttributeValue times(u"20070102030405z");
  EXPECT_EQ(times.insert(time), 1u);
  EXPECT_EQ(times.QueryString(), u"20070102030405z|20070102030405Z");

  // insertat clamps the position.
  CQmAttributeValue list(u"a|b");
  EXPECT_EQ(list.insertat(u"x", 7), 2u);
  EXPECT_EQ(list.QueryString(), u"a|b|x");
  EXPECT_EQ(list.insertat(u"y", 0), 0u);
  EXPECT_EQ(list.insertat(0, 2), 2u);
  EXPECT_EQ(list.QueryString(), u"y|a||b|x");
  EXPECT_EQ(list.insertat(CQmAttributeValue(u"p|q"), 1), 1u);
  EXPECT_EQ(list.QueryString(), u"y|p|q|a||b|x");
  EXPECT_EQ(list.insertat(CQmAttributeValue(), 99), 7u);
  EXPECT_EQ(list.QueryString(), u"y|p|q|a||b|x");
  EXPECT_EQ(list.insertat(list, 1), 1u);  // inserting itself
  EXPECT_EQ(list.QueryString(), u"y|y|p|q|a||b|x|p|q|a||b|x");

  CQmAttributeValue empty;
  EXPECT_EQ(empty.insertat(u"x", 3), 0u);
  EXPECT_EQ(empty.QueryString(), u"x");
  EXPECT_EQ(empty.insertat("z", 1), 1u);
  EXPECT_EQ(empty.QueryString(), u"x|z");
}

TEST(ValueList, Remove) {
  const std::tuple<std::u16string, std::u16string, bool, std::u16string> cases[] = {
      {u"a|b|b", u"B", true, u"a|b"},
      {u"a|b|b", u"c", false, u"a|b|b"},
      {u"a", u"a", true, u""},
      {u"a|b", u"", true, u"a|b"},
      {u"a|b|c", u"c|x|A", false, u"b"},
      {u"a||b", u"|", false, u"a|b"},  // the empty element twice: one is present
  };
  for (const auto& [text, removed, result, after] : cases) {
    SCOPED_TRACE(W4Os::WideToNarrowLossy(text + u" - " + removed));
    CQmAttributeValue value(text);
    EXPECT_EQ(value.remove(CQmAttributeValue(removed)), result);
    EXPECT_EQ(value.QueryString(), after);
  }
  CQmAttributeValue numbers(u"0|1|0");
  EXPECT_TRUE(numbers.remove(0));
  EXPECT_TRUE(numbers.remove(true));
  EXPECT_EQ(numbers.QueryString(), u"0");
  EXPECT_TRUE(numbers.remove(numbers));
  EXPECT_TRUE(numbers.empty());
}

TEST(ValueList, VectorsInAndOut) {
  EXPECT_EQ(CQmAttributeValue(std::vector<std::u16string>{u"", u"a", u"b"}).QueryString(), u"a|b");
  EXPECT_EQ(CQmAttributeValue(std::vector<std::u16string>{u"a", u"", u"b"}).QueryString(), u"a||b");
  EXPECT_EQ(CQmAttributeValue(std::vector<bool>{false, true}).QueryString(), u"1");
  EXPECT_EQ(CQmAttributeValue(std::vector<bool>{true, false}).QueryString(), u"1|");
  EXPECT_EQ(CQmAttributeValue(std::vector<int>{0, -3}).QueryString(), u"0|-3");
  EXPECT_EQ(CQmAttributeValue(std::vector<InteractionId>{7, 0}).QueryString(), u"7|0");
  CQmAttributeValue value(u"a");
  value.append(value).append(std::uint32_t{0}).append(false);
  EXPECT_EQ(value.QueryString(), u"a|a|0|");
  // QueryVector sizes the vector and stops at the first failure.
  std::vector<bool> flags = {false, false, false, false};
  EXPECT_TRUE(CQmAttributeValue(u"1|").QueryVector(flags));
  EXPECT_EQ(flags, (std::vector<bool>{true, false}));

  std::vector<int> numbers = {9, 9, 9, 9};
  EXPECT_FALSE(CQmAttributeValue(u"1||x3|4").QueryVector(numbers));
  EXPECT_EQ(numbers, (std::vector<int>{1, 0, 0, 9}));  // the failed one holds what parsed

  std::vector<std::uint32_t> unsignedNumbers;
  EXPECT_TRUE(CQmAttributeValue(u"-1|7").QueryVector(unsignedNumbers));
  EXPECT_EQ(unsignedNumbers, (std::vector<std::uint32_t>{UINT32_MAX, 7}));

  std::vector<InteractionId> ids = {1, 2, 3, 4};
  EXPECT_FALSE(CQmAttributeValue(u"10|20|z|30").QueryVector(ids));
  EXPECT_EQ(ids, (std::vector<InteractionId>{10, 20}));

  std::vector<std::u16string> texts = {u"old"};
  EXPECT_TRUE(CQmAttributeValue().QueryVector(texts));
  EXPECT_TRUE(texts.empty());
  std::vector<CQmAttributeValue> values;
  EXPECT_TRUE(CQmAttributeValue(u"|a|").QueryVector(values));
  EXPECT_EQ(values, (std::vector<CQmAttributeValue>{u"", u"a", u""}));
}

TEST(ValueList, EscapeRoundTripsAnyText) {
  EXPECT_EQ(CQmAttributeValue(u"a|\x0001|b").Escape().QueryString(),
            u"a\x0001\x0002\x0001\x0001\x0001\x0002"
            u"b");
  EXPECT_EQ(CQmAttributeValue(u"x\x0001"
                              u"y\x0001")
                .Unescape()
                .QueryString(),
            u"x");
  std::mt19937 random(7);
  const char16_t alphabet[] = {u'|', u'\x0001', u'\x0002', u'a', u'\x0000', u'\xD800'};
  for (int i = 0; i < 2000; ++i) {
    std::u16string text;
    const int length = static_cast<int>(random() % 12);
    for (int j = 0; j < length; ++j) text += alphabet[random() % std::size(alphabet)];
    const CQmAttributeValue escaped = CQmAttributeValue(text).Escape();
    ASSERT_EQ(escaped.QueryString().find(u'|'), std::u16string::npos);
    ASSERT_EQ(escaped.Unescape().QueryString(), text);
  }
}

}  // namespace
}  // namespace QueueManager
