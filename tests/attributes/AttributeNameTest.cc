

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fmt/ostream.h>

#include "QueueManager/AttributeName.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/Exceptions.h"
#include "attributes/Catalogue.h"
#include "attributes/ObjectTypeLookup.h"
#include "platform/notifier/NotifierFixture.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;
using W4Notifier::CNotifierExtractException;

constexpr auto kCustom = eNonStandardAttribute;

// What operator<< writes.
std::string Trace(const CQmAttributeName& value) { return fmt::format("{}", fmt::streamed(value)); }

// ---- Construction and resolution -----------------------------------------------

TEST(AttributeName, ResolvesTextToStandardOrCustomNames) {
  // Every key and alias in any letter case is the catalogue's part; these
  // are what the name makes of the text.
  const std::tuple<std::u16string, eAttributeName, std::u16string> cases[] = {
      {u"cALLsTATE", Xan_CallState, u"Xan_CallState"},
      {u"conference chat", Xan_ConferenceChat, u"Xan_ConferenceChat"},
      {u"Xan_RemoteTnDisplay", Xan_RemoteId, u"Xan_RemoteId"},
      {u"CallLog", CallLog, u"CallLog"},
      // Custom names: separators become underscores after the lookup failed.
      {u"My attr.x:y", kCustom, u"My_attr_x_y"},
      {u"a\tb\x01\x1F", kCustom, u"a_b__"},
      {std::u16string(u"nul\0in", 6), kCustom, u"nul_in"},
      {u"Keep-These!/\u00C4", kCustom, u"Keep-These!/\u00C4"},
      // The replaced form of these is a key or alias, but they stay custom.
      {u"Xan CallState", kCustom, u"Xan_CallState"},
      {u"Conference_Chat", kCustom, u"Conference_Chat"},
      {u"", kCustom, u""},
  };
  for (const auto& [text, number, displayName] : cases) {
    SCOPED_TRACE(W4Os::WideToNarrowLossy(text));
    const CQmAttributeName name(std::u16string_view{text});
    EXPECT_EQ(name.QueryW4AttributeName(), number);
    EXPECT_EQ(name.DisplayName(), displayName);
    EXPECT_EQ(name.key(), W4Os::ToLowerCopy(displayName));
    EXPECT_EQ(std::u16string(name.c_str()), displayName.substr(0, displayName.find(u'\0')));
    EXPECT_EQ(name.empty(), text.empty());
  }
}

// Separators are replaced wherever they stand, in texts of every length
// (several units are tested at a time, the last ones overlapping).
TEST(AttributeName, ReplacesSeparatorsAtEveryPositionOfCustomNames) {
  const char16_t separators[] = {u' ', u'.', u':', u'\x01', u'\x1F'};
  for (std::size_t length = 1; length <= 20; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      std::u16string text(length, u'q');
      text[at] = separators[(length + at) % std::size(separators)];
      std::u16string expected(length, u'q');
      expected[at] = u'_';
      EXPECT_EQ(CQmAttributeName(std::u16string(text)).DisplayName(), expected) << length << at;
      EXPECT_EQ(CQmAttributeName(std::u16string_view(text)).DisplayName(), expected);
    }
  }
  // Units above the separators are kept, also those that read as negative.
  const std::u16string kept = u"\x20\x21\x2D\x2F\x3B\x7F\x8000\xFFFF\x2E2E";
  EXPECT_EQ(CQmAttributeName(std::u16string(kept)).DisplayName(),
            u"_\x21\x2D\x2F\x3B\x7F\x8000\xFFFF\x2E2E");
}

TEST(AttributeName, EveryTextFormResolvesAlike) {
  const std::u16string wide = u"xan_STATE";
  const unsigned short units[] = {'x', 'a', 'n', '_', 'S', 'T', 'A', 'T', 'E', 0};
  const std::vector<CQmAttributeName> names = {
      CQmAttributeName(wide),
      CQmAttributeName(std::u16string_view(wide)),
      CQmAttributeName(wide.c_str()),
      CQmAttributeName(units),
      CQmAttributeName(std::string("xan_STATE")),
      CQmAttributeName("xan_STATE"),
      CQmAttributeName(W4STD::w4idstring(wide)),
      CQmAttributeName(std::string_view("xan_STATE")),  // through w4idstring_arg
  };
  for (const CQmAttributeName& name : names) EXPECT_EQ(name.QueryW4AttributeName(), Xan_State);

  const std::vector<CQmAttributeName> custom = {CQmAttributeName(u"\u00C4 b c"),
                                                CQmAttributeName("\xC3\x84 b c"),
                                                CQmAttributeName(std::string("\xC3\x84 b c"))};
  for (const CQmAttributeName& name : custom) EXPECT_EQ(name.DisplayName(), u"\u00C4_b_c");
  // Null and invalid texts give the empty name; long ones are kept whole.
  for (const CQmAttributeName& name :
       {CQmAttributeName(static_cast<const char16_t*>(nullptr)),
        CQmAttributeName(static_cast<const unsigned short*>(nullptr)),
        CQmAttributeName(static_cast<const char*>(nullptr)), CQmAttributeName("bad\xC0\xAF"),
        CQmAttributeName(std::string("\xED\xA0\x80")), CQmAttributeName()}) {
    EXPECT_TRUE(name.empty());
  }
  const std::u16string longWide(100, u'q');
  std::vector<unsigned short> longUnits(longWide.begin(), longWide.end());
  longUnits.push_back(0);
  EXPECT_EQ(CQmAttributeName(longUnits.data()).DisplayName(), longWide);
  EXPECT_EQ(CQmAttributeName(std::string(100, 'q')).DisplayName(), longWide);
  // Exactly as long as the longest key: still resolved.
  const std::u16string longest = u"Xan_ContinueRecordOnExternalTransfer";
  longUnits.assign(longest.begin(), longest.end());
  longUnits.push_back(0);
  EXPECT_EQ(CQmAttributeName(longUnits.data()), Xan_ContinueRecordOnExternalTransfer);

  // Numbers outside the catalogue and custom names have no type and are not reserved.
  const CQmAttributeName eight(static_cast<eAttributeName>(8));
  const CQmAttributeName myAttribute(u"MyAttribute");
  for (const CQmAttributeName& name : {eight, myAttribute}) {
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.QueryW4AttributeType(), CQmAttributeName::eTypeUnknown);
    EXPECT_FALSE(name.IsReserved());
    EXPECT_FALSE(name.IsSentByNumber());
  }
  EXPECT_TRUE(eight.DisplayName().empty());
  EXPECT_TRUE(eight.key().empty());
  EXPECT_EQ(myAttribute.QueryW4AttributeName(), kCustom);
  EXPECT_EQ(CQmAttributeName(Xan_Paused).QueryW4AttributeType(), CQmAttributeName::eTypeBoolList);
  EXPECT_TRUE(CQmAttributeName(Xan_State).IsReserved());
}

// ---- Comparison and hashing ------------------------------------------------------

TEST(AttributeName, OrdersAndHashesCustomNamesWithoutCaseFirstThenNumbers) {
  const CQmAttributeName lowest(static_cast<eAttributeName>(INT_MIN));
  const CQmAttributeName highest(static_cast<eAttributeName>(INT_MAX));
  // Each pair in strictly ascending order.
  const std::pair<CQmAttributeName, CQmAttributeName> ascending[] = {
      {CQmAttributeName(u"apple"), CQmAttributeName(u"BANANA")},
      {CQmAttributeName(u"ab"), CQmAttributeName(u"ABC")},
      {CQmAttributeName(u"zzz"), CQmAttributeName(Xan_AcdCategory)},
      {CQmAttributeName(), CQmAttributeName(u"a")},
      {lowest, highest},
      {CQmAttributeName(kCustom), highest},
      {CQmAttributeName(Xan_State), CQmAttributeName(Xan_WrapUpCode)},
  };
  for (const auto& [low, high] : ascending) {
    SCOPED_TRACE(Trace(low) + " < " + Trace(high));
    EXPECT_TRUE(low < high && low <= high && high > low && high >= low && low != high);
    EXPECT_FALSE(high < low || high <= low || low > high || low >= high || low == high);
    EXPECT_TRUE(low < high.QueryW4AttributeName() || high.QueryW4AttributeName() == kCustom);
  }
  EXPECT_EQ(CQmAttributeName(u"\u00C4BC"), CQmAttributeName(u"\u00E4bc"));
  EXPECT_EQ(CQmAttributeName(u"a b.c"), CQmAttributeName(u"A_B_C"));
  EXPECT_NE(CQmAttributeName(u"zzz"), Xan_AcdCategory);
  EXPECT_EQ(CQmAttributeName(u"zzz"), kCustom);  // the text plays no part
  EXPECT_TRUE(CQmAttributeName(Xan_State) >= Xan_State && CQmAttributeName(Xan_State) <= Xan_State);
  EXPECT_GT(highest, static_cast<eAttributeName>(INT_MIN));

  // Containers order custom names first; equal names hash alike.
  std::map<CQmAttributeName, int> byName;
  byName[CQmAttributeName(Xan_RecordLengthMillisec)] = 1;
  byName[CQmAttributeName(u"beta")] = 2;
  byName[CQmAttributeName(u"xan_acdcategory")] = 3;
  byName[CQmAttributeName(u"Alpha")] = 4;
  byName[CQmAttributeName(u"ALPHA")] = 5;  // the same key
  byName[CQmAttributeName(static_cast<eAttributeName>(INT_MIN))] = 6;
  std::vector<std::string> order;
  for (const auto& [name, value] : byName) order.push_back(fmt::format("{}={}", name, value));
  EXPECT_THAT(order, ::testing::ElementsAre("****=6", "Alpha=5", "beta=2", "Xan_AcdCategory=3",
                                            "Xan_RecordLengthMillisec=1"));
  EXPECT_EQ(CQmAttributeName(u"\u00C4BC").Hash(), CQmAttributeName(u"\u00E4bc").Hash());
  EXPECT_EQ(CQmAttributeName(u"callstate").Hash(), CQmAttributeName(Xan_CallState).Hash());
  std::unordered_set<CQmAttributeName> names = {CQmAttributeName(u"Queue"),
                                                CQmAttributeName(u"QUEUE"), Xan_State,
                                                CQmAttributeName(u"xan_state")};
  EXPECT_EQ(names.size(), 2u);
}

// ---- The list of standard keys ---------------------------------------------------

TEST(AttributeName, ListsTheStandardKeysAsAsked) {
  for (const auto& [excludeReserved, includeExtended, count] :
       {std::tuple(false, true, 298u), std::tuple(true, false, 110u)}) {
    std::set<std::u16string> keys = {u"stale", u"Xan_State"};
    CQmAttributeName::QueryW4Attributes(keys, excludeReserved, includeExtended);
    EXPECT_EQ(keys.size(), count) << excludeReserved << includeExtended;
    EXPECT_EQ(keys.count(u"stale"), 0u);
    EXPECT_EQ(keys.count(u"Callstate"), 0u);  // aliases are never listed
    EXPECT_EQ(keys.count(u"Xan_Note"), 1u);   // neither reserved nor extended
    for (const std::u16string& key : keys) {
      const CQmAttributeName name(key);
      EXPECT_EQ(name.DisplayName(), key);
      EXPECT_FALSE(excludeReserved && name.IsReserved()) << W4Os::WideToNarrowLossy(key);
    }
    EXPECT_EQ(keys.count(u"IntAtt_KeyPath"), includeExtended ? 1u : 0u);
    EXPECT_EQ(keys.count(u"Xan_State"), excludeReserved ? 0u : 1u);
  }
}

// ---- Trace text and message form --------------------------------------------------

TEST(AttributeName, WritesTraceTextAndNumbersOrTextAndReadsThemBack) {
  const std::tuple<CQmAttributeName, std::string, std::string> cases[] = {
      {CQmAttributeName(Xan_AcdCategory), "Xan_AcdCategory", "int 0"},
      {CQmAttributeName(u"CALLSTATE"), "Xan_CallState", "int 105"},
      {CQmAttributeName(Xan_RecordLengthMillisec), "Xan_RecordLengthMillisec",
       "int -1, wtext \"Xan_RecordLengthMillisec\""},
      {CQmAttributeName(u"My \u00C4"), "My_\xC3\x84", "int -1, wtext \"My_\xC3\x84\""},
      {CQmAttributeName(), "", "int -1, wtext \"\""},
      {CQmAttributeName(static_cast<eAttributeName>(8)), "****", "int -1, wtext \"\""},
  };
  for (const auto& [name, trace, fields] : cases) {
    EXPECT_EQ(Trace(name), trace);
    EXPECT_EQ(ToTraceText(name), trace);
    EXPECT_EQ(fmt::format("{}", name), trace);
    CMessage message;
    EXPECT_EQ(&name.Write(message), &message);
    EXPECT_EQ(message.DescribeFields(), fields) << name;
    if (trace == "****") continue;  // written as the empty name: not read back
    message << std::int32_t{42};    // read back, stopping after the name
    CQmAttributeName read(u"previous");
    EXPECT_EQ(&read.Read(message), &message);
    EXPECT_EQ(read, name);
    EXPECT_EQ(read.DisplayName(), name.DisplayName());
    std::int32_t next = 0;
    message >> next;
    EXPECT_EQ(next, 42);
  }
}

// Read resolves text, keeps numbers unchecked (an unsigned field reads as
// -1) and stops after the name; a failed read changes neither the name nor
// the read position.
TEST(AttributeName, ReadResolvesTextAndKeepsNumbersUnchecked) {
  using W4Notifier::FieldType;
  struct Case {
    CMessage message;
    std::optional<CQmAttributeName> read;  // none: throws
    FieldType next = FieldType::kInt32;    // the field the read position is at after it
  };
  auto fields = [](auto... values) {
    CMessage message;
    ((message << values), ...);
    return message << std::int32_t{42};
  };
  const std::vector<Case> cases = {
      {fields(-1, u"callstate"), Xan_CallState},
      {fields(-1, std::u16string(u"Conference Chat")), Xan_ConferenceChat},
      {fields(-1, u"a.b"), CQmAttributeName(u"a_b")},
      {fields(-1, u""), CQmAttributeName(u"")},
      {fields(8), static_cast<eAttributeName>(8)},
      {fields(INT_MIN), static_cast<eAttributeName>(INT_MIN)},
      {fields(38, u"ignored"), Xan_State, FieldType::kWideText},
      {fields(std::uint32_t{0xFFFFFFFFu}, u"Note"), CQmAttributeName(u"Note")},
      {CMessage(), std::nullopt, FieldType{}},
      {fields(-1), std::nullopt},            // a number where the text belongs
      {fields(-1, "narrow"), std::nullopt},  // a narrow string field
      {fields("Xan_State"), std::nullopt, FieldType::kNarrowString},  // the number is missing
      {fields(std::int16_t{38}), std::nullopt, FieldType::kInt16},    // a number of another size
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.message.DescribeFields());
    CQmAttributeName name(u"Unchanged");
    if (c.read) {
      name.Read(c.message);
      EXPECT_EQ(name.QueryW4AttributeName(), c.read->QueryW4AttributeName());
      EXPECT_EQ(name.DisplayName(), c.read->DisplayName());
    } else {
      EXPECT_THROW(name.Read(c.message), CNotifierExtractException);
      EXPECT_EQ(name.DisplayName(), u"Unchanged");
    }
    if (c.next == FieldType{}) {
      EXPECT_TRUE(c.message.IsAtEndOfData());
    } else {
      EXPECT_EQ(c.message.PeekFieldType(), c.next);
    }
  }
}

}  // namespace
}  // namespace QueueManager

// ---- the catalogue: flags and type classes, the index by number and the
// resolution of texts ----

namespace QueueManager::Catalogue {
namespace {

// Spot checks of the flags and type classes: one key on each side of every
// distinction the catalogue draws (the full lists live in the catalogue
// itself, and retyping them here would only restate it).
TEST(Catalogue, ClassifiesKeys) {
  const std::tuple<const char16_t*, CQmAttributeName::eW4AttributeType, bool, bool> rows[] = {
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
  for (const auto& [name, type, reserved, extended] : rows) {
    SCOPED_TRACE(ToTraceText(CQmAttributeName(name)));
    const KeyInfo* key = FindKey(CQmAttributeName(name).QueryW4AttributeName());
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->type, type);
    EXPECT_EQ(key->IsReserved(), reserved);
    EXPECT_EQ(key->IsExtended(), extended);
  }
  for (const KeyInfo& key : AllKeys()) EXPECT_FALSE(key.IsExtended() && key.IsReserved());
}

TEST(Catalogue, FindsExactlyTheCatalogueNumbersAndResolvesEveryKeyAndAlias) {
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
  // Every key and alias resolves in any letter case.
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

namespace QueueManager {
namespace {

using ::testing::ElementsAre;
using W4Notifier::CEntityId;
using W4Notifier::CNotifierTimeout;
using W4Notifier::ObjectTypes;

constexpr int kQueryObjectTypeEvent = 37;
constexpr ObjectTypes kCall = static_cast<ObjectTypes>(11);
constexpr ObjectTypes kChat = W4Notifier::eChatConferenceInteraction;

// ---- The value type --------------------------------------------------------------

TEST(InteractionId, ValueType) {
  // Ascending as unsigned numbers; set unless none or all bits.
  const std::uint32_t ids[] = {0, 1, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
  for (std::size_t i = 0; i < std::size(ids); ++i) {
    EXPECT_EQ(InteractionId(ids[i]).IsSet(), ids[i] != 0 && ids[i] != 0xFFFFFFFFu) << ids[i];
    if (i == 0) continue;
    EXPECT_LT(InteractionId(ids[i - 1]), InteractionId(ids[i]));
    EXPECT_GT(InteractionId(ids[i]), InteractionId(ids[i - 1]));
    EXPECT_NE(InteractionId(ids[i]), InteractionId(ids[i - 1]));
  }
  EXPECT_FALSE(InteractionId().IsSet());
  EXPECT_EQ(InteractionId(CEntityId(kCall, 4711u)),
            InteractionId(CEntityId(W4Notifier::eInteractionRequest, 4711u)));
  EXPECT_EQ(std::hash<InteractionId>()(InteractionId(7)), std::hash<InteractionId>()(7u));
  std::ostringstream out;
  out << InteractionId(0xFFFFFFFFu) << ' ' << InteractionId(42);
  EXPECT_EQ(out.str(), "4294967295 42");
}

// ---- The object type lookup --------------------------------------------------------

class InteractionTypeTest : public W4Notifier::testing::NotifierFixture {
 protected:
  void TearDown() override {
    SetObjectTypeSource(ObjectTypeSource::kMonitorCache, nullptr);
    SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, nullptr);
    NotifierFixture::TearDown();
  }
  void AnswerType(std::uint32_t id, ObjectTypes type) {
    CMessage body;
    body << type;
    server_->Respond(CEntityId(W4Notifier::eInteractionRequest, id), kQueryObjectTypeEvent, body);
  }
  std::vector<CMessage> TypeRequestsTo(std::uint32_t id) const {
    return server_->RequestsTo(CEntityId(W4Notifier::eInteractionRequest, id),
                               kQueryObjectTypeEvent);
  }
};

TEST_F(InteractionTypeTest, AsksTheInteractionWithAnEmptyRequestEveryTimeAndFailuresGiveNoType) {
  AnswerType(4711, kChat);
  InteractionId id(4711);
  EXPECT_EQ(id.QueryObjectType(), kChat);
  EXPECT_EQ(id.QueryObjectType(), kChat);
  const std::vector<CMessage> requests = TypeRequestsTo(4711);
  ASSERT_EQ(requests.size(), 2u);  // the answer is not kept
  EXPECT_EQ(requests[0].DescribeFields(), "");
  EXPECT_EQ(server_->Requests().size(), 2u);
  const CEntityId entity = id.QueryEntityId();  // the type and option 1
  EXPECT_EQ(entity, CEntityId(kChat, 4711u));
  EXPECT_EQ(entity.QueryOptions(), 1);

  // Failures give no type.
  CNotifierTimeout::Set(50);
  server_->Reject(CEntityId(W4Notifier::eInteractionRequest, 1u), kQueryObjectTypeEvent);
  server_->Silence(CEntityId(W4Notifier::eInteractionRequest, 2u), kQueryObjectTypeEvent);
  CMessage text;
  text << "100";
  server_->Respond(CEntityId(W4Notifier::eInteractionRequest, 3u), kQueryObjectTypeEvent, text);
  server_->Respond(CEntityId(W4Notifier::eInteractionRequest, 5u), kQueryObjectTypeEvent);
  AnswerType(4, kCall);
  for (const std::uint32_t failing : {1u, 2u, 3u, 5u}) {
    EXPECT_EQ(InteractionId(failing).QueryObjectType(), W4Notifier::eObjectTypeNone) << failing;
    EXPECT_FALSE(InteractionId(failing).QueryEntityId().IsSet()) << failing;
  }
  EXPECT_EQ(InteractionId(4).QueryObjectType(), kCall);  // the server itself still answers
  W4Notifier::SetDefaultConnection(nullptr);
  EXPECT_EQ(InteractionId(4).QueryObjectType(), W4Notifier::eObjectTypeNone);
  EXPECT_EQ(TypeRequestsTo(4).size(), 1u);
}

// The sources are asked in order, each only while those before it know
// nothing; an id that names nothing is never looked up; a source may replace
// itself while asked.
TEST_F(InteractionTypeTest, AsksTheCacheThenTheMonitorsThenTheServer) {
  std::vector<std::string> asked;
  ObjectTypes answers[2] = {kCall, kChat};
  for (const auto source :
       {ObjectTypeSource::kMonitorCache, ObjectTypeSource::kInteractionMonitors}) {
    SetObjectTypeSource(
        source, [&, index = source == ObjectTypeSource::kMonitorCache ? 0 : 1](std::uint32_t id) {
          asked.push_back(std::to_string(index) + ":" + std::to_string(id));
          return answers[index];
        });
  }
  EXPECT_EQ(InteractionId(0).QueryObjectType(), W4Notifier::eObjectTypeNone);
  EXPECT_EQ(InteractionId(0xFFFFFFFFu).QueryObjectType(), W4Notifier::eObjectTypeNone);
  AnswerType(9, W4Notifier::eConferenceInteraction);
  InteractionId id(9);
  EXPECT_EQ(id.QueryObjectType(), kCall);
  EXPECT_THAT(asked, ElementsAre("0:9"));
  answers[0] = W4Notifier::eObjectTypeNone;
  EXPECT_EQ(id.QueryObjectType(), kChat);
  EXPECT_THAT(asked, ElementsAre("0:9", "0:9", "1:9"));
  answers[1] = W4Notifier::eObjectTypeNone;
  EXPECT_EQ(id.QueryObjectType(), W4Notifier::eConferenceInteraction);
  EXPECT_EQ(asked.size(), 5u);
  EXPECT_EQ(server_->Requests().size(), 1u);  // only the last query reached the server

  SetObjectTypeSource(ObjectTypeSource::kMonitorCache, [](std::uint32_t) {
    SetObjectTypeSource(ObjectTypeSource::kMonitorCache, nullptr);  // must not deadlock
    return kChat;
  });
  EXPECT_EQ(id.QueryObjectType(), kChat);
  EXPECT_EQ(id.QueryObjectType(), W4Notifier::eConferenceInteraction);
}

// Object type sources replaced
// while other threads query them. Run under ThreadSanitizer too.

constexpr int kThreads = 8;

TEST(AttributeNameConcurrency, SourcesMayChangeWhileQueried) {
  std::atomic<bool> stop{false};
  std::atomic<int> wrongAnswers{0};
  std::vector<std::thread> queriers;
  for (int t = 0; t < kThreads / 2; ++t) {
    queriers.emplace_back([&] {
      while (!stop.load()) {
        // No connection is installed: without a source the answer is 0.
        const W4Notifier::ObjectTypes type = InteractionId(1234).QueryObjectType();
        if (type != W4Notifier::eObjectTypeNone && type != 20 && type != 100) ++wrongAnswers;
      }
    });
  }
  for (int round = 0; round < 2000; ++round) {
    auto alive = std::make_shared<int>(round);
    SetObjectTypeSource(ObjectTypeSource::kMonitorCache, [alive](std::uint32_t) {
      return static_cast<W4Notifier::ObjectTypes>(20);
    });
    SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors,
                        [](std::uint32_t) { return W4Notifier::eChatConferenceInteraction; });
    SetObjectTypeSource(ObjectTypeSource::kMonitorCache, nullptr);
    SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, nullptr);
  }
  stop = true;
  for (std::thread& thread : queriers) thread.join();
  EXPECT_EQ(wrongAnswers.load(), 0);
}

}  // namespace
}  // namespace QueueManager
