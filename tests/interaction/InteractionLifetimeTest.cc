// An interaction monitor activated while another thread still stops the same
// subscription.

#include <gmock/gmock.h>

#include <atomic>
#include <memory>
#include <thread>

#include "interaction/InteractionTestSupport.h"
#include "platform/notifier/NullConnection.h"

namespace QueueManager::testing {
namespace {

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
