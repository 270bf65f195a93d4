// The life-cycle requests against the scripted server, and the decoding of the
// server's deactivation reports, hostile ones included. The program counts
// its allocations, so that a decode can be shown never to allocate for an
// announced length or count.

#include "QueueManager/InteractionLifeCycle.h"

#include <gmock/gmock.h>

#include <climits>
#include <vector>

#include "platform/AllocationProbe.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using I = std::int32_t;
using U = std::uint32_t;

// Raw bytes in a message body, for Body(...).
struct RawBytes {
  U count;
};
CMessage& operator<<(CMessage& message, RawBytes raw) {
  const std::vector<std::uint8_t> bytes(raw.count, 0xAB);
  message.Insert(bytes.data(), raw.count);
  return message;
}

const CEntityId kServer(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects);
const CEntityId kCreated(W4Notifier::eConferenceInteraction, 4711u);
const CEntityId kBefore(W4Notifier::eGenericObject, 1u);
const CQmAttributeName kNote(u"Note");

class InteractionLifeCycleTest : public RequestTest {};

// Interaction 42 of type 20, connected, inbound, from an external caller to a
// station, on queues (3, 77) and (9, 5).
bool Instantiate(CEntityId& entity, const CQmAttributeMap& attributes, bool noWait) {
  return InstantiateInteraction(
      entity, 42u, W4Notifier::eConferenceInteraction, eXAN_STATE_CONNECTED, eXAN_DIRECTION_INBOUND,
      "Agent", "1001", "agent1", eXAN_PARTY_STATION, "Caller", "555", "c1", eXAN_PARTY_EXTERNAL,
      attributes,
      {CEntityId(W4Notifier::eWorkgroupQueue, 77u), CEntityId(W4Notifier::eUserQueue, 5u)}, noWait);
}

TEST_F(InteractionLifeCycleTest, InstantiationSendsTheArgumentsOverTheCallersAttributes) {
  server_->Respond(kServer, 14, Body(true, I{20}, I{4711}));
  CEntityId entity = kBefore;
  EXPECT_TRUE(Instantiate(entity, Attributes({{Xan_State, u"X"}, {kNote, u"hi"}}), false));
  EXPECT_EQ(entity, kCreated);
  // One way: the same request, and no entity.
  EXPECT_TRUE(Instantiate(entity, Attributes({{Xan_State, u"X"}, {kNote, u"hi"}}), true));
  EXPECT_EQ(entity, CEntityId());
  const std::vector<std::string> sent = SentFields(kServer, 14);
  EXPECT_THAT(sent,
              ElementsAre("uint 42, int 20, int 11, int -1, wtext \"Note\", wtext \"hi\", int 5, "
                          "wtext \"I\", int 18, wtext \"1001\", int 19, wtext \"agent1\", int 20, "
                          "wtext \"Agent\", int 21, wtext \"S\", int 32, wtext \"555\", int 33, "
                          "wtext \"c1\", int 34, wtext \"Caller\", int 35, wtext \"E\", int 38, "
                          "wtext \"C\", int 2, int 3, int 77, int 9, int 5, int 0",
                          sent.at(0)));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(true, false));
}

// The answer gives the entity, whatever the flag says; a failed request or
// an answer cut short leaves the caller's entity alone.
TEST_F(InteractionLifeCycleTest, InstantiationReadsTheWholeAnswerOrNothing) {
  const std::tuple<CMessage, bool, CEntityId> answers[] = {
      {Body(true, I{20}, I{4711}), true, kCreated},
      {Body(false, I{20}, I{4711}), false, kCreated},
      {Body(true, I{20}), false, kBefore},
      {Body(true, u"20", I{4711}), false, kBefore},
  };
  for (const auto& [answer, result, after] : answers) {
    SCOPED_TRACE(answer.DescribeFields());
    server_->Respond(kServer, 14, answer);
    CEntityId entity = kBefore;
    EXPECT_EQ(Instantiate(entity, CQmAttributeMap(), false), result);
    EXPECT_EQ(entity, after);
  }
  ForEachFailure(kServer, {14}, Body(true, I{20}, I{4711}), [&] {
    CEntityId entity = kBefore;
    EXPECT_FALSE(Instantiate(entity, CQmAttributeMap(), false));
    EXPECT_EQ(entity, kBefore);
  });
  // Without a connection nothing goes out, and the one-way form says so.
  CEntityId entity = kBefore;
  EXPECT_FALSE(Instantiate(entity, CQmAttributeMap(), true));
  EXPECT_EQ(entity, CEntityId());
}

TEST_F(InteractionLifeCycleTest, ForwardingSendsTheWholeNotificationToItsInteraction) {
  CMessage notification(CEntityId(W4Notifier::eGenericObject, 77u), 5);
  notification << I{1} << u"x";
  ForwardNotification(notification);
  const CEntityId target = InteractionEntity(77);
  EXPECT_THAT(SentFields(target, 18), ElementsAre("message event 5 (70, 77) {int 1, wtext \"x\"}"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(false));
}

// Reports of interaction (20, 4711); the attributes are Xan_State "E".
TEST_F(InteractionLifeCycleTest, DeactivationReportsKeepWhatWasReadBeforeAFault) {
  const CQmAttributeMap state = Attributes({{Xan_State, u"E"}});
  const struct {
    const char* label;
    CMessage body;
    bool entity;  // read
    bool complete;
  } cases[] = {
      {"a block", Body(I{20}, I{4711}, U{3}, RawBytes{3}, I{1}, I{38}, u"E"), true, true},
      {"an empty block as no field", Body(I{20}, I{4711}, U{0}, I{1}, I{38}, u"E"), true, true},
      {"an empty block as an empty field",
       Body(I{20}, I{4711}, U{0}, RawBytes{0}, I{1}, I{38}, u"E"), true, true},
      {"a short block", Body(I{20}, I{4711}, U{8}, RawBytes{3}, I{1}, I{38}, u"E"), true, false},
      {"an absurd length", Body(I{20}, I{4711}, U{0xFFFFFFFF}, RawBytes{3}, I{1}, I{38}, u"E"),
       true, false},
      {"an absurd length, no block", Body(I{20}, I{4711}, U{0xFFFFFFFF}, I{1}, I{38}, u"E"), true,
       false},
      {"no block at all", Body(I{20}, I{4711}, U{4}), true, false},
      {"an absurd count", Body(I{20}, I{4711}, U{0}, I{INT_MAX}, I{38}, u"E"), true, false},
      {"no object id", Body(I{20}), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::size_t failures = TracesAt(W4Trace::kLevelFailure);
    AllocationProbe probe;
    const CDeactivationData data(c.body);
    EXPECT_LE(probe.Largest(), std::max<std::size_t>(c.body.BodySize(), 4096));
    EXPECT_EQ(data.QueryEntityId(), c.entity ? kCreated : CEntityId());
    EXPECT_EQ(data.QueryAttributes(), c.complete ? state : CQmAttributeMap());
    EXPECT_EQ(data.IsComplete(), c.complete);
    EXPECT_EQ(TracesAt(W4Trace::kLevelFailure) - failures, c.complete ? 0u : 1u);
    EXPECT_EQ(c.body.QueryReadPosition(), 0u);
  }
  // Read from where the caller stopped (after the server's time, say).
  const CMessage timed = Body(U{7}, I{20}, I{4711}, U{0}, I{1}, I{38}, u"E");
  U time = 0;
  timed >> time;
  EXPECT_EQ(CDeactivationData(timed).QueryAttributes(), state);
  EXPECT_EQ(timed.QueryReadPosition(), 5u);
}

}  // namespace
}  // namespace QueueManager::testing
