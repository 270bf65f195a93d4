// Attribute requests for interactions on a queue that a monitor of this
// process watches: the monitor cache answers what it holds without a request.

#include <gmock/gmock.h>

#include "QueueManager/AttributeRequests.h"
#include "requests/WatchedQueue.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAre;

constexpr std::uint32_t kFirst = 5001;
constexpr std::uint32_t kSecond = 5002;

CQmAttributeMap Attributes(
    std::initializer_list<std::pair<CQmAttributeName, const char16_t*>> list) {
  CQmAttributeMap map;
  for (const auto& [name, value] : list) map.insert(name, CQmAttributeValue(value));
  return map;
}

class CachedAttributeRequestsTest : public RequestTest {
 protected:
  void SetUp() override {
    RequestTest::SetUp();
    watched_ = std::make_unique<WatchedQueue>(
        *server_, CEntityId(W4Notifier::eWorkgroupQueue, 1001u),
        std::vector<CQmAttributeName>{Xan_State, note_}, CQmQueueStats(), CQmQueueStats2(),
        std::vector<CachedInteraction>{
            {W4Notifier::eConferenceInteraction, kFirst,
             Attributes({{Xan_State, u"C"}, {note_, u"first"}})},
            {W4Notifier::eConferenceInteraction, kSecond, Attributes({{Xan_State, u"A"}})}});
  }
  void TearDown() override {
    watched_.reset();
    RequestTest::TearDown();
  }

  const CQmAttributeName note_{u"Note"};
  std::unique_ptr<WatchedQueue> watched_;
};

TEST_F(CachedAttributeRequestsTest, CachedAttributesNeedNoRequest) {
  CQmAttributeValue value;
  EXPECT_TRUE(QueryAttribute(kFirst, Xan_State, value));
  EXPECT_EQ(value.QueryString(), u"C");
  EXPECT_EQ(QueryAttribute(kFirst, note_).QueryString(), u"first");
  EXPECT_TRUE(QueryMonitoredAttribute(kSecond, Xan_State, value));
  EXPECT_EQ(value.QueryString(), u"A");
  std::vector<CQmAttributeValue> values(4, CQmAttributeValue(u"stale"));
  EXPECT_TRUE(QueryAttributes(kFirst, {note_, Xan_State}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"first", u"C"));
  EXPECT_EQ(RequestCount(), 0u);
}

// The cache knows every monitored attribute of a cached interaction: one
// that the server did not send is empty, not unknown.
TEST_F(CachedAttributeRequestsTest, AMonitoredAttributeThatIsNotSetIsEmpty) {
  CQmAttributeValue value(u"stale");
  EXPECT_TRUE(QueryAttribute(kSecond, note_, value));
  EXPECT_TRUE(value.empty());
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(CachedAttributeRequestsTest, OneUncachedNameSendsOneRequestForAll) {
  server_->Respond(InteractionEntity(kFirst), 0, ValueList({u"server", u"42"}));
  std::vector<CQmAttributeValue> values;
  EXPECT_FALSE(QueryMonitoredAttributes(kFirst, {Xan_State, CQmAttributeName(Xan_CallId)}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"C", u""));
  EXPECT_TRUE(QueryAttributes(kFirst, {Xan_State, CQmAttributeName(Xan_CallId)}, values));
  EXPECT_THAT(Texts(values), ElementsAre(u"server", u"42"));
  EXPECT_THAT(SentFields(InteractionEntity(kFirst), 0), ElementsAre("int 2, int 38, int 6"));
}

TEST_F(CachedAttributeRequestsTest, MoveAndSetWritesThroughWhateverTheServerSays) {
  UseShortTimeout();
  server_->Reject(InteractionEntity(kFirst), 7);
  CQmAttributeMap attributes = Attributes({{Xan_State, u"H"}});
  EXPECT_FALSE(MoveAndSet(kFirst, {}, attributes, {}, false));
  EXPECT_EQ(QueryAttribute(kFirst, Xan_State).QueryString(), u"H");
  server_->Silence(InteractionEntity(kSecond), 7);
  SetAttribute(kSecond, note_, "second");
  EXPECT_EQ(QueryAttribute(kSecond, note_).QueryString(), u"second");
  RemoveConnection();
  attributes = Attributes({{Xan_State, u"E"}});
  EXPECT_FALSE(MoveAndSet(kFirst, {}, attributes, {}, true));
  EXPECT_EQ(QueryAttribute(kFirst, Xan_State).QueryString(), u"E");
  EXPECT_EQ(server_->RequestsTo(InteractionEntity(kFirst), 0).size(), 0u);
}

TEST_F(CachedAttributeRequestsTest, AttributesLeaveWithTheQueue) {
  watched_->Deactivate();
  server_->Respond(InteractionEntity(kFirst), 0, ValueList({u"server"}));
  EXPECT_EQ(QueryAttribute(kFirst, Xan_State).QueryString(), u"server");
  EXPECT_EQ(RequestCount(), 1u);
}

}  // namespace
}  // namespace QueueManager::testing
