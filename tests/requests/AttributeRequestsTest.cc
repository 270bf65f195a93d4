// The attribute set and query requests and the conditional and arithmetic
// updates against the scripted server: the exact fields of each request; for
// an interaction that no monitor of this process watches every read goes to
// the server, for one on a watched queue the monitor cache answers what it
// holds and takes what the server reports.

#include <gmock/gmock.h>

#include <climits>
#include <functional>
#include <limits>
#include <tuple>

#include "QueueManager/AttributeRequests.h"
#include "QueueManager/ConditionalUpdates.h"
#include "monitor/QmCache.h"
#include "platform/notifier/ByteFormLimit.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

constexpr std::uint32_t kId = 42;
constexpr std::int32_t kHuge = std::numeric_limits<std::int32_t>::max();
const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);
const CEntityId kUserQueue(W4Notifier::eUserQueue, 5u);
const CQmAttributeName kNote(u"Note");

constexpr std::uint32_t kFirst = 5001;
constexpr std::uint32_t kSecond = 5002;

class AttributeRequestsTest : public RequestTest {
 protected:
  // Interactions on a queue that `monitor` watches.
  void WatchInteractions(CQmQueueMonitor& monitor) {
    Watch(monitor, CEntityId(W4Notifier::eWorkgroupQueue, 1001u), {Xan_State, kNote},
          {.events = {Added(kFirst, Attributes({{Xan_State, u"C"}, {kNote, u"first"}})),
                      Added(kSecond, Attributes({{Xan_State, u"A"}}))}});
  }

  const CEntityId interaction_ = InteractionEntity(kId);
};

TEST_F(AttributeRequestsTest, EachWriteSendsOneMoveAndSet) {
  const unsigned char block[] = {1, 2, 3, 4};
  // Each write, the fields after the interaction's entity, whether awaited.
  const std::tuple<const char*, std::function<void()>, const char*, bool> cases[] = {
      {"queues and map",
       [] {
         EXPECT_TRUE(MoveAndSet(kId, {kQueue}, Attributes({{Xan_State, u"C"}, {kNote, u"hi"}}),
                                {kUserQueue}, false));
       },
       "int 1, int 3, int 77, int 2, int -1, wtext \"Note\", wtext \"hi\", int 38, wtext \"C\", "
       "int 1, int 9, int 5",
       true},
      {"one way",
       [] {
         EXPECT_TRUE(MoveAndSet(kId, {kQueue}, Attributes({{Xan_State, u"C"}}), {}, true));
       },
       "int 1, int 3, int 77, int 1, int 38, wtext \"C\", int 0", false},
      {"only queues: an empty map",
       [] { EXPECT_TRUE(MoveAndSet(kId, {}, CQmAttributeMap(), {kQueue}, false)); },
       "int 0, int 0, int 1, int 3, int 77", true},
      {"the data block is ignored",
       [&] {
         EXPECT_TRUE(MoveAndSet(kId, {}, Attributes({{Xan_State, u"C"}}), {}, block, 4, false));
       },
       "int 0, int 1, int 38, wtext \"C\", int 0", true},
      {"name and value", [] { SetAttribute(kId, Xan_State, CQmAttributeValue(u"C")); },
       "int 0, int 1, int 38, wtext \"C\", int 0", true},
      {"name and UTF-8 value", [] { SetAttribute(kId, Xan_State, "Held"); },
       "int 0, int 1, int 38, wtext \"Held\", int 0", true},
      {"null value", [] { SetAttribute(kId, Xan_State, static_cast<const char*>(nullptr)); },
       "int 0, int 1, int 38, wtext \"\", int 0", true},
      {"UTF-8 standard name", [] { SetAttribute(kId, "xan_state", "C"); },
       "int 0, int 1, int 38, wtext \"C\", int 0", true},
      {"UTF-8 custom name", [] { SetAttribute(kId, "my attr", "v"); },
       "int 0, int 1, int -1, wtext \"my_attr\", wtext \"v\", int 0", true},
      {"map",
       [] {
         SetAttributes(kId, Attributes({{Xan_State, u"C"}, {CQmAttributeName(u"a"), u"1"}}));
       },
       "int 0, int 2, int -1, wtext \"a\", wtext \"1\", int 38, wtext \"C\", int 0", true},
      {"names and values: later duplicates win, surplus values are ignored",
       [] {
         SetAttributes(kId, {Xan_State, CQmAttributeName(u"a"), Xan_State},
                       {CQmAttributeValue(u"A"), CQmAttributeValue(u"1"), CQmAttributeValue(u"C"),
                        CQmAttributeValue(u"surplus")});
       },
       "int 0, int 2, int -1, wtext \"a\", wtext \"1\", int 38, wtext \"C\", int 0", true},
      {"fewer values than names: the pairs present, with a warning",
       [] {
         SetAttributes(kId, {Xan_State, kNote}, {CQmAttributeValue(u"C")});
       },
       "int 0, int 1, int 38, wtext \"C\", int 0", true},
  };
  server_->Respond(interaction_, 7, Body(true));
  for (const auto& [label, call, fields, awaited] : cases) {
    SCOPED_TRACE(label);
    server_->ClearTraffic();
    call();
    EXPECT_THAT(SentFields(interaction_, 7), ElementsAre(std::string("int 30, int 42, ") + fields));
    EXPECT_THAT(RequestsAwaited(), ElementsAre(awaited));
  }
  EXPECT_EQ(TracesAt(W4Trace::kLevelWarning), 1u);
}

// Writes of nothing or of invalid UTF-8 send nothing; a MoveAndSet that the
// server refuses or that finds no server fails.
TEST_F(AttributeRequestsTest, EmptyOrInvalidWritesSendNothingAndRefusedOnesFail) {
  server_->Respond(interaction_, 7, Body(true));
  EXPECT_TRUE(MoveAndSet(kId, {}, CQmAttributeMap(), {}, false));
  EXPECT_TRUE(MoveAndSet(kId, {}, CQmAttributeMap(), {}, true));
  SetAttributes(kId, CQmAttributeMap());
  SetAttributes(kId, {}, {CQmAttributeValue(u"unused")});
  SetAttributes(kId, {Xan_State}, {});
  SetAttribute(kId, Xan_State, "\xff");
  SetAttribute(kId, "\xc3", "C");
  SetAttribute(kId, "Xan_State", "ok\xc3");
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_EQ(TracesAt(W4Trace::kLevelFailure), 3u);

  const CQmAttributeMap attributes = Attributes({{Xan_State, u"C"}});
  server_->Respond(interaction_, 7, Body(false));
  EXPECT_FALSE(MoveAndSet(kId, {}, attributes, {}, false));
  ForEachFailure(interaction_, {7}, Body(true),
                 [&] { EXPECT_FALSE(MoveAndSet(kId, {}, attributes, {}, false)); });
  EXPECT_FALSE(MoveAndSet(kId, {}, attributes, {}, true));  // no connection
}

// Queries ask for their names and keep exactly the answer; a query of no
// names, or of monitored values of an unwatched interaction, never asks.
TEST_F(AttributeRequestsTest, QueriesAskForTheirNamesAndKeepExactlyTheAnswer) {
  server_->Respond(interaction_, 0, ValueList({u"C"}));
  std::vector<CQmAttributeValue> values(2);
  EXPECT_TRUE(QueryAttributes(kId, {}, values));
  EXPECT_THAT(values, IsEmpty());
  CQmAttributeValue value;
  EXPECT_FALSE(QueryMonitoredAttribute(kId, Xan_State, value));
  values.assign(3, CQmAttributeValue(u"stale"));
  EXPECT_FALSE(QueryMonitoredAttributes(kId, {Xan_State}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u""));
  EXPECT_EQ(RequestCount(), 0u);

  server_->Respond(interaction_, 0, ValueList({u"C", u"hi"}));
  values.assign(5, CQmAttributeValue(u"stale"));
  EXPECT_TRUE(QueryAttributes(kId, {Xan_State, kNote}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"C", u"hi"));
  server_->Respond(interaction_, 0, ValueList({u"C"}));
  EXPECT_TRUE(QueryAttribute(kId, Xan_State, value));
  EXPECT_EQ(value.QueryString(), u"C");
  EXPECT_EQ(QueryAttribute(kId, kNote).QueryString(), u"C");
  EXPECT_THAT(SentFields(interaction_, 0),
              ElementsAre("int 2, int 38, int -1, wtext \"Note\"", "int 1, int 38",
                          "int 1, int -1, wtext \"Note\""));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(true, true, true));
}

// Answers to a query of two names that fail it: a list of another length
// keeps what came (and is traced), an unreadable one leaves nothing.
TEST_F(AttributeRequestsTest, HostileValueListsFail) {
  const std::pair<CMessage, std::vector<std::u16string>> cases[] = {
      {ValueList({u"C"}), {u"C"}},
      {ValueList({u"C", u"A", u"B"}), {u"C", u"A", u"B"}},
      {Body(std::int32_t{-3}), {}},
      {CMessage(), {}},
      {Body(std::int32_t{2}, u"C"), {}},
      {Body(kHuge, u"C", u"A"), {}},
      {Body(std::int32_t{2}, u"C", std::int32_t{5}), {}},
      {Body(u"C"), {}},
  };
  for (const auto& [body, kept] : cases) {
    SCOPED_TRACE(body.DescribeFields());
    server_->Respond(interaction_, 0, body);
    std::vector<CQmAttributeValue> values(1, CQmAttributeValue(u"stale"));
    EXPECT_FALSE(QueryAttributes(kId, {Xan_State, kNote}, values));
    EXPECT_EQ(Texts(values), kept);
    if (kept.size() == 1) continue;  // the answer to one name
    CQmAttributeValue value(u"kept");
    EXPECT_FALSE(QueryAttribute(kId, Xan_State, value));
    EXPECT_EQ(value.QueryString(), u"kept");
  }
  const W4Trace::CTraceRecord count = traces_->Records().at(0);
  EXPECT_EQ(count.level, W4Trace::kLevelFailure);
  EXPECT_EQ(count.function, "QueueManager::QueryAttributes");
  EXPECT_EQ(count.text, "42 (apparent) invalid interaction ID specified");
  EXPECT_THAT(count.context, ElementsAre(W4Trace::CContextAttribute(1, "42")));

  // Failed queries leave their outputs.
  ForEachFailure(interaction_, {0, 1}, ValueList({u"C"}), [&] {
    std::vector<CQmAttributeValue> values;
    EXPECT_FALSE(QueryAttributes(kId, {Xan_State}, values));
    CQmAttributeValue value(u"kept");
    EXPECT_FALSE(QueryAttribute(kId, Xan_State, value));
    EXPECT_EQ(value.QueryString(), u"kept");
    EXPECT_TRUE(QueryAttribute(kId, Xan_State).empty());
    std::vector<CQmAttribute> attributes(2);
    EXPECT_FALSE(QueryAttributesWildcard(kId, u"*", attributes));
    EXPECT_THAT(attributes, IsEmpty());
  });
}

TEST_F(AttributeRequestsTest, WildcardQuerySendsThePatternAndReadsAttributes) {
  server_->Respond(interaction_, 1,
                   Body(std::int32_t{2}, std::int32_t{38}, u"C", std::int32_t{-1}, u"Note", u"hi"));
  std::vector<CQmAttribute> attributes(3);
  EXPECT_TRUE(QueryAttributesWildcard(kId, u"Xan_*", attributes));
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_EQ(attributes[0].QueryName(), Xan_State);
  EXPECT_EQ(attributes[0].QueryValue().QueryString(), u"C");
  EXPECT_EQ(attributes[1].DisplayName(), u"Note");
  EXPECT_EQ(attributes[1].QueryValue().QueryString(), u"hi");
  EXPECT_THAT(SentFields(interaction_, 1), ElementsAre("wstring \"Xan_*\""));
  server_->Respond(interaction_, 1, Body(std::int32_t{-1}));
  EXPECT_TRUE(QueryAttributesWildcard(kId, u"*", attributes));
  EXPECT_THAT(attributes, IsEmpty());
  for (const CMessage& body :
       {Body(std::int32_t{3}, std::int32_t{38}, u"C"), Body(kHuge, std::int32_t{38}, u"C"),
        Body(std::int32_t{1}, u"Xan_State", u"C")}) {
    SCOPED_TRACE(body.DescribeFields());
    server_->Respond(interaction_, 1, body);
    attributes.resize(2);
    EXPECT_FALSE(QueryAttributesWildcard(kId, u"*", attributes));
    EXPECT_THAT(attributes, IsEmpty());
  }
}

// ---- Interactions on a watched queue ----------------------------------------

// A monitored attribute that the server did not send is empty, not unknown;
// one name the cache does not hold sends one request for all; writes go
// through to the cache; once the queue is no longer watched every read asks
// the server.
TEST_F(AttributeRequestsTest, AWatchedInteractionIsAnsweredFromTheCache) {
  RecordingMonitor watcher;
  WatchInteractions(watcher);
  CQmAttributeValue value;
  EXPECT_TRUE(QueryAttribute(kFirst, Xan_State, value));
  EXPECT_EQ(value.QueryString(), u"C");
  EXPECT_EQ(QueryAttribute(kFirst, kNote).QueryString(), u"first");
  EXPECT_TRUE(QueryMonitoredAttribute(kSecond, Xan_State, value));
  EXPECT_EQ(value.QueryString(), u"A");
  EXPECT_TRUE(QueryAttribute(kSecond, kNote, value));
  EXPECT_TRUE(value.empty());
  std::vector<CQmAttributeValue> values(4, CQmAttributeValue(u"stale"));
  EXPECT_TRUE(QueryAttributes(kFirst, {kNote, Xan_State}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"first", u"C"));
  EXPECT_EQ(RequestCount(), 0u);

  server_->Respond(InteractionEntity(kFirst), 0, ValueList({u"server", u"42"}));
  EXPECT_FALSE(QueryMonitoredAttributes(kFirst, {Xan_State, CQmAttributeName(Xan_CallId)}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"C", u""));
  EXPECT_TRUE(QueryAttributes(kFirst, {Xan_State, CQmAttributeName(Xan_CallId)}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"server", u"42"));
  EXPECT_THAT(SentFields(InteractionEntity(kFirst), 0), ElementsAre("int 2, int 38, int 6"));

  // Writes go through to the cache whatever the server says.
  UseShortTimeout();
  server_->Reject(InteractionEntity(kFirst), 7);
  EXPECT_FALSE(MoveAndSet(kFirst, {}, Attributes({{Xan_State, u"H"}}), {}, false));
  EXPECT_EQ(QueryAttribute(kFirst, Xan_State).QueryString(), u"H");
  server_->Silence(InteractionEntity(kSecond), 7);
  SetAttribute(kSecond, kNote, "second");
  EXPECT_EQ(QueryAttribute(kSecond, kNote).QueryString(), u"second");
  RemoveConnection();
  EXPECT_FALSE(MoveAndSet(kFirst, {}, Attributes({{Xan_State, u"E"}}), {}, true));
  EXPECT_EQ(QueryAttribute(kFirst, Xan_State).QueryString(), u"E");
  EXPECT_EQ(server_->RequestsTo(InteractionEntity(kFirst), 0).size(), 1u);

  W4Notifier::SetDefaultConnection(connection_);
  watcher.Deactivate();
  server_->Respond(InteractionEntity(kFirst), 0, ValueList({u"server"}));
  EXPECT_EQ(QueryAttribute(kFirst, Xan_State).QueryString(), u"server");
  EXPECT_EQ(server_->RequestsTo(InteractionEntity(kFirst), 0).size(), 2u);
}

// Conditional and arithmetic updates against the scripted server: the exact
// fields of each request, and for the synchronous forms the value written back
// into the monitor cache of a watched interaction, whatever the verdict.

using Setting = SetAttributeConditionally;

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
