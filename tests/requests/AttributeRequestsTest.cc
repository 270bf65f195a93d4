// The attribute set and query requests against the scripted server, for an
// interaction that no monitor of this process watches (every read goes to the
// server).

#include "QueueManager/AttributeRequests.h"

#include <gmock/gmock.h>

#include <functional>
#include <limits>

#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using W4Notifier::CScriptedReply;

constexpr std::uint32_t kId = 42;
const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);
const CEntityId kUserQueue(W4Notifier::eUserQueue, 5u);

class AttributeRequestsTest : public RequestTest {
 protected:
  const CEntityId interaction_ = InteractionEntity(kId);
};

// ---- MoveAndSet -----------------------------------------------------------

TEST_F(AttributeRequestsTest, MoveAndSetSendsQueuesAndMapAndReturnsTheAnswer) {
  server_->Respond(interaction_, 7, Body(true));
  CQmAttributeMap attributes;
  attributes.insert(Xan_State, std::u16string(u"C"));
  attributes.insert(CQmAttributeName(u"Note"), std::u16string(u"hi"));
  EXPECT_TRUE(MoveAndSet(kId, {kQueue}, attributes, {kUserQueue}, false));
  EXPECT_THAT(SentFields(interaction_, 7),
              ElementsAre("int 30, int 42, int 1, int 3, int 77, int 2, int -1, wtext \"Note\", "
                          "wtext \"hi\", int 38, wtext \"C\", int 1, int 9, int 5"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(true));
}

TEST_F(AttributeRequestsTest, MoveAndSetIgnoresTheDataBlock) {
  server_->Respond(interaction_, 7, Body(true));
  CQmAttributeMap attributes;
  attributes.insert(Xan_State, std::u16string(u"C"));
  const unsigned char block[] = {1, 2, 3, 4};
  EXPECT_TRUE(MoveAndSet(kId, {}, attributes, {}, block, sizeof block, false));
  EXPECT_TRUE(MoveAndSet(kId, {}, attributes, {}, false));
  const std::vector<std::string> sent = SentFields(interaction_, 7);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], "int 30, int 42, int 0, int 1, int 38, wtext \"C\", int 0");
  EXPECT_EQ(sent[1], sent[0]);
}

TEST_F(AttributeRequestsTest, MoveAndSetWithNothingToDoSendsNothing) {
  EXPECT_TRUE(MoveAndSet(kId, {}, CQmAttributeMap(), {}, false));
  EXPECT_TRUE(MoveAndSet(kId, {}, CQmAttributeMap(), {}, true));
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(AttributeRequestsTest, MoveAndSetWithOnlyQueuesSendsAnEmptyMap) {
  server_->Respond(interaction_, 7, Body(true));
  EXPECT_TRUE(MoveAndSet(kId, {}, CQmAttributeMap(), {kQueue}, false));
  EXPECT_THAT(SentFields(interaction_, 7),
              ElementsAre("int 30, int 42, int 0, int 0, int 1, int 3, int 77"));
}

TEST_F(AttributeRequestsTest, MoveAndSetWithoutWaitingSendsOneWay) {
  server_->Silence(interaction_, 7);
  CQmAttributeMap attributes;
  attributes.insert(Xan_State, std::u16string(u"C"));
  EXPECT_TRUE(MoveAndSet(kId, {kQueue}, attributes, {}, true));
  EXPECT_THAT(
      SentFields(interaction_, 7),
      ElementsAre("int 30, int 42, int 1, int 3, int 77, int 1, int 38, wtext \"C\", int 0"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(false));
}

TEST_F(AttributeRequestsTest, MoveAndSetWithoutWaitingReportsAMissingConnection) {
  RemoveConnection();
  CQmAttributeMap attributes;
  attributes.insert(Xan_State, std::u16string(u"C"));
  EXPECT_FALSE(MoveAndSet(kId, {}, attributes, {}, true));
}

TEST_F(AttributeRequestsTest, MoveAndSetFailures) {
  struct Case {
    const char* label;
    std::function<void(W4Notifier::CScriptedServer&, const CEntityId&)> script;
  };
  const Case cases[] = {
      {"server says no", [](auto& s, const auto& e) { s.Respond(e, 7, Body(false)); }},
      {"rejected", [](auto& s, const auto& e) { s.Reject(e, 7, Body(true)); }},
      {"silent", [](auto& s, const auto& e) { s.Silence(e, 7); }},
      {"empty answer", [](auto& s, const auto& e) { s.Respond(e, 7); }},
      {"answer of another type", [](auto& s, const auto& e) { s.Respond(e, 7, Body(1)); }},
  };
  UseShortTimeout();
  CQmAttributeMap attributes;
  attributes.insert(Xan_State, std::u16string(u"C"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    c.script(*server_, interaction_);
    EXPECT_FALSE(MoveAndSet(kId, {}, attributes, {}, false));
  }
  RemoveConnection();
  EXPECT_FALSE(MoveAndSet(kId, {}, attributes, {}, false));
}

// ---- Set front ends -------------------------------------------------------

TEST_F(AttributeRequestsTest, SetFrontEndsSendOneMoveAndSetAndWait) {
  struct Case {
    const char* label;
    std::function<void()> call;
    const char* map;  // the fields of the attribute map
  };
  const Case cases[] = {
      {"name and value", [] { SetAttribute(kId, Xan_State, CQmAttributeValue(u"C")); },
       "int 1, int 38, wtext \"C\""},
      {"name and UTF-8 value", [] { SetAttribute(kId, Xan_State, "Held"); },
       "int 1, int 38, wtext \"Held\""},
      {"null value is the empty value",
       [] { SetAttribute(kId, Xan_State, static_cast<const char*>(nullptr)); },
       "int 1, int 38, wtext \"\""},
      {"UTF-8 standard name", [] { SetAttribute(kId, "xan_state", "C"); },
       "int 1, int 38, wtext \"C\""},
      {"UTF-8 custom name", [] { SetAttribute(kId, "my attr", "v"); },
       "int 1, int -1, wtext \"my_attr\", wtext \"v\""},
      {"map",
       [] {
         CQmAttributeMap attributes;
         attributes.insert(Xan_State, std::u16string(u"C"));
         attributes.insert(CQmAttributeName(u"a"), std::u16string(u"1"));
         SetAttributes(kId, attributes);
       },
       "int 2, int -1, wtext \"a\", wtext \"1\", int 38, wtext \"C\""},
      {"names and values: later duplicates win, surplus values are ignored",
       [] {
         SetAttributes(kId, {Xan_State, CQmAttributeName(u"a"), Xan_State},
                       {CQmAttributeValue(u"A"), CQmAttributeValue(u"1"), CQmAttributeValue(u"C"),
                        CQmAttributeValue(u"surplus")});
       },
       "int 2, int -1, wtext \"a\", wtext \"1\", int 38, wtext \"C\""},
  };
  server_->Respond(interaction_, 7, Body(true));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    server_->ClearTraffic();
    c.call();
    EXPECT_THAT(SentFields(interaction_, 7),
                ElementsAre(std::string("int 30, int 42, int 0, ") + c.map + ", int 0"));
    EXPECT_THAT(RequestsAwaited(), ElementsAre(true));
  }
}

TEST_F(AttributeRequestsTest, SetAttributesWithFewerValuesSetsOnlyThePairsPresent) {
  server_->Respond(interaction_, 7, Body(true));
  SetAttributes(kId, {Xan_State, CQmAttributeName(Xan_CallId), CQmAttributeName(u"x")},
                {CQmAttributeValue(u"C")});
  EXPECT_THAT(SentFields(interaction_, 7),
              ElementsAre("int 30, int 42, int 0, int 1, int 38, wtext \"C\", int 0"));
  EXPECT_EQ(TracesAt(W4Trace::kLevelWarning), 1u);
  server_->ClearTraffic();
  SetAttributes(kId, {Xan_State}, {});
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(AttributeRequestsTest, SettingNothingSendsNothing) {
  SetAttributes(kId, CQmAttributeMap());
  SetAttributes(kId, {}, {CQmAttributeValue(u"unused")});
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(AttributeRequestsTest, InvalidUtf8SetsNothing) {
  server_->Respond(interaction_, 7, Body(true));
  SetAttribute(kId, Xan_State, "\xff");
  SetAttribute(kId, "\xc3", "C");
  SetAttribute(kId, "Xan_State", "ok\xc3");
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_EQ(TracesAt(W4Trace::kLevelFailure), 3u);
}

// ---- QueryAttributes / QueryAttribute -------------------------------------

TEST_F(AttributeRequestsTest, QueryAttributesAsksForAllNamesAndKeepsExactlyTheAnswer) {
  server_->Respond(interaction_, 0, ValueList({u"C", u"hi"}));
  std::vector<CQmAttributeValue> values(5, CQmAttributeValue(u"stale"));
  EXPECT_TRUE(QueryAttributes(kId, {Xan_State, CQmAttributeName(u"Note")}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"C", u"hi"));
  EXPECT_THAT(SentFields(interaction_, 0), ElementsAre("int 2, int 38, int -1, wtext \"Note\""));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(true));
}

TEST_F(AttributeRequestsTest, QueryAttributesWithAWrongCountKeepsWhatCameAndTraces) {
  server_->Respond(interaction_, 0, ValueList({u"C", u"A"}));
  std::vector<CQmAttributeValue> values;
  EXPECT_FALSE(
      QueryAttributes(kId, {Xan_State, CQmAttributeName(Xan_CallId), Xan_CallDirection}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"C", u"A"));
  const std::vector<W4Trace::CTraceRecord> records = traces_->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, W4Trace::kLevelFailure);
  EXPECT_EQ(records[0].function, "QueueManager::QueryAttributes");
  EXPECT_EQ(records[0].text, "42 (apparent) invalid interaction ID specified");
  EXPECT_THAT(records[0].context, ElementsAre(W4Trace::CContextAttribute(1, "42")));

  // More values than names fail the same way.
  EXPECT_FALSE(QueryAttributes(kId, {Xan_State}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"C", u"A"));
  EXPECT_EQ(TracesAt(W4Trace::kLevelFailure), 2u);
}

TEST_F(AttributeRequestsTest, QueryAttributesFailures) {
  struct Case {
    const char* label;
    std::function<void(W4Notifier::CScriptedServer&, const CEntityId&)> script;
  };
  const Case cases[] = {
      {"rejected", [](auto& s, const auto& e) { s.Reject(e, 0, ValueList({u"C"})); }},
      {"silent", [](auto& s, const auto& e) { s.Silence(e, 0); }},
      {"unscripted", [](auto& s, const auto&) { s.ClearRules(); }},
  };
  UseShortTimeout();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    c.script(*server_, interaction_);
    std::vector<CQmAttributeValue> values;
    EXPECT_FALSE(QueryAttributes(kId, {Xan_State}, values));
    CQmAttributeValue value(u"kept");
    EXPECT_FALSE(QueryAttribute(kId, Xan_State, value));
    EXPECT_EQ(value.QueryString(), u"kept");
    EXPECT_TRUE(QueryAttribute(kId, Xan_State).empty());
  }
  RemoveConnection();
  std::vector<CQmAttributeValue> values;
  EXPECT_FALSE(QueryAttributes(kId, {Xan_State}, values));
}

TEST_F(AttributeRequestsTest, MalformedValueListsGiveFalse) {
  const CMessage bodies[] = {
      CMessage(),
      Body(std::int32_t{2}, u"C"),                                 // one short
      Body(std::numeric_limits<std::int32_t>::max(), u"C", u"A"),  // absurd count
      Body(std::int32_t{2}, u"C", std::int32_t{5}),                // a number for a value
      Body(u"C"),                                                  // no count
  };
  for (const CMessage& body : bodies) {
    SCOPED_TRACE(body.DescribeFields());
    server_->Respond(interaction_, 0, body);
    std::vector<CQmAttributeValue> values(1, CQmAttributeValue(u"stale"));
    EXPECT_FALSE(QueryAttributes(kId, {Xan_State, Xan_CallDirection}, values));
    EXPECT_THAT(values, IsEmpty());
    EXPECT_TRUE(QueryAttribute(kId, Xan_State).empty());
  }
}

TEST_F(AttributeRequestsTest, QueryAttributeTakesTheOneValue) {
  server_->Respond(interaction_, 0, ValueList({u"C"}));
  CQmAttributeValue value;
  EXPECT_TRUE(QueryAttribute(kId, Xan_State, value));
  EXPECT_EQ(value.QueryString(), u"C");
  EXPECT_EQ(QueryAttribute(kId, CQmAttributeName(u"Note")).QueryString(), u"C");
  EXPECT_THAT(SentFields(interaction_, 0),
              ElementsAre("int 1, int 38", "int 1, int -1, wtext \"Note\""));
}

TEST_F(AttributeRequestsTest, QueryAttributeWithoutExactlyOneValueFails) {
  for (const std::vector<std::u16string>& answer :
       {std::vector<std::u16string>{}, std::vector<std::u16string>{u"C", u"A"}}) {
    server_->Respond(interaction_, 0, ValueList(answer));
    CQmAttributeValue value(u"kept");
    EXPECT_FALSE(QueryAttribute(kId, Xan_State, value));
    EXPECT_EQ(value.QueryString(), u"kept");
    EXPECT_TRUE(QueryAttribute(kId, Xan_State).empty());
  }
  EXPECT_EQ(TracesAt(W4Trace::kLevelFailure), 4u);  // the count trace of each query
}

TEST_F(AttributeRequestsTest, MonitoredQueriesOfAnUnwatchedInteractionNeverAsk) {
  server_->Respond(interaction_, 0, ValueList({u"C"}));
  std::vector<CQmAttributeValue> none(2);
  EXPECT_TRUE(QueryAttributes(kId, {}, none));  // no names: nothing to ask for
  EXPECT_THAT(none, IsEmpty());
  CQmAttributeValue value;
  EXPECT_FALSE(QueryMonitoredAttribute(kId, Xan_State, value));
  std::vector<CQmAttributeValue> values(3, CQmAttributeValue(u"stale"));
  EXPECT_FALSE(QueryMonitoredAttributes(kId, {Xan_State}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u""));
  EXPECT_EQ(RequestCount(), 0u);
}

// ---- QueryAttributesWildcard ----------------------------------------------

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
}

TEST_F(AttributeRequestsTest, FailedWildcardQueriesLeaveNoAttributes) {
  UseShortTimeout();
  const std::function<void()> scripts[] = {
      [&] { server_->Reject(interaction_, 1); },
      [&] { server_->Silence(interaction_, 1); },
      [&] { server_->Respond(interaction_, 1, Body(std::int32_t{3}, std::int32_t{38}, u"C")); },
      [&] { server_->Respond(interaction_, 1, Body(std::int32_t{1}, u"Xan_State", u"C")); },
  };
  for (const auto& script : scripts) {
    script();
    std::vector<CQmAttribute> attributes(2);
    EXPECT_FALSE(QueryAttributesWildcard(kId, u"*", attributes));
    EXPECT_THAT(attributes, IsEmpty());
  }
}

}  // namespace
}  // namespace QueueManager::testing
