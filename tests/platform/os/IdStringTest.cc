#include "QueueManager/Platform/IdString.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <unordered_set>

namespace W4STD {
namespace {

TEST(W4IdString, KeepsTheTextAndComparesWithoutCase) {
  const w4idstring mixed(u"Xan_CallId");
  EXPECT_EQ(mixed.str(), u"Xan_CallId");  // the text as given is kept
  EXPECT_EQ(mixed.lower(), u"xan_callid");
  EXPECT_EQ(mixed, w4idstring(u"XAN_CALLID"));
  EXPECT_NE(mixed, w4idstring(u"Xan_CallIdKey"));
  EXPECT_EQ(w4idstring(u"\u00C9T\u00C9"), w4idstring(u"\u00E9t\u00E9"));
}

TEST(W4IdString, OrdersByLowerCaseForm) {
  EXPECT_LT(w4idstring(u"apple"), w4idstring(u"BANANA"));
  EXPECT_GT(w4idstring(u"Banana"), w4idstring(u"apple"));
  EXPECT_LT(w4idstring(u"AB"), w4idstring(u"abc"));
  EXPECT_LE(w4idstring(u"ab"), w4idstring(u"AB"));
  EXPECT_GE(w4idstring(u"ab"), w4idstring(u"AB"));
  // '_' orders before letters because the lower-case forms are compared.
  EXPECT_LT(w4idstring(u"x_"), w4idstring(u"XA"));

  std::map<w4idstring, int> byName;
  byName[w4idstring(u"Key")] = 1;
  byName[w4idstring(u"KEY")] = 2;
  ASSERT_EQ(byName.size(), 1u);
  EXPECT_EQ(byName.begin()->second, 2);
}

TEST(W4IdString, HashIsTimes33OverLowerCase) {
  EXPECT_EQ(w4idstring().hash(), 0u);
  EXPECT_EQ(w4idstring(u"ab").hash(), 97u * 33u + 98u);
  EXPECT_EQ(w4idstring(u"AB").hash(), 97u * 33u + 98u);
  // Wraps modulo 2^32: eight 'z' overflow 32 bits.
  std::uint32_t expected = 0;
  for (int i = 0; i < 8; ++i) expected = expected * 33u + u'z';
  EXPECT_EQ(w4idstring(u"ZZZZzzzz").hash(), expected);

  std::unordered_set<w4idstring> names{w4idstring(u"Queue"), w4idstring(u"QUEUE")};
  EXPECT_EQ(names.size(), 1u);
}

// Stands for a library function taking identifier text in any form.
std::u16string Accept(const w4idstring_arg& arg) { return arg.get().str(); }
const w4idstring* AddressOf(const w4idstring_arg& arg) { return &arg.get(); }

TEST(W4IdString, BuildsFromEveryTextFormAndWritesUtf8) {
  const unsigned short units[] = {u'Q', 0x00E9, 0};
  const std::string narrow = "Q\xC3\xA9";
  for (const std::u16string& text :
       {Accept(units), Accept(narrow.c_str()), Accept(narrow), Accept(std::string_view(narrow)),
        Accept(u"Q\u00E9"), Accept(std::u16string(u"Q\u00E9"))}) {
    EXPECT_EQ(text, u"Q\u00E9");
  }
  EXPECT_EQ(w4idstring(std::u16string_view(u"abc").substr(1)).str(), u"bc");
  EXPECT_TRUE(w4idstring(static_cast<const char16_t*>(nullptr)).empty());
  EXPECT_TRUE(w4idstring(static_cast<const unsigned short*>(nullptr)).empty());
  EXPECT_TRUE(w4idstring(static_cast<const char*>(nullptr)).empty());
  EXPECT_TRUE(w4idstring("bad\xC0\xAF").empty());  // failed conversion

  const w4idstring id(u"N\u00E4me");
  EXPECT_EQ(AddressOf(id), &id);  // no copy of an identifier string
  std::ostringstream out;
  out << id;
  EXPECT_EQ(out.str(), "N\xC3\xA4me");
  EXPECT_EQ(id.narrow(), "N\xC3\xA4me");
  EXPECT_EQ(fmt::format("[{}]", id), "[N\xC3\xA4me]");
}

}  // namespace
}  // namespace W4STD
