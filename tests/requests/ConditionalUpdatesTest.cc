// Conditional and arithmetic updates against the scripted server: the exact
// fields of each request, and for the synchronous forms the value written back
// into the monitor cache of a watched interaction, whatever the verdict.

#include "QueueManager/ConditionalUpdates.h"

#include <gmock/gmock.h>

#include <climits>
#include <functional>

#include "monitor/QmCache.h"
#include "platform/notifier/ByteFormLimit.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using Setting = SetAttributeConditionally;

constexpr std::uint32_t kId = 5001;
const CQmAttributeName kNote(u"Note");
const std::string kNoteField = "int -1, wtext \"Note\"";
const CQmAttributeValue kA(u"a");
const CQmAttributeValue kB(u"b");
const std::vector<CQmAttributeValue> kAB = {kA, kB};

// Xan_State := "H" under comparisons of Note with "a" and of Xan_State with Note.
Setting StateSetting() {
  Setting setting(Xan_State, CQmAttributeValue(u"H"), false, true);
  setting.AddCondition(kNote, static_cast<Setting::eComparisonType>(2), kA, true);
  setting.AddCondition(Xan_State, static_cast<Setting::eComparisonType>(-7), kNote, false);
  return setting;
}
const std::string kStateSettingFields =
    "bool false, bool true, int 38, wtext \"H\", uint 2, " + kNoteField +
    ", wtext \"a\", int -1, wtext \"\", int 2, bool true, int 38, wtext \"\", " + kNoteField +
    ", int -7, bool false";

const CQmAttributeMap kFirstAttributes = Attributes({{Xan_State, u"C"}, {kNote, u"first"}});

// The cached Xan_State and Note, as "state,note".
std::u16string Cached() {
  std::vector<CQmAttributeValue> values;
  CQmCache::Instance().QueryAttributes(kId, {Xan_State, kNote}, values);
  return values.at(0).QueryString() + u"," + values.at(1).QueryString();
}

class ConditionalUpdatesTest : public RequestTest {
 protected:
  // The interaction kId with kFirstAttributes, on a queue that `monitor`
  // watches.
  void WatchInteraction(CQmQueueMonitor& monitor) {
    Watch(monitor, CEntityId(W4Notifier::eWorkgroupQueue, 1001u), {Xan_State, kNote},
          {.events = {Added(kId, kFirstAttributes)}});
  }

  const CEntityId interaction_ = InteractionEntity(kId);
};

// Each synchronous form on an answer that mostly says "not done": outputs and
// cache take the values reported, a shorter value list only for the settings
// it covers. The fire-and-forget form, given the same arguments, sends the
// same fields one way and touches no cache.
TEST_F(ConditionalUpdatesTest, EachFormSendsItsFieldsAndWritesTheReportedValueBack) {
  CQmQueueMonitor watching;
  WatchInteraction(watching);
  struct Case {
    int event;
    CMessage answer;
    std::function<bool()> wait;  // the element edits have no verdict: false
    std::function<void()> oneWay;
    std::string fields;
    std::u16string cached;
  };
  const auto row = [](auto... fields) { return Case{fields...}; };
  const std::vector<Setting> settings = {StateSetting(), Setting(kNote, kB, true, false)};
  CQmAttributeValue value;
  std::pair<int, std::uint32_t> numbers;
  CQmAttributeMap map = Attributes({{Xan_CallId, u"stale"}});
  const std::vector<CQmAttributeName> names = {Xan_State, kNote};
  const std::string kABFields = "int 2, wtext \"a\", wtext \"b\"";
  std::vector<CQmAttributeValue> values(3);
  const Case cases[] = {
      row(
          9, Body(false, u"X"),
          [&] { return ConditionallySetAttribute(kId, kNote, kA, kB, value); },
          [] { ConditionallySetAttribute(kId, kNote, kA, kB); },
          kNoteField + ", wtext \"a\", wtext \"b\"", u"C,X"),
      row(
          10, Body(true, std::int32_t{-1}),
          [&] { return IncrementAttribute(kId, kNote, -1, numbers.first); },
          [] { IncrementAttribute(kId, kNote, -1); }, kNoteField + ", int -1", u"C,-1"),
      row(
          11, Body(false, std::uint32_t{0xFFFFFFFF}),
          [&] { return MaskAttribute(kId, kNote, 0xF0F0F0F0u, 1, numbers.second); },
          [] { MaskAttribute(kId, kNote, 0xF0F0F0F0u, 1); },
          kNoteField + ", uint 4042322160, uint 1", u"C,4294967295"),
      row(
          13, Body(false, std::int32_t{2}, std::int32_t{-1}, u"Note", u"n", std::int32_t{38}, u"H"),
          [&] { return ConditionallySetAttributes(kId, names, kAB, kAB, map, true); },
          [&] { ConditionallySetAttributes(kId, names, kAB, kAB, true); },
          "int 2, int 38, " + kNoteField + ", " + kABFields + ", " + kABFields + ", bool true",
          u"H,n"),
      row(
          14, Body(false, std::int32_t{1}, u"S"),
          [&] { return SyncConditionallySetAttributes(kId, settings, true, values); },
          [&] { AsyncConditionallySetAttributes(kId, settings, true); },
          "bool true, uint 2, " + kStateSettingFields + ", bool true, bool false, " + kNoteField +
              ", wtext \"b\", uint 0",
          u"S,first"),
      row(
          3, Body(u"a|b"), [] { return AppendAttribute(kId, kNote, kB, u"|"), false; }, nullptr,
          kNoteField + ", wtext \"b\", wstring \"|\"", u"C,a|b"),
      row(
          4, Body(u"a"), [] { return InsertAttribute(kId, kNote, kA), false; }, nullptr,
          kNoteField + ", wtext \"a\"", u"C,a"),
      row(
          12, Body(u""), [] { return RemoveAttribute(kId, Xan_State, kA), false; }, nullptr,
          "int 38, wtext \"a\"", u",first"),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    CQmCache::Instance().SetAttributes(kId, kFirstAttributes);
    server_->ClearTraffic();
    server_->Respond(interaction_, c.event, c.answer);
    EXPECT_EQ(c.wait(), c.event == 10);
    std::vector<bool> awaited = {true};
    if (c.oneWay) c.oneWay(), awaited.push_back(false);
    EXPECT_EQ(SentFields(interaction_, c.event), std::vector(awaited.size(), c.fields));
    EXPECT_EQ(RequestsAwaited(), awaited);
    EXPECT_EQ(Cached(), c.cached);
  }
  EXPECT_EQ(value.QueryString(), u"X");
  EXPECT_EQ(numbers, std::pair(-1, 0xFFFFFFFFu));
  EXPECT_EQ(map, Attributes({{Xan_State, u"H"}, {kNote, u"n"}}));
  EXPECT_THAT(Texts(values), ElementsAre(u"S"));
}

TEST_F(ConditionalUpdatesTest, ListsThatDoNotPairUpOrNoInteractionSendNothing) {
  const std::pair<std::uint32_t, std::vector<CQmAttributeValue>> cases[] = {
      {0, kAB}, {0xFFFFFFFF, kAB}, {kId, {kA}}};
  for (const auto& [id, first] : cases) {
    CQmAttributeMap result;
    EXPECT_FALSE(ConditionallySetAttributes(id, {Xan_State, kNote}, first, kAB, result, true));
    ConditionallySetAttributes(id, {Xan_State, kNote}, first, kAB, true);
    ConditionallySetAttributes(id, {Xan_State, kNote}, kAB, first, true);
  }
  EXPECT_EQ(RequestCount(), 0u);
}

// No answer, or one that cannot be read whole: false, outputs and cache kept.
// (Mask, insert and remove share their answer handling with increment and
// append.)
TEST_F(ConditionalUpdatesTest, FailedSynchronousFormsChangeNothing) {
  CQmQueueMonitor watching;
  WatchInteraction(watching);
  const auto check = [&] {
    CQmAttributeValue current(u"kept");
    int number = 5;
    CQmAttributeMap result = kFirstAttributes;
    std::vector<CQmAttributeValue> values(1, CQmAttributeValue(u"kept"));
    EXPECT_FALSE(ConditionallySetAttribute(kId, Xan_State, kA, kB, current));
    EXPECT_FALSE(IncrementAttribute(kId, Xan_State, 1, number));
    EXPECT_FALSE(ConditionallySetAttributes(kId, {Xan_State}, {kA}, {kB}, result, false));
    EXPECT_FALSE(SyncConditionallySetAttributes(kId, {StateSetting()}, false, values));
    AppendAttribute(kId, Xan_State, kA, u",");
    EXPECT_EQ(current.QueryString(), u"kept");
    EXPECT_EQ(number, 5);
    EXPECT_EQ(result, kFirstAttributes);
    EXPECT_THAT(Texts(values), ElementsAre(u"kept"));
    EXPECT_EQ(Cached(), u"C,first");
  };
  // Answers of the verdict alone. The element edits keep theirs throughout:
  // the text that ForEachFailure answers would be a valid answer to them.
  for (int event : {3, 9, 10, 13, 14}) server_->Respond(interaction_, event, Body(true));
  check();
  const std::initializer_list<int> events = {9, 10, 13, 14};
  ForEachFailure(interaction_, events, Body(true, u"X"), check);
}

TEST_F(ConditionalUpdatesTest, NotifierExceptionsOfFireAndForgetFormsReachTheCaller) {
  const CQmAttributeName tooLong(std::u16string(40, u'n'));
  const std::function<void()> calls[] = {
      [&] { ConditionallySetAttribute(kId, tooLong, kA, kB); },
      [&] { ConditionallySetAttributes(kId, {tooLong}, {kA}, {kB}, false); },
      [&] { AsyncConditionallySetAttributes(kId, {Setting(tooLong, kA, true, true)}, false); },
      [&] { IncrementAttribute(kId, tooLong, 1); },
      [&] { MaskAttribute(kId, tooLong, 1, 2); },
  };
  const W4Notifier::detail::ScopedByteFormLimit limit(32);
  for (const auto& call : calls) EXPECT_THROW(call(), W4Notifier::CNotifierException);
}

// ---- The setting's own wire form ---------------------------------------------

// Written and read back equal. A count that the conditions do not back fails,
// changing neither the setting nor the read position; one that reads as a
// negative int gives no conditions.
TEST(SetAttributeConditionallyTest, ReadsWhatItWritesAndNothingElse) {
  CMessage written;
  Setting setting;
  setting.read(StateSetting().write(written));
  EXPECT_EQ(setting, StateSetting());
  EXPECT_TRUE(written.IsAtEndOfData());
  const auto head = [](std::uint32_t count) {
    return Body(true, false, std::int32_t{38}, u"H", count);
  };
  for (const CMessage& body : {head(INT_MAX), head(2) << std::int32_t{38}, head(1) << u"x"}) {
    EXPECT_THROW(setting.read(body), W4Notifier::CNotifierExtractException);
    EXPECT_EQ(setting, StateSetting());
    EXPECT_EQ(body.QueryReadPosition(), 0u);
  }
  setting.read(head(0xFFFFFFFF));
  EXPECT_EQ(setting, Setting(Xan_State, CQmAttributeValue(u"H"), true, false));
}

}  // namespace
}  // namespace QueueManager::testing
