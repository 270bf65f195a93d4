#include "QueueManager/InteractionId.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "QueueManager/Platform/Trace.h"
#include "attributes/ObjectTypeLookup.h"
#include "platform/notifier/NotifierFixture.h"

namespace QueueManager {
namespace {

using ::testing::ElementsAre;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::CNotifierTimeout;
using W4Notifier::CScriptedReply;
using W4Notifier::ObjectTypes;

constexpr int kQueryObjectTypeEvent = 37;
constexpr ObjectTypes kCall = static_cast<ObjectTypes>(11);
constexpr ObjectTypes kChat = W4Notifier::eChatConferenceInteraction;

// ---- The value type --------------------------------------------------------------

TEST(InteractionId, IsSetUnlessNoneOrAllBits) {
  struct Case {
    std::uint32_t id;
    bool set;
  };
  for (const Case& c : {Case{0, false}, Case{0xFFFFFFFFu, false}, Case{1, true},
                        Case{0xFFFFFFFEu, true}, Case{0x80000000u, true}}) {
    EXPECT_EQ(InteractionId(c.id).IsSet(), c.set) << c.id;
    EXPECT_EQ(InteractionId(c.id).QueryObjectId(), c.id);
  }
  EXPECT_FALSE(InteractionId().IsSet());
  EXPECT_EQ(InteractionId().QueryObjectId(), 0u);
}

TEST(InteractionId, ComparesIdsAsUnsignedNumbers) {
  const InteractionId high(0x80000000u);
  const InteractionId one(1);
  EXPECT_GT(high, one);
  EXPECT_GE(high, one);
  EXPECT_LT(one, high);
  EXPECT_LE(one, one);
  EXPECT_LT(InteractionId(0), one);
  EXPECT_GT(InteractionId(0xFFFFFFFFu), InteractionId(0xFFFFFFFEu));
  EXPECT_EQ(InteractionId(7), InteractionId(7));
  EXPECT_NE(InteractionId(7), InteractionId(8));
  EXPECT_EQ(std::hash<InteractionId>()(InteractionId(7)), std::hash<InteractionId>()(7u));
}

TEST(InteractionId, KeepsOnlyTheEntitysObjectId) {
  const InteractionId fromCall(CEntityId(kCall, 4711u));
  const InteractionId fromRequest(CEntityId(W4Notifier::eInteractionRequest, 4711u));
  EXPECT_EQ(fromCall, fromRequest);
  EXPECT_EQ(fromCall.QueryObjectId(), 4711u);
  InteractionId assigned;
  assigned = fromCall;
  EXPECT_EQ(assigned, InteractionId(4711));
}

TEST(InteractionId, StreamsTheIdInDecimal) {
  std::ostringstream out;
  out << InteractionId(0xFFFFFFFFu) << ' ' << InteractionId(42);
  EXPECT_EQ(out.str(), "4294967295 42");
}

// ---- The object type lookup --------------------------------------------------------

class InteractionTypeTest : public W4Notifier::testing::NotifierFixture {
 protected:
  void SetUp() override {
    NotifierFixture::SetUp();
    W4Trace::AddSink(traces_);
    previousLevel_ = W4Trace::QueueManagerTopic().Level();
    W4Trace::QueueManagerTopic().SetLevel(W4Trace::kLevelDetail);
  }
  void TearDown() override {
    SetObjectTypeSource(ObjectTypeSource::kMonitorCache, nullptr);
    SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, nullptr);
    W4Trace::QueueManagerTopic().SetLevel(previousLevel_);
    W4Trace::RemoveSink(traces_);
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
  std::vector<std::string> TraceTexts() const {
    std::vector<std::string> texts;
    for (const W4Trace::CTraceRecord& record : traces_->Records()) {
      if (record.function == "QueueManager::InteractionId::QueryObjectType" &&
          record.level == W4Trace::kLevelDetail) {
        texts.push_back(record.text);
      }
    }
    return texts;
  }

  std::shared_ptr<W4Trace::CCaptureSink> traces_ =
      std::make_shared<W4Trace::CCaptureSink>("QueueManager");
  int previousLevel_ = 0;
};

TEST_F(InteractionTypeTest, AsksTheInteractionWithAnEmptyRequest) {
  AnswerType(4711, kChat);
  InteractionId id(4711);
  EXPECT_EQ(id.QueryObjectType(), kChat);
  const std::vector<CMessage> requests = TypeRequestsTo(4711);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].QueryObjectType(), W4Notifier::eInteractionRequest);
  EXPECT_EQ(requests[0].QueryObjectId(), 4711u);
  EXPECT_EQ(requests[0].DescribeFields(), "");
  EXPECT_EQ(server_->Requests().size(), 1u);
  EXPECT_THAT(TraceTexts(), ElementsAre("4711 querying object type from QueueManager server",
                                        "4711 object type from QM: 100"));
}

TEST_F(InteractionTypeTest, DoesNotKeepTheAnswer) {
  AnswerType(4711, kChat);
  InteractionId id(4711);
  EXPECT_EQ(id.QueryObjectType(), kChat);
  EXPECT_EQ(id.QueryObjectType(), kChat);
  EXPECT_EQ(TypeRequestsTo(4711).size(), 2u);
}

TEST_F(InteractionTypeTest, FailuresGiveNoType) {
  CNotifierTimeout::Set(50);
  const CEntityId rejecting(W4Notifier::eInteractionRequest, 1u);
  const CEntityId silent(W4Notifier::eInteractionRequest, 2u);
  const CEntityId malformed(W4Notifier::eInteractionRequest, 3u);
  server_->Reject(rejecting, kQueryObjectTypeEvent);
  server_->Silence(silent, kQueryObjectTypeEvent);
  CMessage text;
  text << "100";
  server_->Respond(malformed, kQueryObjectTypeEvent, text);
  AnswerType(4, kCall);
  server_->Respond(CEntityId(W4Notifier::eInteractionRequest, 5u), kQueryObjectTypeEvent);
  for (const std::uint32_t id : {1u, 2u, 3u, 5u}) {
    EXPECT_EQ(InteractionId(id).QueryObjectType(), W4Notifier::eObjectTypeNone) << id;
    EXPECT_EQ(TypeRequestsTo(id).size(), 1u) << id;
  }
  EXPECT_EQ(InteractionId(4).QueryObjectType(), kCall);  // the server itself still answers
}

TEST_F(InteractionTypeTest, NoConnectionGivesNoType) {
  AnswerType(4711, kCall);
  W4Notifier::SetDefaultConnection(nullptr);
  EXPECT_EQ(InteractionId(4711).QueryObjectType(), W4Notifier::eObjectTypeNone);
  EXPECT_FALSE(InteractionId(4711).QueryEntityId().IsSet());
  EXPECT_TRUE(server_->Requests().empty());
}

TEST_F(InteractionTypeTest, AnIdThatNamesNothingIsNeverLookedUp) {
  std::atomic<int> asked{0};
  SetObjectTypeSource(ObjectTypeSource::kMonitorCache, [&](std::uint32_t) {
    ++asked;
    return kCall;
  });
  server_->HandleType(W4Notifier::eInteractionRequest, kQueryObjectTypeEvent,
                      [](const CMessage&) { return CScriptedReply::Respond(); });
  EXPECT_EQ(InteractionId(0).QueryObjectType(), W4Notifier::eObjectTypeNone);
  EXPECT_EQ(InteractionId(0xFFFFFFFFu).QueryObjectType(), W4Notifier::eObjectTypeNone);
  EXPECT_EQ(asked.load(), 0);
  EXPECT_TRUE(server_->Requests().empty());
}

TEST_F(InteractionTypeTest, AsksTheCacheThenTheMonitorsThenTheServer) {
  std::vector<std::string> asked;
  ObjectTypes cacheAnswer = kCall;
  ObjectTypes monitorAnswer = kChat;
  SetObjectTypeSource(ObjectTypeSource::kMonitorCache, [&](std::uint32_t id) {
    asked.push_back("cache " + std::to_string(id));
    return cacheAnswer;
  });
  SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, [&](std::uint32_t id) {
    asked.push_back("monitors " + std::to_string(id));
    return monitorAnswer;
  });
  AnswerType(9, W4Notifier::eConferenceInteraction);
  InteractionId id(9);

  EXPECT_EQ(id.QueryObjectType(), kCall);
  EXPECT_THAT(asked, ElementsAre("cache 9"));
  EXPECT_THAT(TraceTexts(), ElementsAre("9 object type from cache: 11"));

  asked.clear();
  cacheAnswer = W4Notifier::eObjectTypeNone;
  EXPECT_EQ(id.QueryObjectType(), kChat);
  EXPECT_THAT(asked, ElementsAre("cache 9", "monitors 9"));

  asked.clear();
  monitorAnswer = W4Notifier::eObjectTypeNone;
  EXPECT_EQ(id.QueryObjectType(), W4Notifier::eConferenceInteraction);
  EXPECT_THAT(asked, ElementsAre("cache 9", "monitors 9"));
  EXPECT_EQ(TypeRequestsTo(9).size(), 1u);  // only the last query reached the server

  SetObjectTypeSource(ObjectTypeSource::kMonitorCache, nullptr);
  SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, nullptr);
  asked.clear();
  EXPECT_EQ(id.QueryObjectType(), W4Notifier::eConferenceInteraction);
  EXPECT_TRUE(asked.empty());
}

TEST_F(InteractionTypeTest, ASourceMayReplaceItselfWhileAsked) {
  SetObjectTypeSource(ObjectTypeSource::kMonitorCache, [](std::uint32_t) {
    SetObjectTypeSource(ObjectTypeSource::kMonitorCache, nullptr);  // must not deadlock
    return kChat;
  });
  EXPECT_EQ(InteractionId(3).QueryObjectType(), kChat);
  AnswerType(3, kCall);
  EXPECT_EQ(InteractionId(3).QueryObjectType(), kCall);
}

TEST_F(InteractionTypeTest, TheEntityCarriesTheTypeAndOptionOne) {
  AnswerType(77, kChat);
  const CEntityId entity = InteractionId(77).QueryEntityId();
  ASSERT_TRUE(entity.IsSet());
  EXPECT_EQ(entity.QueryObjectType(), kChat);
  EXPECT_EQ(entity.QueryObjectId(), 77u);
  EXPECT_EQ(entity.QueryOptions(), 1);
  EXPECT_FALSE(InteractionId(78).QueryEntityId().IsSet());  // the server rejects 78
}

}  // namespace
}  // namespace QueueManager
