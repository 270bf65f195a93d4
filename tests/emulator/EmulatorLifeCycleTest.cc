// The end of an interaction's life against the server emulator: the
// deactivation reports that clients ask for, and the notifications they hand
// on to an interaction.

#include "QueueManager/InteractionLifeCycle.h"
#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

using ::testing::IsEmpty;

const CEntityId kServer(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects);
constexpr int kDeactivationReport = 5;

// The deactivation reports as "<id> <attributes>", decoded as an application
// decodes them.
struct ReportCollector : W4Notifier::IMessageCallback, testing::WaitableLog {
  void OnMessageReceived(W4Notifier::CMessage& message) override {
    const CDeactivationData report(message);
    std::string line = std::to_string(report.QueryEntityId().QueryObjectId());
    line += report.IsComplete() ? "" : " incomplete";
    for (const auto& [name, value] : report.QueryAttributes()) {
      line += " " + W4Os::WideToNarrowLossy(name.DisplayName() + u"=" + value.QueryString());
    }
    Add(std::move(line));
  }
};

class LifeCycleTest : public EmulatorTest {
 protected:
  void SetUp() override {
    EmulatorTest::SetUp();
    if (IsSkipped()) return;
    connection_->StartNotifications(kServer, kDeactivationReport, &reports_, 0);
  }
  void TearDown() override {
    connection_->StopAllMessages(&reports_);
    EmulatorTest::TearDown();
  }
  ReportCollector reports_;
};

TEST_F(LifeCycleTest, DeactivationIsReportedWithTheNamesAskedForOnlyOnceAsked) {
  const std::uint32_t unreported = Add({{u"Xan_State", u"C"}});
  emulator_->RemoveInteraction(unreported);
  Sync();
  EXPECT_THAT(reports_.Take(0), IsEmpty());

  RequestDeactivationAttributes({kState, kCustom});
  const std::uint32_t removed = Add({{u"Xan_State", u"C"}, {u"Other", u"o"}});
  const std::uint32_t chat = emulator_->AddInteraction(kChat, MapOf({{u"Custom", u"x"}}), {});
  emulator_->AddInteraction(kCall, {}, {});
  Sync();
  emulator_->RemoveInteraction(removed);
  DeallocateAllInstances(kChat);
  Sync();
  EXPECT_EQ(reports_.Take(0), (std::vector<std::string>{std::to_string(removed) + " Xan_State=C",
                                                       std::to_string(chat) + " Custom=x"}));
}

TEST_F(LifeCycleTest, AForwardedNotificationIsKeptWithItsInteraction) {
  const std::uint32_t id = Add({{u"Xan_State", u"C"}});
  W4Notifier::CMessage notification(CEntityId(kCall, id), 3);
  notification << std::int32_t{42} << std::u16string(u"payload");
  ForwardNotification(notification);
  ForwardNotification(W4Notifier::CMessage(CEntityId(kCall, id + 1), 3));  // unknown: dropped
  Sync();
  const std::vector<W4Notifier::CMessage> kept = emulator_->Interaction(id)->forwarded;
  ASSERT_EQ(kept.size(), 1U);
  EXPECT_EQ(kept[0].QueryEventId(), 3);
  EXPECT_EQ(kept[0].Serialize(), notification.Serialize());
  EXPECT_EQ(emulator_->MalformedRequests(), 0U);
}

TEST_F(LifeCycleTest, OnlyTheLatestForwardedNotificationsAreKept) {
  const std::uint32_t id = Add({});
  const std::size_t sent = InteractionState::kForwardedKept + 3;
  for (std::size_t i = 0; i < sent; ++i) {
    W4Notifier::CMessage notification(CEntityId(kCall, id), static_cast<int>(i));
    ForwardNotification(notification);
  }
  Sync();
  const std::vector<W4Notifier::CMessage> kept = emulator_->Interaction(id)->forwarded;
  ASSERT_EQ(kept.size(), InteractionState::kForwardedKept);
  EXPECT_EQ(kept.front().QueryEventId(), 3);
  EXPECT_EQ(kept.back().QueryEventId(), static_cast<int>(sent - 1));
}

// The forms of the lightweight monitors' writes and of forwarded
// notifications that the server refuses: each is rejected whole.
TEST_F(LifeCycleTest, MalformedWritesAndForwardsAreRejectedWhole) {
  const std::uint32_t id = Add({{u"Custom", u"1"}});
  const CEntityId calls(W4Notifier::eObjectTypeEntity, W4STD::w4idstring(u"6"));
  const auto write = [&](const CQmAttributeMap& map, auto&& tail) {
    W4Notifier::CRequestObject request(CEntityId(W4Notifier::eInteractionRequest, id), 7);
    request << std::int32_t{30} << static_cast<std::int32_t>(id) << std::int32_t{0};
    map.Write(request);
    request << std::int32_t{0};
    tail(request);
    return request;
  };
  const CQmAttributeMap set = MapOf({{u"Custom", u"2"}});
  const auto view = [](W4Notifier::CMessage& m, const CEntityId& entity) {
    m << static_cast<std::int32_t>(entity.QueryObjectType())
      << static_cast<std::int32_t>(entity.QueryObjectId());
  };
  struct Case {
    const char* reason;
    W4Notifier::CRequestObject request;
  };
  std::vector<Case> cases;
  cases.push_back({"without attributes", write({}, [&](auto& m) {
                     m << 0x10001ULL;
                     view(m, calls);
                   })});
  cases.push_back({"sequence number 0", write(set, [&](auto& m) {
                     m << 0ULL;
                     view(m, calls);
                   })});
  cases.push_back({"no media type entity", write(set, [&](auto& m) {
                     m << 0x10001ULL;
                     view(m, kSales);
                   })});
  cases.push_back({"malformed request 7", write(set, [&](auto& m) { m << 0x10001ULL; })});
  W4Notifier::CRequestObject otherObject(CEntityId(W4Notifier::eInteractionRequest, id), 18);
  otherObject << W4Notifier::CMessage(CEntityId(kCall, id + 1), 3);
  cases.push_back({"concerns another object", otherObject});
  W4Notifier::CRequestObject notNested(CEntityId(W4Notifier::eInteractionRequest, id), 18);
  notNested << std::int32_t{3};
  cases.push_back({"malformed request 18", notNested});

  std::uint64_t rejected = 0;
  for (Case& c : cases) {
    W4Notifier::CResponseObject response;
    EXPECT_EQ(c.request.Send(response, 1000), 0) << c.reason;
    EXPECT_EQ(emulator_->MalformedRequests(), ++rejected) << c.reason;
    EXPECT_THAT(emulator_->LastRejection(), ::testing::HasSubstr(c.reason));
  }
  EXPECT_EQ(Value(id, kCustom), u"1");
  EXPECT_THAT(emulator_->Interaction(id)->forwarded, IsEmpty());
}

}  // namespace
}  // namespace QueueManager::Emulator
