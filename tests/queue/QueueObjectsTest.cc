// The procedural queue object functions and the generic queue object against
// the scripted server: what each sends, answers and publishes.

#include "QueueManager/QueueObjects.h"

#include <gmock/gmock.h>

#include <functional>
#include <map>

#include "QueueManager/GenericQueueObject.h"
#include "QueueManager/Platform/Text.h"
#include "queue/ObjectIdBlock.h"
#include "requests/RequestFields.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using namespace XANQueueObject;  // NOLINT: the actions and disconnection types
using I = std::int32_t;
using U = std::uint32_t;
using Entities = std::vector<CEntityId>;
namespace Q = AQueueObject;
const CEntityId kObject(W4Notifier::eGenericObject, 600u);
const CEntityId kRequests = InteractionEntity(600);
const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);
const CEntityId kUser(W4Notifier::eUserQueue, 5u);
const CEntityId kBob(W4Notifier::eUserQueue, u"bob");
const CEntityId kStation(W4Notifier::eStationQueue, 12u);

// A move of object 600 with `state` (none when null).
std::string Moved(const Entities& removeFrom, const char16_t* state, const Entities& addTo) {
  CQmAttributeMap attributes;
  if (state != nullptr) attributes.insert(Xan_State, CQmAttributeValue(state));
  return requests::MoveAndSetRequest(600u, removeFrom, attributes, addTo).DescribeFields();
}

class QueueObjectsTest : public RequestTest {
 protected:
  // The notifications published since the last call, as "name type:id
  // fields" ("#event" for a nameless one).
  std::vector<std::string> Published() {
    server_->WaitIdle();
    std::vector<std::string> published;
    for (const W4Notifier::CTrafficRecord& record : server_->Traffic()) {
      const CMessage& m = record.message;
      if (record.kind != W4Notifier::IBusObserver::eTraffic::kNotification) continue;
      published.push_back(
          fmt::format("{} {}:{} {}",
                      m.QueryEventName().empty() ? fmt::format("#{}", m.QueryEventId())
                                                 : W4Os::WideToNarrowLossy(m.QueryEventName()),
                      static_cast<I>(m.QueryObjectType()), m.QueryObjectId(), m.DescribeFields()));
    }
    server_->ClearTraffic();
    return published;
  }
  // Object 600's object type and attributes as the server holds them.
  void Serve(I type, std::map<eAttributeName, std::u16string> attributes) {
    server_->Respond(kRequests, 37, Body(type));
    server_->Handle(kRequests, 0, [attributes](const CMessage& request) {
      CQmAttributeName name;
      I count = 0;
      name.Read(request >> count);
      for (const auto& [key, value] : attributes) {
        if (name == CQmAttributeName(key)) return CScriptedReply::Respond(ValueList({value}));
      }
      return CScriptedReply::Reject();
    });
  }
};

// Each function's remove-from and add-to lists; a move onto the queue it
// comes from sends nothing.
TEST_F(QueueObjectsTest, LegacyMovesSendTheObjectAndBothLists) {
  server_->Respond(kRequests, 7, Body(I{5}));
  InsertObjectOnQueue(kObject, kQueue, "ignored", 7);
  InsertObjectOnQueues(kObject, {kQueue, kUser});
  InsertObjectOnQueues(kObject, {});
  RemoveObjectFromQueue(kObject, kUser);
  RemoveObjectFromQueues(kObject, {});
  RemoveObjectFromAllQueues(kObject);
  EXPECT_EQ(MoveQueueObject(kObject, CEntityId(), kUser), 5);
  EXPECT_EQ(MoveQueueObject(kObject, kQueue, kQueue), 1);
  const std::string head = "int 70, int 600, ";
  EXPECT_THAT(SentFields(kRequests, 7),
              ElementsAre(head + "int 0, int 0, int 1, int 3, int 77",
                          head + "int 0, int 0, int 2, int 3, int 77, int 9, int 5",
                          head + "int 1, int 9, int 5, int 0, int 0",
                          head + "int 1, int 0, int 0, int 0, int 0",
                          head + "int 0, int 0, int 1, int 9, int 5"));
  EXPECT_THAT(RequestsAwaited(), ::testing::Each(true));
  ForEachFailure(kRequests, {7}, Body(I{5}),
                 [] { EXPECT_EQ(MoveQueueObject(kObject, kQueue, kUser), 0); });
}

// An answer cut short tells nothing; an unset queue asks nothing.
TEST_F(QueueObjectsTest, ActiveCountsContainingQueuesAndItems) {
  const std::tuple<CMessage, int, int> answers[] = {
      {Body(true, false), 1, 1}, {Body(false, true), 0, 1}, {Body(true), 0, 0}};
  for (const auto& [answer, active, either] : answers) {
    server_->Respond(ServerEntity(), 9, answer);
    EXPECT_EQ(QueryActiveQueueObjectCount(kQueue, W4Notifier::eGenericObject), active);
    EXPECT_EQ(QueryActiveHeldQueueObjectCount(kQueue, W4Notifier::eGenericObject), either);
  }
  EXPECT_EQ(QueryActiveHeldQueueObjectCount(CEntityId(), W4Notifier::eGenericObject), 0);
  EXPECT_THAT(SentFields(ServerEntity(), 9), ::testing::Each("int 3, int 77, int 70"));
  EXPECT_EQ(RequestCount(), 6u);

  W4Notifier::CEntityIdArray queues{kObject};
  std::vector<sQueueItem> items(3);
  for (const bool whole : {true, false}) {  // the list, then the list cut short
    const CMessage list = whole ? Body(I{2}, I{3}, I{77}, I{9}, I{5}) : Body(I{2}, I{3}, I{77});
    server_->Respond(kRequests, 6, list);
    server_->Respond(ServerEntity(), 4, list);
    EXPECT_EQ(QueryQueuesContainingObject(kObject, queues), whole ? 2 : 0);
    EXPECT_EQ(queues, (whole ? Entities{kQueue, kUser} : Entities{}));
    EXPECT_EQ(RequestQueueItems(kQueue, items), whole ? 2 : -1);
    EXPECT_EQ(items,
              (whole ? std::vector<sQueueItem>{{3, 77}, {9, 5}} : std::vector<sQueueItem>{}));
  }
}

// One request per block; 0 and 0xFFFFFFFF are never handed out; a block
// that cannot be had gives 0.
TEST_F(QueueObjectsTest, ObjectIdsComeFromServerBlocks) {
  const CEntityId allocator = InteractionEntity(W4Notifier::kAllObjects);
  const std::pair<CMessage, std::vector<U>> blocks[] = {
      {Body(U{1000}, I{3}), {1000, 1001, 1002}},
      {Body(U{0}, I{3}), {1, 2}},
      {Body(U{0xFFFFFFFDu}, I{5}), {0xFFFFFFFDu, 0xFFFFFFFEu}},
      {Body(U{0xFFFFFFFFu}, I{5}), {0}},
      {Body(U{40}, I{0}), {0}},
      {Body(U{40}), {0}}};
  CObjectIdBlock block;
  for (const auto& [answer, ids] : blocks) {
    server_->Respond(allocator, 35, answer);
    server_->ClearTraffic();
    for (U id : ids) EXPECT_EQ(block.Allocate(3), id);
    EXPECT_THAT(SentFields(allocator, 35), ElementsAre("int 3"));
  }
  server_->Respond(allocator, 35, Body(U{7}, I{2}));
  EXPECT_EQ(AllocateQueueObjectId(2) + AllocateQueueObjectId(2), 15u);
}

// Plain names are workgroup queues, names with ':' after their first
// character scoped names; what names nothing is left out.
TEST_F(QueueObjectsTest, SelectCallParsesNamesAndRefusesNoCall) {
  CMessage expected;
  requests::WriteEntityList(expected << I{4},
                            {CEntityId(W4Notifier::eWorkgroupQueue, u"Sales"), kBob, kQueue,
                             CEntityId(W4Notifier::eWorkgroupQueue, u":odd")});
  const std::vector<std::string> names = {"Sales", "UserQueue:bob", "WorkgroupQueue:#77", ":odd",
                                          "",      "NoSuchType:x"};
  const std::pair<CMessage, U> answers[] = {
      {Body(U{321}), 321}, {Body(U{0}), 0}, {Body(U{0xFFFFFFFFu}), 0}, {Body(true), 0}};
  for (const auto& [answer, selected] : answers) {
    server_->Respond(ServerEntity(), 12, answer);
    U id = 99;
    EXPECT_EQ(SelectCall(names, 4, id), selected != 0);
    EXPECT_EQ(id, selected);
  }
  EXPECT_THAT(SentFields(ServerEntity(), 12), ::testing::Each(expected.DescribeFields()));
  U id = 99;
  EXPECT_FALSE(SelectCall({"", "x:"}, 4, id) || id != 0);
  EXPECT_EQ(RequestCount(), 4u);
}

TEST_F(QueueObjectsTest, GenericObjectActionsMoveSetAndPublish) {
  server_->Respond(kRequests, 7, Body(true));
  CGenericObject object(kObject);
  const std::tuple<std::function<void()>, std::vector<std::string>, std::vector<std::string>>
      actions[] = {
          {[&] { object.Connect("bob"); }, {Moved({}, u"C", {kBob})}, {"Connected 70:600 "}},
          {[&] { object.Hold("bob"); }, {Moved({}, u"H", {kBob})}, {"Held 70:600 "}},
          {[&] { object.Park(kStation); }, {Moved({}, u"P", {kStation})}, {"Parked 70:600 "}},
          {[&] { object.Park(kQueue); }, {}, {}},
          {[&] { object.Transfer("ann", kBob, kQueue, false); },
           {Moved({kQueue}, u"S", {kBob})},
           {"Transfered 70:600 "}},
          {[&] { object.Transfer(kBob, kQueue); },
           {Moved({kQueue}, u"O", {kBob})},
           {"Transfered 70:600 ",
            "GenericObjectInNonSystemQueue 70:600 wstring \"UserQueue:bob\""}},
          {[&] { object.SetCurrentQueue(kQueue); }, {Moved({}, nullptr, {kQueue})}, {}},
          {[&] { object.Disconnect(eDisconnectToInitializing); },
           {Moved({}, u"I", {})},
           {"Disconnected 70:600 "}},
          {[&] { object.Disconnect(DisconnectionType{7}); },
           {Moved({}, u"E", {})},
           {"Disconnected 70:600 "}},
      };
  for (const auto& [action, moves, published] : actions) {
    action();
    EXPECT_EQ(SentFields(kRequests, 7), moves);
    EXPECT_EQ(Published(), published);
  }
}

// The server's entity replaces the object's; "Created" is published even
// when the server refuses. Unknown codes map to 'C', 'I' and 'I'.
TEST_F(QueueObjectsTest, GenericObjectCreationTakesTheServersEntity) {
  server_->Respond(ServerEntity(), 14, Body(true, I{70}, I{600}));
  CGenericObject object;
  object.CreateNew(kQueue, Q::eQueueObjectStatus{'X'}, Q::eQueueObjectDirection{'X'},
                   Q::eQueueObjectParty{'X'}, Q::ePartyStation, "Caller", "c1", "555");
  EXPECT_EQ(object.QueryObjectEntityId(), kObject);
  EXPECT_THAT(SentFields(ServerEntity(), 14),
              ElementsAre("uint 0, int 70, int 10, int 5, wtext \"I\", int 18, wtext \"555\", "
                          "int 19, wtext \"\", int 20, wtext \"\", int 21, wtext \"S\", int 32, "
                          "wtext \"\", int 33, wtext \"c1\", int 34, wtext \"Caller\", int 35, "
                          "wtext \"I\", int 38, wtext \"C\", int 1, int 3, int 77, int 0"));
  EXPECT_THAT(Published(), ElementsAre("Created 70:600 ",
                                       "GenericObjectInNonSystemQueue 70:600 "
                                       "wstring \"WorkgroupQueue:#77\""));
  server_->Reject(ServerEntity(), 14);
  CGenericObject second(W4Notifier::eGenericObject2, 9u);
  second.CreateNew(kBob, Q::eStatusAlerting, Q::eDirectionOutbound, Q::ePartyExternal,
                   Q::ePartyInternal, "", "", "");
  EXPECT_EQ(second.QueryObjectEntityId(), CEntityId(W4Notifier::eGenericObject2, 9u));
  EXPECT_THAT(Published(), ElementsAre("Created 195:9 ", "#10 195:9 wstring \"UserQueue:bob\""));
}

TEST_F(QueueObjectsTest, GenericObjectValidActionFollowsStateAndAssignment) {
  const std::tuple<I, const char16_t*, const char16_t*, U, const char*, bool> cases[] = {
      {20, u"A", u"", eActionTransfer, "bob", false},
      {70, u"A", u"", eActionTransfer, "bob", true},
      {195, u"H", u"", eActionPark, "bob", true},
      {70, u"E", u"", eActionDisconnect, "bob", false},
      {70, u"C", u"", eActionPickup, "bob", false},
      {70, u"C", u"", eActionDisconnect, "bob", true},
      {70, u"C", u"Sales", eActionWorkgroupTransfer, "bob", true},
      {70, u"C", u"", eActionWorkgroupTransfer, "bob", false},
      {70, u"C", u"", eActionPickup, "carl", true},
      {70, u"O", u"Sales", eActionWorkgroupTransfer, "carl", false},
  };
  const CGenericObject object(600);
  for (const auto& [type, state, workgroup, action, user, valid] : cases) {
    Serve(type, {{Xan_State, state}, {Xan_UserName, u"ann|bob"}, {Xan_WorkgroupName, workgroup}});
    EXPECT_EQ(object.ValidAction(action, user), valid) << type << " " << action << " " << user;
    EXPECT_EQ(object.IsAlerting(), state[0] == u'A' || state[0] == u'O');
  }
  EXPECT_TRUE(traces_.Has(W4Trace::kLevelWarning, "Invalid object type '20'"));
}

}  // namespace
}  // namespace QueueManager::testing
