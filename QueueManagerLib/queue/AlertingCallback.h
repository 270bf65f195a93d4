#pragma once

// The pieces of asynchronous alerting that tests reach directly
// (library-internal): the wait of an alerting request and the callback
// object of one asynchronous request.

#include <cstdint>

#include "QueueManager/Alerting.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/RefCount.h"

namespace QueueManager {

// How long an alerting request with `timeoutSeconds` waits for its outcome,
// in milliseconds: the time-out plus three minutes, computed without 32-bit
// wrap-around and capped at the longest wait the notifier takes.
std::uint32_t AlertingWaitMilliseconds(std::uint32_t timeoutSeconds);

// The callback object of one asynchronous alerting request. Thread-safe: the
// notifier calls it at most once (one outcome per request) on a delivery
// thread, while other threads may only add and drop references. It owns one
// reference to the application's response object, which it keeps until it
// is destroyed.
class AsyncPerformAlertingCallback final : public W4Notifier::IAsyncResponseCallback,
                                           public W4Util::RefCountBase {
 public:
  // REQUIRES: `response` is not null.
  explicit AsyncPerformAlertingCallback(W4Util::ObjectPtr<AsyncPerformAlertingResponse> response);

  // The server's code (a rejection carries one too); 11 when it cannot be
  // read, and for a rejection without a reason of its own (0, or a code
  // outside the enumeration).
  void OnAsyncResponseSuccess(std::uint32_t requestId, W4Notifier::CMessage& response) override;
  void OnAsyncResponseRejected(std::uint32_t requestId, W4Notifier::CMessage& rejection) override;
  // Traced only: the application is not called.
  void OnAsyncResponseTimeout(std::uint32_t requestId) override;
  void OnAsyncResponseCancelled(std::uint32_t requestId) override;
  void OnAsyncResponseConnectionLoss(std::uint32_t requestId) override;

 private:
  // Reads the code of `answer` and hands it to the application once.
  void DeliverFrom(const W4Notifier::CMessage& answer, bool rejected);

  const W4Util::ObjectPtr<AsyncPerformAlertingResponse> response_;
};

}  // namespace QueueManager
