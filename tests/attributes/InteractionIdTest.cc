#include "QueueManager/InteractionId.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "attributes/ObjectTypeLookup.h"
#include "platform/notifier/NotifierFixture.h"

namespace QueueManager {
namespace {

using ::testing::ElementsAre;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;
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

}  // namespace
}  // namespace QueueManager
