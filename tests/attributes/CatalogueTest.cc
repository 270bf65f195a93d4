// The catalogue: flags and type classes, the index by number and the
// resolution of texts.

#include "attributes/Catalogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace QueueManager::Catalogue {
namespace {

using ::testing::ContainerEq;

std::set<std::u16string> KeysWhere(bool (*predicate)(const KeyInfo&)) {
  std::set<std::u16string> keys;
  for (const KeyInfo& key : AllKeys()) {
    if (predicate(key)) keys.emplace(key.key);
  }
  return keys;
}

// Spot checks of the flags and type classes: one key on each side of every
// distinction the catalogue draws (the full lists live in the catalogue
// itself, and retyping them here would only restate it).
TEST(Catalogue, ClassifiesKeys) {
  struct Row {
    const char16_t* key;
    CQmAttributeName::eW4AttributeType type;
    bool reserved;
    bool extended;
  };
  const Row rows[] = {
      {u"Xan_AcdCategory", CQmAttributeName::eTypeStringList, true, false},
      {u"Xan_Private", CQmAttributeName::eTypeBool, true, false},
      {u"Xan_Paused", CQmAttributeName::eTypeBoolList, true, false},
      {u"Xan_CallPurpose", CQmAttributeName::eTypeInteger, false, false},
      {u"Xan_CallId", CQmAttributeName::eTypeUnsigned, true, false},
      {u"Xan_Monitors", CQmAttributeName::eTypeUnsignedList, true, false},
      {u"Xan_ConnectTime", CQmAttributeName::eTypeDateTime, true, false},
      {u"Xan_State", CQmAttributeName::eTypeString, true, false},
      {u"Xan_IVRCurrentNode", CQmAttributeName::eTypeString, false, true},
      {u"Xan_RecordLengthMillisec", CQmAttributeName::eTypeString, true, false},
  };
  for (const Row& row : rows) {
    const KeyInfo* key = FindKey(CQmAttributeName(row.key).QueryW4AttributeName());
    ASSERT_NE(key, nullptr) << ToTraceText(CQmAttributeName(row.key));
    EXPECT_EQ(key->type, row.type) << ToTraceText(CQmAttributeName(row.key));
    EXPECT_EQ(key->IsReserved(), row.reserved) << ToTraceText(CQmAttributeName(row.key));
    EXPECT_EQ(key->IsExtended(), row.extended) << ToTraceText(CQmAttributeName(row.key));
  }
  EXPECT_TRUE(KeysWhere([](const KeyInfo& k) { return k.IsExtended() && k.IsReserved(); }).empty());
}

TEST(Catalogue, FindsExactlyTheCatalogueNumbers) {
  std::set<int> numbers;
  for (const KeyInfo& key : AllKeys()) numbers.insert(key.number);
  for (int number = -2; number <= kMaxNumber + 2; ++number) {
    const KeyInfo* key = FindKey(number);
    ASSERT_EQ(key != nullptr, numbers.count(number) == 1) << number;
    if (key != nullptr) {
      EXPECT_EQ(key->number, number);
    }
  }
  for (const std::int32_t hostile : {INT_MIN, INT_MAX}) EXPECT_EQ(FindKey(hostile), nullptr);
}

TEST(Catalogue, ResolvesEveryKeyAndAliasInAnyLetterCase) {
  auto upper = [](std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) c = W4Os::ToUpper(c);
    return out;
  };
  for (const KeyInfo& key : AllKeys()) {
    EXPECT_EQ(Resolve(key.key), key.number);
    EXPECT_EQ(Resolve(W4Os::ToLowerCopy(key.key)), key.number);
    EXPECT_EQ(Resolve(upper(key.key)), key.number);
    EXPECT_EQ(KeyIdString(key).str(), key.key);
  }
  for (const AliasInfo& alias : AllAliases()) {
    ASSERT_NE(FindKey(alias.number), nullptr);
    EXPECT_EQ(Resolve(alias.text), alias.number);
    EXPECT_EQ(Resolve(upper(alias.text)), alias.number);
  }
}

TEST(Catalogue, ResolvesOnlyWholeCatalogueTexts) {
  const std::vector<std::pair<std::u16string, int>> cases = {
      {u"", -1},
      {u"Xan_CallStat", -1},        // a prefix
      {u"Xan_CallStatex", -1},      // a longer text
      {u"Xan_CallState ", -1},      // trailing space
      {u"Xan_Call_State", -1},      // another text with the same letters
      {u"Conference_Chat", -1},     // the alias spelled with an underscore
      {u"Xan_CallSt\u00C4te", -1},  // non-ASCII that folds to non-ASCII
      // U+212A KELVIN SIGN folds to 'k': the lower-case form is a key.
      {u"IntAtt_\u212AeyPath", 521},
      {u"Xan_TrackerDoNotTrac\u212A", 402},  // ... also in the last, short group of units
      {u"\u212A", -1},
      {u"ab", -1},
      {u"Xan_ContinueRecordOnExternalTransfer", 82},  // the longest key
      {u"Xan_ContinueRecordOnExternalTransferX", -1},
      {std::u16string(1000, u'x'), -1},
      {std::u16string(u"Xan_State\0", 10), -1},  // an embedded U+0000
  };
  for (const auto& [text, number] : cases) {
    EXPECT_EQ(Resolve(text), number) << W4Os::WideToNarrowLossy(text);
  }
}

}  // namespace
}  // namespace QueueManager::Catalogue
