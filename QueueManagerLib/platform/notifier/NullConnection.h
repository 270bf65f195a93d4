#pragma once

// A notifier connection that goes nowhere, for benchmarks and fuzz targets
// (header only; not part of the library's build).

#include <cstdint>
#include <memory>
#include <string_view>

#include "QueueManager/Platform/Notifier.h"

namespace W4Notifier {

// A connection that takes every request and delivers nothing, so that a
// write costs what the monitor and the notifier's front end cost, not a
// transport.
class NullConnection : public CNotifierConnection {
 public:
  std::uint16_t QueryHandle() const override { return 1; }
  bool IsConnected() const override { return true; }
  eSendStatus SendRequest(const CMessage&, CMessage*, std::uint32_t) override {
    return eSendStatus::kSuccess;
  }
  eMsgCode SendAsyncRequest(const CMessage&, IAsyncResponseCallback*, std::uint32_t, std::uint32_t,
                            std::uint32_t*, const CKeepAlive&) override {
    return eMsgSuccess;
  }
  eMsgCode CancelAsyncRequest(std::uint32_t) override { return eMsgSuccess; }
  eMsgCode Publish(const CMessage&) override { return eMsgSuccess; }
  eMsgCode StartNotifications(const CEntityId&, int, IMessageCallback*, std::uint32_t,
                              std::uint32_t*, const CKeepAlive&, std::u16string_view) override {
    return eMsgSuccess;
  }
  eMsgCode StopNotifications(const CEntityId&, int, IMessageCallback*, std::uint32_t) override {
    return eMsgSuccess;
  }
  eMsgCode StopAllMessages(IMessageCallback*) override { return eMsgSuccess; }
  eMsgCode AttachInbox(const std::shared_ptr<CMessageInbox>&, const CEntityId&, int) override {
    return eMsgSuccess;
  }
  void DetachInbox(const CMessageInbox*) override {}
};

}  // namespace W4Notifier
