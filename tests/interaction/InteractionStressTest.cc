// Interaction and conference monitors activated, deactivated and destroyed
// on application threads while notifications for them are delivered.

#include <gmock/gmock.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "QueueManager/Platform/Text.h"
#include "interaction/InteractionTestSupport.h"
#include "platform/notifier/NullConnection.h"

namespace QueueManager::testing {
namespace {

constexpr int kRounds = 500;
constexpr int kChurns = 150;
constexpr std::uint32_t kIds[] = {1, 2, 3, 4, 51, 100, 101, 102, 103};  // 51: a party

Record Conference(std::uint32_t conference, std::uint32_t party) {
  CQmAttributeMap attributes;
  attributes.insert(Xan_ConferenceMembers, CQmAttributeValue(std::vector<InteractionId>{party}));
  return {conference, attributes, false, false, W4Notifier::eConferenceInteraction};
}

// A callback for an interaction after its Deactivate returned is a fault.
void Churn(std::uint32_t id, bool synchronous, std::atomic<int>& faults) {
  auto monitor = std::make_unique<RecordingInteractionMonitor>();
  auto deactivated = std::make_shared<std::atomic<bool>>(false);
  monitor->hook = [deactivated, &faults](const std::string&) { faults += deactivated->load(); };
  monitor->Activate(id, {Xan_State}, synchronous);
  if (synchronous) {
    monitor->Deactivate(id);
    deactivated->store(true);
  }
  RecordingConferenceMonitor conference;
  conference.Activate(60, {Xan_State}, !synchronous);
}

TEST_F(InteractionMonitorTest, MonitorsComeAndGoWhileNotificationsArrive) {
  for (const std::uint32_t id : kIds) Answer({id, Attributes({{Xan_State, u"C"}})});
  Answer(Conference(50, 51));
  Answer(Conference(60, 101));
  RecordingInteractionMonitor steady[2];
  for (RecordingInteractionMonitor& monitor : steady) {
    for (const std::uint32_t id : {1, 2, 3, 4}) monitor.Activate(id, {Xan_State}, true);
  }
  RecordingConferenceMonitor conference;
  conference.Activate(50, {Xan_State}, true);
  server_->WaitIdle();  // the party's answer is in
  std::atomic<int> faults{0};
  std::thread publisher([this] {
    for (int round = 0; round < kRounds; ++round) {
      for (const std::uint32_t id : kIds) {
        server_->Publish(InteractionEntity(id), kAttributeNotificationEvent,
                         Records({{id, Attributes({{Xan_State, u"H"}})}}));
      }
    }
  });
  std::thread churners[2];
  for (int t = 0; t < 2; ++t) {
    churners[t] = std::thread([t, &faults] {
      for (int i = 0; i < kChurns; ++i) Churn(100 + (i + t) % 4, i % 2 == 0, faults);
    });
  }
  publisher.join();
  for (std::thread& churner : churners) churner.join();
  server_->WaitIdle();
  EXPECT_EQ(faults.load(), 0);
  for (const auto& monitor : steady) EXPECT_EQ(monitor.Log().size(), 4u * (kRounds + 1));
  EXPECT_EQ(conference.Log().size(), 1u + kRounds);  // added, then every update
}

// Renegotiations while an interaction's value keeps changing, with many
// delivery threads: the monitor never goes back to an older value, whether
// it comes with a notification or with the answer that a renegotiation
// brings.
TEST_F(InteractionMonitorTest, RenegotiationsNeverBringBackAnOlderValue) {
  const auto connection = server_->Bus()->Connect(W4Notifier::CInProcessOptions{7});
  W4Notifier::SetDefaultConnection(connection);
  std::atomic<int> latest{0};
  auto value = [](int n) { return fmt::format("v{:05}", n); };
  auto record = [&](int n) {
    const std::u16string text = W4Os::NarrowToWideLossy(value(n));
    return Record{101, Attributes({{Xan_State, text.c_str()}})};
  };
  Answer(record(0));
  // A reload of the cache, should it ask, carries the latest value too.
  server_->Handle(ServerEntity(), kCacheReloadEvent, [&](const CMessage&) {
    CMessage reload;
    WriteServerTime(reload, 0);
    reload << std::int32_t{W4Notifier::eInteractionRequest} << std::int32_t{101};
    WriteRecord(reload, record(latest.load()));
    return CScriptedReply::Respond(reload);
  });
  // The server changes the value, and publishes it, in order with its
  // answers: on its own thread.
  const CEntityId kChanger(W4Notifier::eQueueManagerServer, 77, 0);
  constexpr int kChangeEvent = 99;
  server_->Handle(kChanger, kChangeEvent, [&](const CMessage& request) {
    std::int32_t n = 0;
    request >> n;
    latest = n;
    Answer(record(n));
    server_->Publish(InteractionEntity(101), kAttributeNotificationEvent, Records({record(n)}));
    return CScriptedReply::Respond();
  });
  {
    RecordingInteractionMonitor monitor;
    monitor.Activate(101, {Xan_State}, true);
    for (int n = 1; n <= 300; ++n) {
      W4Notifier::CRequestObject change(kChanger, kChangeEvent);
      change << std::int32_t{n};
      change.Send();
      connection->Renegotiate();
    }
    server_->WaitIdle();
    std::string last;
    for (const std::string& entry : monitor.Log()) {
      EXPECT_LE(last, entry) << "went back";
      last = entry;
    }
    EXPECT_GT(server_->Requests().size(), 300u) << "the monitor asked again";
    EXPECT_EQ(last, fmt::format("Updated 101 {{Xan_State={}}}", value(300)));
  }
  W4Notifier::SetDefaultConnection(connection_);
}

// An interaction monitor activated while another thread still stops the same
// subscription.

// Plays the default connection, holding a thread inside its stop of one
// entity's subscription (after the stop took effect) until released. What
// the monitor does not use goes nowhere.
class HeldStopConnection : public W4Notifier::NullConnection {
 public:
  HeldStopConnection(std::shared_ptr<W4Notifier::CNotifierConnection> real, const CEntityId& entity)
      : real_(std::move(real)), entity_(entity) {}
  std::atomic<bool> holding{false}, released{false};

  std::uint16_t QueryHandle() const override { return real_->QueryHandle(); }
  bool IsConnected() const override { return real_->IsConnected(); }
  W4Notifier::eSendStatus SendRequest(const CMessage& request, CMessage* response,
                                      std::uint32_t timeoutMs) override {
    return real_->SendRequest(request, response, timeoutMs);
  }
  W4Notifier::eMsgCode SendAsyncRequest(const CMessage& request,
                                        W4Notifier::IAsyncResponseCallback* callback,
                                        std::uint32_t flags, std::uint32_t timeoutMs,
                                        std::uint32_t* handleOut,
                                        const W4Notifier::CKeepAlive& keepAlive) override {
    return real_->SendAsyncRequest(request, callback, flags, timeoutMs, handleOut, keepAlive);
  }
  W4Notifier::eMsgCode CancelAsyncRequest(std::uint32_t requestId) override {
    return real_->CancelAsyncRequest(requestId);
  }
  W4Notifier::eMsgCode StartNotifications(const CEntityId& entity, int eventCode,
                                          W4Notifier::IMessageCallback* callback,
                                          std::uint32_t flags, std::uint32_t* handleOut,
                                          const W4Notifier::CKeepAlive& keepAlive,
                                          std::u16string_view name) override {
    return real_->StartNotifications(entity, eventCode, callback, flags, handleOut, keepAlive,
                                     name);
  }
  W4Notifier::eMsgCode StopNotifications(const CEntityId& entity, int eventCode,
                                         W4Notifier::IMessageCallback* callback,
                                         std::uint32_t flags) override {
    const W4Notifier::eMsgCode code = real_->StopNotifications(entity, eventCode, callback, flags);
    if (entity == entity_ && !holding.exchange(true)) {
      holding.notify_all();
      released.wait(false);
    }
    return code;
  }
  W4Notifier::eMsgCode StopAllMessages(W4Notifier::IMessageCallback* callback) override {
    return real_->StopAllMessages(callback);
  }

 private:
  const std::shared_ptr<W4Notifier::CNotifierConnection> real_;
  const CEntityId entity_;
};

// Activate(1) while another thread's Deactivate(1) is inside its
// subscription stop: the activation's answer comes only once the
// subscription is back, so a change published after it is not missed.
TEST_F(InteractionMonitorTest, AnActivationRacingADeactivationMissesNoChange) {
  const auto held = std::make_shared<HeldStopConnection>(connection_, InteractionEntity(1));
  W4Notifier::SetDefaultConnection(held);
  Answer({1, Attributes({{Xan_State, u"C"}})});
  {
    RecordingInteractionMonitor monitor;
    monitor.Activate(1, {Xan_State}, true);
    std::thread deactivator([&] { monitor.Deactivate(1); });
    held->holding.wait(false);
    monitor.Activate(1, {Xan_State}, false);
    server_->WaitIdle();
    // The server's value changes and is published.
    Answer({1, Attributes({{Xan_State, u"N"}})});
    server_->Publish(InteractionEntity(1), kAttributeNotificationEvent,
                     Records({{1, Attributes({{Xan_State, u"N"}})}}));
    server_->WaitIdle();
    held->released = true;
    held->released.notify_all();
    deactivator.join();
    server_->WaitIdle();
    EXPECT_EQ(monitor.QueryAttribute(1, Xan_State).QueryString(), u"N");
    EXPECT_EQ(monitor.Log().back(), "Updated 1 {Xan_State=N}");
  }
  W4Notifier::SetDefaultConnection(connection_);
}

}  // namespace
}  // namespace QueueManager::testing
