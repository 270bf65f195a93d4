// Localized display text from templates with resource tokens and arguments.

#include <gtest/gtest.h>

#include <string>

#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/Resources.h"
#include "QueueManager/Platform/Text.h"

namespace QueueManager {
namespace {

constexpr std::uint16_t kGerman = 0x0407;

class LocalizedValue : public ::testing::Test {
 protected:
  void TearDown() override { W4Clnt::ClearRegisteredStrings(); }

  static std::u16string Localized(std::u16string_view text, std::uint16_t language = 0) {
    return CQmAttributeValue(text).QueryLocalizedValue(language);
  }
};

struct CLocalizeCase {
  std::u16string text;
  std::u16string localized;
};

TEST_F(LocalizedValue, ResourceTokensAndArguments) {
  const CLocalizeCase cases[] = {
      {u"plain text", u"plain text"},
      {u"%1001%", u"Connected"},
      {u"[%1000%/%1002%]", u"[Alerting/Held]"},
      {u"%%1001%", u"%Connected"},
      {u"%1001", u"%1001"},
      {u"50% off%1001%", u"50% offConnected"},
      {u"%ab%", u"%ab%"},
      {u"%4711%", u"%4711%"},               // unknown id stays
      {u"%4711%1001%", u"%4711Connected"},  // its closing "%" opens the next token
      {u"%0UNKNOWNNAME0%", u"Unknown Name"},
      {u"%0unknownname0%", u"%0unknownname0%"},
      {u"%4294968297%", u"%4294968297%"},  // 2^32 + 1001 does not wrap to 1001
      {u"%00001001%", u"Connected"},
      {u"%1% and %2%|first|second arg", u"first and second arg"},
      {u"%1%%2%|a much longer argument|b", u"a much longer argumentb"},
      {u"%3%|a|b", u"%3%"},
      {u"%1%|%1002%", u"Held"},  // arguments are localized too
      {u"%2%|a|b|", u"b"},
      {u"%2%|a|", u"%2%"},    // a final separator adds no argument
      {u"[%1%]|", u"[]"},     // a lone final separator: one empty argument
      {u"%1x%2|a|b", u"ab"},  // any character closes a placeholder
      {u"%1|a", u"a"},
      {u"%1%|%2%|x", u"%2%"},  // arguments are not scanned
  };
  for (const CLocalizeCase& test : cases) {
    SCOPED_TRACE(W4Os::WideToNarrowLossy(test.text));
    EXPECT_EQ(Localized(test.text), test.localized);
  }
}

TEST_F(LocalizedValue, UsesTheRequestedLanguageAndLeavesTheValue) {
  ASSERT_TRUE(W4Clnt::RegisterString(kGerman, 1001, "Verbunden \xC3\xBC"));
  const CQmAttributeValue value(u"%1001%");
  EXPECT_EQ(value.QueryLocalizedValue(kGerman), u"Verbunden \u00FC");
  EXPECT_EQ(value.QueryLocalizedValue(0x0409), u"Connected");
  EXPECT_EQ(value.QueryString(), u"%1001%");
}

TEST_F(LocalizedValue, NestedStringsAreExpanded) {
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5000, "state: %1001%"));
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5001, "%1%"));
  EXPECT_EQ(Localized(u"<%5000%>"), u"<state: Connected>");
  // Argument placeholders may come from the localized text itself.
  EXPECT_EQ(Localized(u"%5001%|arg"), u"arg");
}

TEST_F(LocalizedValue, SelfExpandingStringsStopAtTheLimit) {
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5000, "a%5000%"));
  EXPECT_EQ(Localized(u"%5000%"), std::u16string(256, u'a') + u"%5000%");

  ASSERT_TRUE(W4Clnt::RegisterString(0, 5001, "b%5002%"));
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5002, "c%5001%"));
  const std::u16string cycle = Localized(u"%5001%|x");
  EXPECT_EQ(cycle.size(), 256u + 6u);
  EXPECT_EQ(cycle.substr(0, 4), u"bcbc");

  // Each expansion doubles the tokens: the length limit stops it first.
  ASSERT_TRUE(W4Clnt::RegisterString(0, 5003, std::string(4000, 'x') + "%5003%%5003%"));
  const std::u16string doubled = Localized(u"%5003%");
  EXPECT_LE(doubled.size(), 65536u);
  EXPECT_GT(doubled.size(), 60000u);
}

}  // namespace
}  // namespace QueueManager
