// Conditional and arithmetic updates against the scripted server: the exact
// fields of each request, and for the synchronous forms the value written back
// into the monitor cache of a watched interaction, whatever the verdict.

#include "QueueManager/ConditionalUpdates.h"

#include <gmock/gmock.h>

#include <climits>
#include <functional>

#include "monitor/QmCache.h"
#include "platform/notifier/ByteFormLimit.h"
#include "requests/WatchedQueue.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAre;
using Setting = SetAttributeConditionally;

constexpr std::uint32_t kId = 5001;
const CQmAttributeName kNote(u"Note");
constexpr auto kCompare = static_cast<Setting::eComparisonType>(2);
const char* const kNoteField = "int -1, wtext \"Note\"";

// Xan_State := "H" when Note matches "x", or when Xan_State matches Note.
Setting StateSetting() {
  Setting setting(Xan_State, CQmAttributeValue(u"H"), false, true);
  setting.AddCondition(kNote, kCompare, CQmAttributeValue(u"x"), true);
  setting.AddCondition(Xan_State, static_cast<Setting::eComparisonType>(-7), kNote, false);
  return setting;
}
const std::string kStateSettingFields =
    "bool false, bool true, int 38, wtext \"H\", uint 2, int -1, wtext \"Note\", wtext \"x\", "
    "int -1, wtext \"\", int 2, bool true, int 38, wtext \"\", int -1, wtext \"Note\", int -7, "
    "bool false";

class ConditionalUpdatesTest : public RequestTest {
 protected:
  void SetUp() override {
    RequestTest::SetUp();
    watched_ = std::make_unique<WatchedQueue>(
        *server_, CEntityId(W4Notifier::eWorkgroupQueue, 1001u),
        std::vector<CQmAttributeName>{Xan_State, kNote}, CQmQueueStats(), CQmQueueStats2(),
        std::vector<CachedInteraction>{{W4Notifier::eConferenceInteraction, kId,
                                        Attributes({{Xan_State, u"C"}, {kNote, u"first"}})}});
  }
  void TearDown() override {
    watched_.reset();
    RequestTest::TearDown();
  }
  static std::vector<std::u16string> Cached() {
    std::vector<CQmAttributeValue> values;
    CQmCache::Instance().QueryAttributes(kId, {Xan_State, kNote}, values);
    return Texts(values);
  }
  const CEntityId interaction_ = InteractionEntity(kId);
  std::unique_ptr<WatchedQueue> watched_;
};

CMessage VerdictAndMap(bool done, const CQmAttributeMap& attributes) {
  CMessage body = Body(done);
  attributes.Write(body);
  return body;
}

const std::vector<CQmAttributeValue> kAB = {CQmAttributeValue(u"a"), CQmAttributeValue(u"b")};

// Each synchronous form on an answer that says "not done" (or, for the
// element edits, only carries the value): the outputs and the cache take the
// values reported; a shorter value list updates only the settings it covers.
TEST_F(ConditionalUpdatesTest, SynchronousFormsWriteTheReportedValueBack) {
  struct Case {
    const char* label;
    int event;
    CMessage answer;
    std::function<void()> call;
    std::string fields;
    std::vector<std::u16string> cached;  // Xan_State, Note afterwards
  };
  const Case cases[] = {
      {"conditional set",
       9,
       Body(false, u"X"),
       [] {
         CQmAttributeValue current;
         EXPECT_FALSE(ConditionallySetAttribute(kId, Xan_State, CQmAttributeValue(u"A"),
                                                CQmAttributeValue(u"B"), current));
         EXPECT_EQ(current.QueryString(), u"X");
       },
       "int 38, wtext \"A\", wtext \"B\"",
       {u"X", u"first"}},
      {"increment by -1",
       10,
       Body(true, std::int32_t{-1}),
       [] {
         int value = 0;
         EXPECT_TRUE(IncrementAttribute(kId, kNote, -1, value));
         EXPECT_EQ(value, -1);
       },
       std::string(kNoteField) + ", int -1",
       {u"C", u"-1"}},
      {"mask",
       11,
       Body(false, std::uint32_t{0xFFFFFFFF}),
       [] {
         std::uint32_t value = 0;
         EXPECT_FALSE(MaskAttribute(kId, kNote, 0xF0F0F0F0u, 1, value));
         EXPECT_EQ(value, 0xFFFFFFFFu);
       },
       std::string(kNoteField) + ", uint 4042322160, uint 1",
       {u"C", u"4294967295"}},
      {"append",
       3,
       Body(u"a|b"),
       [] { AppendAttribute(kId, kNote, CQmAttributeValue(u"b"), u"|"); },
       std::string(kNoteField) + ", wtext \"b\", wstring \"|\"",
       {u"C", u"a|b"}},
      {"insert",
       4,
       Body(u"a"),
       [] { InsertAttribute(kId, kNote, CQmAttributeValue(u"a")); },
       std::string(kNoteField) + ", wtext \"a\"",
       {u"C", u"a"}},
      {"remove",
       12,
       Body(u""),
       [] { RemoveAttribute(kId, Xan_State, CQmAttributeValue(u"C")); },
       "int 38, wtext \"C\"",
       {u"", u"first"}},
      {"conditional set of a list",
       13,
       VerdictAndMap(false, Attributes({{Xan_State, u"H"}, {kNote, u"n"}})),
       [] {
         CQmAttributeMap result = Attributes({{Xan_CallId, u"stale"}});
         EXPECT_FALSE(ConditionallySetAttributes(kId, {Xan_State, kNote}, kAB, kAB, result, true));
         EXPECT_EQ(result, Attributes({{Xan_State, u"H"}, {kNote, u"n"}}));
       },
       "int 2, int 38, " + std::string(kNoteField) +
           ", int 2, wtext \"a\", wtext \"b\", int 2, wtext \"a\", wtext \"b\", bool true",
       {u"H", u"n"}},
      {"settings, the answer shorter",
       14,
       Body(false, std::int32_t{1}, u"S"),
       [] {
         std::vector<CQmAttributeValue> values(3);
         const Setting note(kNote, CQmAttributeValue(u"N"), true, false);
         EXPECT_FALSE(SyncConditionallySetAttributes(kId, {StateSetting(), note}, true, values));
         EXPECT_THAT(Texts(values), ElementsAre(u"S"));
       },
       "bool true, uint 2, " + kStateSettingFields +
           ", bool true, bool false, int -1, wtext \"Note\", wtext \"N\", uint 0",
       {u"S", u"first"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CQmCache::Instance().SetAttributes(kId, Attributes({{Xan_State, u"C"}, {kNote, u"first"}}));
    server_->ClearTraffic();
    server_->Respond(interaction_, c.event, c.answer);
    c.call();
    EXPECT_THAT(SentFields(interaction_, c.event), ElementsAre(c.fields));
    EXPECT_THAT(RequestsAwaited(), ElementsAre(true));
    EXPECT_EQ(Cached(), c.cached);
  }
}

TEST_F(ConditionalUpdatesTest, FireAndForgetFormsSendTheSameFieldsOneWay) {
  struct Case {
    const char* label;
    int event;
    std::function<void()> call;
    std::string fields;
  };
  const Case cases[] = {
      {"conditional set", 9,
       [] {
         ConditionallySetAttribute(kId, kNote, CQmAttributeValue(u"A"), CQmAttributeValue(u""));
       },
       std::string(kNoteField) + ", wtext \"A\", wtext \"\""},
      {"list", 13, [] { ConditionallySetAttributes(kId, {}, {}, {}, false); },
       "int 0, int 0, int 0, bool false"},
      {"settings", 14, [] { AsyncConditionallySetAttributes(kId, {StateSetting()}, false); },
       "bool false, uint 1, " + kStateSettingFields},
      {"no settings", 14, [] { AsyncConditionallySetAttributes(kId, {}, true); },
       "bool true, uint 0"},
      {"increment: INT_MAX passes", 10, [] { IncrementAttribute(kId, Xan_State, INT_MAX); },
       "int 38, int 2147483647"},
      {"mask", 11, [] { MaskAttribute(kId, Xan_State, 0, 0x80000000u); },
       "int 38, uint 0, uint 2147483648"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    server_->ClearTraffic();
    c.call();
    EXPECT_THAT(SentFields(interaction_, c.event), ElementsAre(c.fields));
    EXPECT_THAT(RequestsAwaited(), ElementsAre(false));
  }
  EXPECT_THAT(Cached(), ElementsAre(u"C", u"first"));
}

TEST_F(ConditionalUpdatesTest, ListsThatDoNotPairUpOrNoInteractionSendNothing) {
  const std::pair<std::uint32_t, std::size_t> cases[] = {{0, 2}, {0xFFFFFFFF, 2}, {kId, 1}};
  for (const auto& [id, firsts] : cases) {
    const std::vector<CQmAttributeValue> first(kAB.begin(), kAB.begin() + firsts);
    CQmAttributeMap result = Attributes({{Xan_State, u"kept"}});
    EXPECT_FALSE(ConditionallySetAttributes(id, {Xan_State, kNote}, first, kAB, result, true));
    EXPECT_EQ(result, Attributes({{Xan_State, u"kept"}}));
    ConditionallySetAttributes(id, {Xan_State, kNote}, first, kAB, true);
    ConditionallySetAttributes(id, {Xan_State, kNote}, kAB, first, true);
  }
  EXPECT_EQ(RequestCount(), 0u);
}

// No answer, or one that cannot be read whole: false, outputs and cache kept.
TEST_F(ConditionalUpdatesTest, FailedSynchronousFormsChangeNothing) {
  const auto check = [&] {
    CQmAttributeValue current(u"kept");
    int number = 5;
    std::uint32_t mask = 6;
    CQmAttributeMap result = Attributes({{Xan_State, u"kept"}});
    std::vector<CQmAttributeValue> values(1, CQmAttributeValue(u"kept"));
    EXPECT_FALSE(ConditionallySetAttribute(kId, Xan_State, kAB[0], kAB[1], current));
    EXPECT_FALSE(IncrementAttribute(kId, Xan_State, 1, number));
    EXPECT_FALSE(MaskAttribute(kId, Xan_State, 1, 2, mask));
    EXPECT_FALSE(ConditionallySetAttributes(kId, {Xan_State}, {kAB[0]}, {kAB[1]}, result, false));
    EXPECT_FALSE(SyncConditionallySetAttributes(kId, {StateSetting()}, false, values));
    EXPECT_EQ(current.QueryString(), u"kept");
    EXPECT_EQ(std::pair(number, mask), std::pair(5, 6u));
    EXPECT_EQ(result, Attributes({{Xan_State, u"kept"}}));
    EXPECT_THAT(Texts(values), ElementsAre(u"kept"));
    EXPECT_THAT(Cached(), ElementsAre(u"C", u"first"));
  };
  const std::initializer_list<int> events = {9, 10, 11, 13, 14};
  for (int event : events) server_->Respond(interaction_, event, Body(true));
  check();  // the verdict alone
  // The element edits, whose whole answer is a text.
  for (const CMessage& answer : {CMessage(), Body(true)}) {
    for (int event : {3, 4, 12}) server_->Respond(interaction_, event, answer);
    AppendAttribute(kId, Xan_State, kAB[0], u",");
    InsertAttribute(kId, Xan_State, kAB[0]);
    RemoveAttribute(kId, Xan_State, kAB[0]);
    EXPECT_THAT(Cached(), ElementsAre(u"C", u"first"));
  }
  ForEachFailure(interaction_, events, Body(true, u"X"), check);
}

TEST_F(ConditionalUpdatesTest, NotifierExceptionsOfFireAndForgetFormsReachTheCaller) {
  const CQmAttributeName tooLong(std::u16string(40, u'n'));
  const std::function<void()> calls[] = {
      [&] { ConditionallySetAttribute(kId, tooLong, kAB[0], kAB[1]); },
      [&] { ConditionallySetAttributes(kId, {tooLong}, {kAB[0]}, {kAB[1]}, false); },
      [&] { AsyncConditionallySetAttributes(kId, {Setting(tooLong, kAB[0], true, true)}, false); },
      [&] { IncrementAttribute(kId, tooLong, 1); },
      [&] { MaskAttribute(kId, tooLong, 1, 2); },
  };
  const W4Notifier::detail::ScopedByteFormLimit limit(32);
  for (const auto& call : calls) EXPECT_THROW(call(), W4Notifier::CNotifierException);
}

// ---- The setting's own wire form ---------------------------------------------

TEST(SetAttributeConditionallyTest, ReadsBackWhatItWrites) {
  Setting custom(CQmAttributeName(u"Xan_RecordLengthMillisec"), CQmAttributeValue(u"1|2"), true,
                 false);
  custom.AddCondition(CQmAttributeName(u"a b"), kCompare, CQmAttributeName(Xan_CallId), true);
  for (const Setting& setting : {Setting(), StateSetting(), custom}) {
    CMessage message;
    setting.write(message);
    Setting read = StateSetting();
    read.read(message);
    EXPECT_EQ(read, setting);
    EXPECT_TRUE(message.IsAtEndOfData());
  }
}

// A count the conditions do not back fails, changing neither the setting nor
// the read position; a count that reads as a negative int gives none.
TEST(SetAttributeConditionallyTest, HostileCounts) {
  const auto head = [](std::uint32_t count) {
    return Body(true, false, std::int32_t{38}, u"H", count);
  };
  const CMessage hostile[] = {head(INT_MAX), head(2) << std::int32_t{38}, head(1) << u"x"};
  for (const CMessage& body : hostile) {
    SCOPED_TRACE(body.DescribeFields());
    Setting setting = StateSetting();
    EXPECT_THROW(setting.read(body), W4Notifier::CNotifierExtractException);
    EXPECT_EQ(setting, StateSetting());
    EXPECT_EQ(body.QueryReadPosition(), 0u);
  }
  Setting setting = StateSetting();
  setting.read(head(0xFFFFFFFF));
  EXPECT_EQ(setting, Setting(Xan_State, CQmAttributeValue(u"H"), true, false));
}

}  // namespace
}  // namespace QueueManager::testing
