// The life-cycle requests against the scripted server, and the decoding of the
// server's deactivation reports, hostile ones included. The program counts
// its allocations, so that a decode can be shown never to allocate for an
// announced length or count.

#include "QueueManager/InteractionLifeCycle.h"

#include <gmock/gmock.h>

#include <climits>
#include <functional>
#include <vector>

#include "platform/AllocationProbe.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAre;

const CEntityId kServer(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects);
const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);
const CEntityId kUserQueue(W4Notifier::eUserQueue, 5u);
const CEntityId kCreated(W4Notifier::eConferenceInteraction, 4711u);
const CEntityId kBefore(W4Notifier::eGenericObject, 1u);
const CQmAttributeName kNote(u"Note");

class InteractionLifeCycleTest : public RequestTest {};

// Interaction 42 of type 20, connected, inbound, from an external caller to a
// station, with `attributes`.
bool Instantiate(CEntityId& entity, const CQmAttributeMap& attributes,
                 const std::vector<CEntityId>& queues, bool noWait) {
  return InstantiateInteraction(entity, 42u, W4Notifier::eConferenceInteraction,
                                eXAN_STATE_CONNECTED, eXAN_DIRECTION_INBOUND, "Agent", "1001",
                                "agent1", eXAN_PARTY_STATION, "Caller", "555", "c1",
                                eXAN_PARTY_EXTERNAL, attributes, queues, noWait);
}

// The ten standard attributes of Instantiate, in map order.
constexpr const char* kStandard =
    "int 5, wtext \"I\", int 18, wtext \"1001\", int 19, wtext \"agent1\", int 20, "
    "wtext \"Agent\", int 21, wtext \"S\", int 32, wtext \"555\", int 33, wtext \"c1\", "
    "int 34, wtext \"Caller\", int 35, wtext \"E\", int 38, wtext \"C\"";

TEST_F(InteractionLifeCycleTest, InstantiationSendsTheArgumentsOverTheCallersAttributes) {
  struct Case {
    const char* label;
    std::function<bool(CEntityId&)> call;
    std::string fields;
    bool awaited;
    CEntityId entity;  // afterwards
  };
  const Case cases[] = {
      {"the caller's state replaced, a custom name kept, two queues",
       [](CEntityId& e) {
         return Instantiate(e, Attributes({{Xan_State, u"X"}, {kNote, u"hi"}}),
                            {kQueue, kUserQueue}, false);
       },
       std::string("uint 42, int 20, int 11, int -1, wtext \"Note\", wtext \"hi\", ") + kStandard +
           ", int 2, int 3, int 77, int 9, int 5, int 0",
       true, kCreated},
      {"one way: the entity is unset",
       [](CEntityId& e) { return Instantiate(e, CQmAttributeMap(), {}, true); },
       std::string("uint 42, int 20, int 10, ") + kStandard + ", int 0, int 0", false, CEntityId()},
      {"no state or party, empty and invalid texts give empty values",
       [](CEntityId& e) {
         return InstantiateInteraction(e, 0xFFFFFFFEu, W4Notifier::eGenericObject, eXAN_STATE_NONE,
                                       eXAN_DIRECTION_OUTBOUND, "", "\xff", "x", eXAN_PARTY_NONE,
                                       "\xc3", "", "", eXAN_PARTY_INTERNAL,
                                       Attributes({{Xan_RemoteId, u"kept?"}}), {}, false);
       },
       "uint 4294967294, int 70, int 10, int 5, wtext \"O\", int 18, wtext \"\", int 19, "
       "wtext \"x\", int 20, wtext \"\", int 21, wtext \"\", int 32, wtext \"\", int 33, "
       "wtext \"\", int 34, wtext \"\", int 35, wtext \"I\", int 38, wtext \"\", int 0, int 0",
       true, kCreated},
  };
  server_->Respond(kServer, 14, Body(true, std::int32_t{20}, std::int32_t{4711}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    server_->ClearTraffic();
    CEntityId entity = kBefore;
    EXPECT_TRUE(c.call(entity));
    EXPECT_EQ(entity, c.entity);
    EXPECT_THAT(SentFields(kServer, 14), ElementsAre(c.fields));
    EXPECT_THAT(RequestsAwaited(), ElementsAre(c.awaited));
  }
}

// The answer gives the entity, whatever the flag says; a failed request or
// an answer cut short leaves the caller's entity alone.
TEST_F(InteractionLifeCycleTest, InstantiationReadsTheWholeAnswerOrNothing) {
  const struct {
    CMessage answer;
    bool result;
    CEntityId entity;
  } answers[] = {
      {Body(true, std::int32_t{20}, std::int32_t{4711}), true, kCreated},
      {Body(false, std::int32_t{20}, std::int32_t{4711}), false, kCreated},
      {Body(true, std::int32_t{20}), false, kBefore},
      {Body(true, u"20", std::int32_t{4711}), false, kBefore},
      {Body(true), false, kBefore},
  };
  for (const auto& a : answers) {
    SCOPED_TRACE(a.answer.DescribeFields());
    server_->Respond(kServer, 14, a.answer);
    CEntityId entity = kBefore;
    EXPECT_EQ(Instantiate(entity, CQmAttributeMap(), {}, false), a.result);
    EXPECT_EQ(entity, a.entity);
  }
  ForEachFailure(kServer, {14}, Body(true, std::int32_t{20}, std::int32_t{4711}), [&] {
    CEntityId entity = kBefore;
    EXPECT_FALSE(Instantiate(entity, CQmAttributeMap(), {}, false));
    EXPECT_EQ(entity, kBefore);
  });
  // Without a connection nothing goes out, and the one-way form says so.
  CEntityId entity = kBefore;
  EXPECT_FALSE(Instantiate(entity, CQmAttributeMap(), {}, true));
  EXPECT_EQ(entity, CEntityId());
}

TEST_F(InteractionLifeCycleTest, ForwardingSendsTheWholeNotificationToItsInteraction) {
  W4Notifier::CNotificationObject notification(CEntityId(W4Notifier::eGenericObject, 77u),
                                               u"CallEnded");
  notification.SetEventId(5);
  notification << std::int32_t{1} << u"x";
  ForwardNotification(notification);
  const CEntityId target = InteractionEntity(77);
  EXPECT_THAT(SentFields(target, 18), ElementsAre("message event 5 (70, 77) {int 1, wtext \"x\"}"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(false));
  CMessage forwarded;
  server_->RequestsTo(target, 18).at(0) >> forwarded;
  EXPECT_EQ(forwarded.QueryEventName(), u"CallEnded");
  RemoveConnection();
  ForwardNotification(notification);
  EXPECT_EQ(TracesAt(W4Trace::kLevelWarning), 1u);
}

// ---- Deactivation reports ---------------------------------------------------

// A report as the server writes it, field group by field group.
struct Report {
  Report& Entity() {
    body << std::int32_t{20} << std::int32_t{4711};
    return *this;
  }
  Report& Length(std::uint32_t length) {
    body << length;
    return *this;
  }
  Report& Block(std::uint32_t bytes) {
    const std::vector<std::uint8_t> block(bytes, 0xAB);
    body.Insert(block.data(), bytes);
    return *this;
  }
  Report& Map(const CQmAttributeMap& attributes) {
    attributes.Write(body);
    return *this;
  }
  template <class Field>
  Report& Then(const Field& field) {
    body << field;
    return *this;
  }
  CMessage body;
};

TEST_F(InteractionLifeCycleTest, DeactivationReportsKeepWhatWasReadBeforeAFault) {
  const CQmAttributeMap two = Attributes({{Xan_State, u"E"}, {kNote, u"bye"}});
  const struct {
    const char* label;
    Report report;
    bool entity;  // read
    bool complete;
  } cases[] = {
      {"a block and two attributes", Report().Entity().Length(3).Block(3).Map(two), true, true},
      {"an empty block sent as no field", Report().Entity().Length(0).Map(two), true, true},
      {"an empty block sent as an empty field", Report().Entity().Length(0).Block(0).Map(two), true,
       true},
      {"a block shorter than announced", Report().Entity().Length(8).Block(3).Map(two), true,
       false},
      {"a block longer than announced", Report().Entity().Length(2).Block(3).Map(two), true, false},
      {"an absurd length before a small block",
       Report().Entity().Length(0xFFFFFFFFu).Block(3).Map(two), true, false},
      {"an absurd length and no block", Report().Entity().Length(0xFFFFFFFFu).Map(two), true,
       false},
      {"the block announced, the message ended", Report().Entity().Length(4), true, false},
      {"an absurd attribute count",
       Report().Entity().Length(0).Then(std::int32_t{INT_MAX}).Then(std::int32_t{38}).Then(u"E"),
       true, false},
      {"an attribute cut short",
       Report().Entity().Length(0).Then(std::int32_t{1}).Then(std::int32_t{38}), true, false},
      {"no object id", Report().Then(std::int32_t{20}), false, false},
      {"the object type as text", Report().Then(u"20").Then(std::int32_t{4711}), false, false},
      {"nothing at all", Report(), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::size_t failures = TracesAt(W4Trace::kLevelFailure);
    const CMessage& body = c.report.body;
    AllocationProbe probe;
    const CDeactivationData data(body);
    EXPECT_LE(probe.Largest(), std::max<std::size_t>(body.BodySize(), 4096));
    EXPECT_EQ(data.QueryEntityId(), c.entity ? kCreated : CEntityId());
    EXPECT_EQ(data.QueryAttributes(), c.complete ? two : CQmAttributeMap());
    EXPECT_EQ(data.IsComplete(), c.complete);
    EXPECT_EQ(TracesAt(W4Trace::kLevelFailure) - failures, c.complete ? 0u : 1u);
    EXPECT_EQ(body.QueryReadPosition(), 0u);
  }
}

// A report that follows fields of another layer (the server's time, say) is
// read from where the caller stopped.
TEST_F(InteractionLifeCycleTest, DeactivationReportsAreReadFromTheReadPosition) {
  const CMessage body =
      Report().Then(std::uint32_t{7}).Entity().Length(0).Map(Attributes({{kNote, u"n"}})).body;
  std::uint32_t time = 0;
  body >> time;
  const CDeactivationData data(body);
  EXPECT_TRUE(data.IsComplete());
  EXPECT_EQ(data.QueryEntityId(), kCreated);
  EXPECT_EQ(data.QueryAttributes().Query(kNote).QueryString(), u"n");
  EXPECT_EQ(body.QueryReadPosition(), 5u);
}

}  // namespace
}  // namespace QueueManager::testing
