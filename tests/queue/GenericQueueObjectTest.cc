// The generic queue object against the scripted server: what each action
// moves and sets, what it publishes, and which actions it allows.

#include "QueueManager/GenericQueueObject.h"

#include <gmock/gmock.h>

#include <functional>
#include <map>

#include "QueueManager/Platform/Text.h"
#include "requests/RequestFields.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using XANQueueObject::CGenericObject;
using I = std::int32_t;
using Entities = std::vector<CEntityId>;
namespace Q = AQueueObject;

const CEntityId kRequests = InteractionEntity(600);
const CEntityId kBob(W4Notifier::eUserQueue, u"bob");
const CEntityId kStation(W4Notifier::eStationQueue, 12u);
const CEntityId kWorkgroup(W4Notifier::eWorkgroupQueue, 77u);

// The move of object 600 that an action is expected to send.
std::string Moved(const Entities& removeFrom, const char16_t* state, const Entities& addTo) {
  CQmAttributeMap attributes;
  if (state != nullptr) attributes.insert(Xan_State, CQmAttributeValue(state));
  return requests::MoveAndSetRequest(600u, removeFrom, attributes, addTo).DescribeFields();
}

class GenericQueueObjectTest : public RequestTest {
 protected:
  // The notifications published since the last call: "name entity fields",
  // the event number standing for a nameless one.
  std::vector<std::string> Published() {
    server_->WaitIdle();
    std::vector<std::string> published;
    for (const W4Notifier::CTrafficRecord& record : server_->Traffic()) {
      if (record.kind != W4Notifier::IBusObserver::eTraffic::kNotification) continue;
      const CMessage& m = record.message;
      const std::string name = m.QueryEventName().empty()
                                   ? fmt::format("#{}", m.QueryEventId())
                                   : W4Os::WideToNarrowLossy(m.QueryEventName());
      std::ostringstream entity;
      entity << m.QueryEntityId();
      published.push_back(fmt::format("{} {} {}", name, entity.str(), m.DescribeFields()));
    }
    server_->ClearTraffic();
    return published;
  }
  // Object 600's attributes as the server holds them, and its object type.
  void Serve(I type, std::map<eAttributeName, std::u16string> attributes) {
    server_->Respond(kRequests, 37, Body(type));
    server_->Handle(kRequests, 0, [attributes](const CMessage& request) {
      I count = 0;
      CQmAttributeName name;
      request >> count;
      name.Read(request);
      for (const auto& [key, value] : attributes) {
        if (name == CQmAttributeName(key)) return CScriptedReply::Respond(ValueList({value}));
      }
      return CScriptedReply::Reject();
    });
  }
};

TEST_F(GenericQueueObjectTest, ActionsMoveSetAndPublish) {
  server_->Respond(kRequests, 7, Body(true));
  CGenericObject object(W4Notifier::eGenericObject, 600u);
  const std::string inUserQueue =
      "GenericObjectInNonSystemQueue GenericObject:#600 wstring \"UserQueue:bob\"";
  const std::tuple<std::function<void()>, std::vector<std::string>, std::vector<std::string>>
      actions[] = {
          {[&] { object.Connect("bob"); },
           {Moved({}, u"C", {kBob})},
           {"Connected GenericObject:#600 "}},
          {[&] { object.Hold("bob"); }, {Moved({}, u"H", {kBob})}, {"Held GenericObject:#600 "}},
          {[&] { object.Park(kStation); },
           {Moved({}, u"P", {kStation})},
           {"Parked GenericObject:#600 "}},
          {[&] { object.Park(kWorkgroup); }, {}, {}},
          {[&] { object.Transfer("ann", kBob, kWorkgroup, false); },
           {Moved({kWorkgroup}, u"S", {kBob})},
           {"Transfered GenericObject:#600 "}},
          {[&] { object.Transfer(kBob, kWorkgroup); },
           {Moved({kWorkgroup}, u"O", {kBob})},
           {"Transfered GenericObject:#600 ", inUserQueue}},
          {[&] { object.Transfer(kWorkgroup, kBob); }, {}, {}},
          {[&] { object.SetCurrentQueue(kWorkgroup); }, {Moved({}, nullptr, {kWorkgroup})}, {}},
          {[&] { object.Disconnect(XANQueueObject::eDisconnectToInitializing); },
           {Moved({}, u"I", {})},
           {"Disconnected GenericObject:#600 "}},
          {[&] { object.Disconnect(XANQueueObject::DisconnectionType{7}); },
           {Moved({}, u"E", {})},
           {"Disconnected GenericObject:#600 "}},
      };
  for (const auto& [action, moves, published] : actions) {
    action();
    EXPECT_EQ(SentFields(kRequests, 7), moves);
    EXPECT_EQ(Published(), published);
  }
}

// The server's entity replaces the object's; "Created" is published even
// when the server refuses. Unknown codes map to 'C', 'I' and 'I'.
TEST_F(GenericQueueObjectTest, CreationTakesTheServersEntity) {
  server_->Respond(ServerEntity(), 14, Body(true, I{70}, I{600}));
  CGenericObject object;
  object.CreateNew(kWorkgroup, Q::eQueueObjectStatus{'X'}, Q::eQueueObjectDirection{'X'},
                   Q::eQueueObjectParty{'X'}, Q::ePartyStation, "Caller", "c1", "555");
  EXPECT_EQ(object.QueryObjectEntityId(), CEntityId(W4Notifier::eGenericObject, 600u));
  EXPECT_THAT(SentFields(ServerEntity(), 14),
              ElementsAre("uint 0, int 70, int 10, int 5, wtext \"I\", int 18, wtext \"555\", "
                          "int 19, wtext \"\", int 20, wtext \"\", int 21, wtext \"S\", int 32, "
                          "wtext \"\", int 33, wtext \"c1\", int 34, wtext \"Caller\", int 35, "
                          "wtext \"I\", int 38, wtext \"C\", int 1, int 3, int 77, int 0"));
  EXPECT_THAT(Published(), ElementsAre("Created GenericObject:#600 ",
                                       "GenericObjectInNonSystemQueue GenericObject:#600 wstring "
                                       "\"WorkgroupQueue:#77\""));

  server_->Reject(ServerEntity(), 14);
  CGenericObject second(W4Notifier::eGenericObject2, 9u);
  second.CreateNew(kBob, Q::eStatusAlerting, Q::eDirectionOutbound, Q::ePartyExternal,
                   Q::ePartyInternal, "", "", "");
  EXPECT_EQ(second.QueryObjectEntityId(), CEntityId(W4Notifier::eGenericObject2, 9u));
  EXPECT_THAT(Published(), ElementsAre("Created GenericObject2:#9 ",
                                       "#10 GenericObject2:#9 wstring \"UserQueue:bob\""));
}

TEST_F(GenericQueueObjectTest, ValidActionFollowsStateAndAssignment) {
  using namespace XANQueueObject;  // NOLINT: the action names
  struct Case {
    I type;
    const char16_t* state;
    const char16_t* workgroup;
    std::uint32_t action;
    const char* user;
    bool valid;
  };
  const Case cases[] = {
      {20, u"A", u"", eActionTransfer, "bob", false},
      {70, u"A", u"", eActionTransfer, "bob", true},
      {70, u"A", u"Sales", eActionWorkgroupTransfer, "bob", false},
      {70, u"H", u"", eActionPark, "bob", true},
      {195, u"O", u"", eActionPark, "bob", true},
      {70, u"S", u"", eActionPickup, "bob", true},
      {70, u"E", u"", eActionDisconnect, "bob", false},
      {70, u"C", u"", eActionPickup, "bob", false},
      {70, u"C", u"", eActionDisconnect, "bob", true},
      {70, u"C", u"Sales", eActionWorkgroupTransfer, "bob", true},
      {70, u"C", u"", eActionWorkgroupTransfer, "bob", false},
      {70, u"C", u"", eActionPickup, "carl", true},
      {70, u"C", u"Sales", eActionWorkgroupTransfer, "carl", false},
  };
  const CGenericObject object(600);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(
        std::make_tuple(c.type, W4Os::WideToNarrowLossy(c.state), c.action, c.user)));
    Serve(c.type,
          {{Xan_State, c.state}, {Xan_UserName, u"ann|bob"}, {Xan_WorkgroupName, c.workgroup}});
    EXPECT_EQ(object.ValidAction(c.action, c.user), c.valid);
    EXPECT_EQ(object.IsAlerting(),
              c.state == std::u16string(u"A") || c.state == std::u16string(u"O"));
  }
  EXPECT_TRUE(traces_.Has(W4Trace::kLevelWarning, "Invalid object type '20'"));
}

}  // namespace
}  // namespace QueueManager::testing
