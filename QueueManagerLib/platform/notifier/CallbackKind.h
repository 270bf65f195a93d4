#pragma once

// The callbacks a connection makes, shared by the transports' delivery
// threads.

#include <cstdint>

#include "QueueManager/Platform/Notifier.h"

namespace W4Notifier::detail {

enum class eCallbackKind : std::uint8_t {
  kNotification,
  kRenegotiated,
  kSuccess,
  kRejected,
  kTimeout,
  kCancelled,
  kConnectionLoss,
};

// Makes one callback: a notification or renegotiation on `messageCallback`,
// an outcome of request `requestId` (sent with `flags`) on `asyncCallback`.
// `message` is rewound first. Exceptions pass to the caller.
// REQUIRES: the callback that `kind` names is not null.
void InvokeCallback(eCallbackKind kind, IMessageCallback* messageCallback,
                    IAsyncResponseCallback* asyncCallback, std::uint32_t requestId,
                    std::uint32_t flags, CMessage& message);

}  // namespace W4Notifier::detail
