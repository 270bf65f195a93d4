#include "platform/notifier/CallbackKind.h"

namespace W4Notifier::detail {

void InvokeCallback(eCallbackKind kind, IMessageCallback* messageCallback,
                    IAsyncResponseCallback* asyncCallback, std::uint32_t requestId,
                    std::uint32_t flags, CMessage& message) {
  message.Rewind();
  switch (kind) {
    case eCallbackKind::kNotification:
      messageCallback->OnMessageReceived(message);
      break;
    case eCallbackKind::kRenegotiated:
      messageCallback->OnConnectionRenegotiated();
      break;
    case eCallbackKind::kSuccess:
      asyncCallback->OnAsyncResponseSuccess_Ex(requestId, message, flags);
      break;
    case eCallbackKind::kRejected:
      asyncCallback->OnAsyncResponseRejected_Ex(requestId, message, flags);
      break;
    case eCallbackKind::kTimeout:
      asyncCallback->OnAsyncResponseTimeout_Ex(requestId, flags);
      break;
    case eCallbackKind::kCancelled:
      asyncCallback->OnAsyncResponseCancelled_Ex(requestId, flags);
      break;
    case eCallbackKind::kConnectionLoss:
      asyncCallback->OnAsyncResponseConnectionLoss_Ex(requestId, flags);
      break;
  }
}

}  // namespace W4Notifier::detail
