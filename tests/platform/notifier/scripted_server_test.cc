#include <gmock/gmock.h>

#include "NotifierFixture.h"

namespace W4Notifier {
namespace {

using ::testing::ElementsAre;
using testing::Ints;
using testing::NotifierFixture;

class ScriptedServerTest : public NotifierFixture {};

std::vector<std::string> Describe(const std::vector<CTrafficRecord>& traffic) {
  std::vector<std::string> out;
  for (const CTrafficRecord& record : traffic) out.push_back(record.Describe());
  return out;
}

TEST_F(ScriptedServerTest, RecordsTheExactTrafficInOrder) {
  const CEntityId interaction(eInteractionRequest, 1001u);
  server_->Respond(interaction, 7, [] {
    CMessage body;
    body << true;
    return body;
  }());
  CRequestObject request(interaction, 7);
  request << std::int32_t{0} << std::u16string(u"Xan_State") << std::uint32_t{1};
  CResponseObject response;
  ASSERT_NE(request.Send(response, 1000), 0);
  CRequestObject oneWay(interaction, 18);
  oneWay << false;
  EXPECT_EQ(oneWay.Send(), eMsgSuccess);
  server_->Publish(CEntityId(eWorkgroupQueue, 5u), 0, Ints({9}));
  server_->WaitIdle();
  EXPECT_THAT(Describe(server_->Traffic()),
              ElementsAre("request (30, 1001) event 7: int 0, wstring \"Xan_State\", uint 1",
                          "response (30, 1001) event 7: bool true",
                          "one-way request (30, 1001) event 18: bool false",
                          "notification (3, 5) event 0: int 9"));
  server_->ClearTraffic();
  EXPECT_TRUE(server_->Traffic().empty());
}

TEST_F(ScriptedServerTest, TheLatestMatchingRuleWinsAndTypesMatchEveryId) {
  server_->HandleType(eInteractionRequest, 37, [](const CMessage& request) {
    CMessage body;
    body << static_cast<ObjectTypes>(request.QueryObjectId() % 100);
    return CScriptedReply::Respond(body);
  });
  server_->Reject(CEntityId(eInteractionRequest, 5u), 37);
  CResponseObject response;
  CRequestObject forId(CEntityId(eInteractionRequest, 123u), 37);
  ASSERT_NE(forId.Send(response, 1000), 0);
  ObjectTypes type;
  response >> type;
  EXPECT_EQ(type, 23);
  CRequestObject rejected(CEntityId(eInteractionRequest, 5u), 37);
  EXPECT_EQ(rejected.Send(response, 1000), 0);
  EXPECT_EQ(response.QueryStatus(), eSendStatus::kRejected);
  server_->ClearRules();
  EXPECT_EQ(forId.Send(response, 1000), 0);  // unscripted requests are rejected
  EXPECT_EQ(response.QueryStatus(), eSendStatus::kRejected);
}

}  // namespace
}  // namespace W4Notifier
