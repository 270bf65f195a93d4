// The alerting requests, the callback object of an asynchronous alerting and
// the decoding of alert notifications.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <sstream>
#include <string>

#include "QueueManager/Alerting.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Trace.h"
#include "queue/AlertingCallback.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::CRequestObject;

// Events of the interaction request entity.
constexpr int kEventPerformAlerting = 15;
constexpr int kEventEndAlerting = 16;
constexpr int kEventSilentAlerting = 17;
constexpr int kEventAlertConnectionTimeout = 19;

// The wait beyond the alerting time-out that the server is given to answer.
constexpr std::uint64_t kAnswerGraceSeconds = 180;

// The text form of anything that has one, for traces.
template <class T>
std::string TextOf(const T& value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

W4Trace::CTopic& Topic() { return W4Trace::QueueManagerTopic(); }

// The alerting request (event 15): the time-out, both entity lists, the
// alerts and the final value.
CRequestObject AlertingRequest(InteractionId id, std::uint32_t timeoutSeconds,
                               const std::vector<CEntityId>& firstEntities,
                               const std::vector<CEntityId>& secondEntities,
                               const AlertList& alerts, std::uint32_t finalValue) {
  CRequestObject request(requests::InteractionRequestEntity(id), kEventPerformAlerting);
  request << timeoutSeconds;
  requests::WriteEntityList(request, firstEntities);
  requests::WriteEntityList(request, secondEntities);
  request << static_cast<std::int32_t>(alerts.size());
  for (const auto& entry : alerts) request << entry;
  request << finalValue;
  return request;
}

ePerformAlertingResponse ReadCode(const CMessage& answer) {
  std::int32_t code = eAlertingInternalError;
  answer >> code;
  return static_cast<ePerformAlertingResponse>(code);
}

// The code of a rejection: the server's reason when it names one, else 11.
// A rejection carrying 0 must not read as a success.
ePerformAlertingResponse ReadRejectionCode(const CMessage& rejection) {
  const ePerformAlertingResponse code = ReadCode(rejection);
  return code > eAlertingSucceeded && code <= eAlertingInternalError ? code
                                                                     : eAlertingInternalError;
}

// Hands `code` to `response` once, on a delivery thread: an exception of the
// application is traced and dropped, so that nothing retries the delivery.
void DeliverAlertingOutcome(AsyncPerformAlertingResponse& response, ePerformAlertingResponse code,
                            std::string_view function) noexcept {
  try {
    response.OnPerformAlertingResponse(code);
  } catch (const std::exception& error) {
    QM_TRACE(Topic(), W4Trace::kLevelFailure, function, "OnPerformAlertingResponse({}) threw: {}",
             static_cast<std::int32_t>(code), error.what());
  } catch (...) {
    QM_TRACE(Topic(), W4Trace::kLevelFailure, function, "OnPerformAlertingResponse({}) threw",
             static_cast<std::int32_t>(code));
  }
}

}  // namespace

std::uint32_t AlertingWaitMilliseconds(std::uint32_t timeoutSeconds) {
  // 64 bits hold (2^32 - 1 + 180) * 1000 with room to spare.
  const std::uint64_t milliseconds = (std::uint64_t{timeoutSeconds} + kAnswerGraceSeconds) * 1000;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(milliseconds, std::numeric_limits<std::uint32_t>::max()));
}

AsyncPerformAlertingResponse::~AsyncPerformAlertingResponse() = default;

// ---- The asynchronous outcome -------------------------------------------------

AsyncPerformAlertingCallback::AsyncPerformAlertingCallback(
    W4Util::ObjectPtr<AsyncPerformAlertingResponse> response)
    : response_(std::move(response)) {}

void AsyncPerformAlertingCallback::OnAsyncResponseSuccess(std::uint32_t /*requestId*/,
                                                          CMessage& response) {
  DeliverFrom(response, false);
}

void AsyncPerformAlertingCallback::OnAsyncResponseRejected(std::uint32_t /*requestId*/,
                                                           CMessage& rejection) {
  DeliverFrom(rejection, true);
}

void AsyncPerformAlertingCallback::OnAsyncResponseTimeout(std::uint32_t /*requestId*/) {
  QM_TRACE_CTX(Topic(), W4Trace::kLevelWarning,
               W4Trace::CContext("AsyncPerformAlertingCallback::OnAsyncResponseTimeout",
                                 W4Trace::kMessageTypeWarning),
               "PerformAlerting timed out waiting on a response");
}

void AsyncPerformAlertingCallback::OnAsyncResponseCancelled(std::uint32_t /*requestId*/) {
  QM_TRACE(Topic(), W4Trace::kLevelFailure,
           "AsyncPerformAlertingCallback::OnAsyncResponseCancelled",
           "PerformAlerting was cancelled before its response");
}

void AsyncPerformAlertingCallback::OnAsyncResponseConnectionLoss(std::uint32_t /*requestId*/) {
  QM_TRACE(Topic(), W4Trace::kLevelFailure,
           "AsyncPerformAlertingCallback::OnAsyncResponseConnectionLoss",
           "PerformAlerting lost its connection before its response");
}

void AsyncPerformAlertingCallback::DeliverFrom(const CMessage& answer, bool rejected) {
  const std::string_view function = rejected
                                        ? "AsyncPerformAlertingCallback::OnAsyncResponseRejected"
                                        : "AsyncPerformAlertingCallback::OnAsyncResponseSuccess";
  // The code is read first and the application called afterwards, outside
  // the handler, so that its exception can never lead to a second delivery.
  ePerformAlertingResponse code = eAlertingInternalError;
  try {
    code = rejected ? ReadRejectionCode(answer) : ReadCode(answer);
    if (rejected) {
      QM_TRACE(Topic(), W4Trace::kLevelDetail, function, "PerformAlerting was rejected, return {}",
               TextOf(code));
    } else {
      QM_TRACE(Topic(), W4Trace::kLevelDetail, function, "PerformAlerting returned {}",
               TextOf(code));
    }
  } catch (const W4Notifier::CException& error) {
    code = eAlertingInternalError;
    QM_TRACE(Topic(), W4Trace::kLevelFailure, function, "unreadable alerting answer: {}",
             error.what());
  }
  DeliverAlertingOutcome(*response_, code, function);
}

// ---- Requests -------------------------------------------------------------------

ePerformAlertingResponse PerformAlerting(InteractionId id, std::uint32_t timeoutSeconds,
                                         const std::vector<CEntityId>& firstEntities,
                                         const std::vector<CEntityId>& secondEntities,
                                         const AlertList& alerts, std::uint32_t finalValue) {
  constexpr std::string_view kFunction = "QueueManager::PerformAlerting";
  QM_TRACE(Topic(), W4Trace::kLevelDetail, kFunction, "PerformAlerting({},{},{},{},{})",
           id.QueryObjectId(), timeoutSeconds, TextOf(firstEntities), TextOf(secondEntities),
           TextOf(alerts));
  try {
    CRequestObject request =
        AlertingRequest(id, timeoutSeconds, firstEntities, secondEntities, alerts, finalValue);
    W4Notifier::CResponseObject response;
    const bool answered = request.Send(response, AlertingWaitMilliseconds(timeoutSeconds)) != 0;
    // A rejection carries the server's code as an answer does.
    const bool rejected = response.QueryStatus() == W4Notifier::eSendStatus::kRejected;
    if (!answered && !rejected) {
      QM_TRACE(Topic(), W4Trace::kLevelWarning, kFunction, "{}: alerting failed: {}",
               id.QueryObjectId(), W4Notifier::SendStatusName(response.QueryStatus()));
      return eAlertingInternalError;
    }
    const ePerformAlertingResponse code =
        rejected ? ReadRejectionCode(response) : ReadCode(response);
    QM_TRACE(Topic(), W4Trace::kLevelDetail, kFunction, "PerformAlerting {} {}",
             rejected ? "was rejected, return" : "returned", TextOf(code));
    return code;
  } catch (const W4Notifier::CException& error) {
    requests::TraceRequestError(kFunction, requests::InteractionRequestEntity(id),
                                kEventPerformAlerting, error);
    return eAlertingInternalError;
  }
}

void AsyncPerformAlerting(InteractionId id, std::uint32_t timeoutSeconds,
                          const std::vector<CEntityId>& firstEntities,
                          const std::vector<CEntityId>& secondEntities, const AlertList& alerts,
                          std::uint32_t finalValue,
                          const W4Util::ObjectPtr<AsyncPerformAlertingResponse>& response) {
  constexpr std::string_view kFunction = "QueueManager::AsyncPerformAlerting";
  if (!response) {
    QM_TRACE(Topic(), W4Trace::kLevelFailure, kFunction, "{}: no response object; nothing is sent",
             id.QueryObjectId());
    return;
  }
  QM_TRACE(Topic(), W4Trace::kLevelDetail, kFunction, "AsyncPerformAlerting({},{},{},{},{})",
           id.QueryObjectId(), timeoutSeconds, TextOf(firstEntities), TextOf(secondEntities),
           TextOf(alerts));
  CRequestObject request =
      AlertingRequest(id, timeoutSeconds, firstEntities, secondEntities, alerts, finalValue);
  const auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection();
  W4Notifier::eMsgCode sent = W4Notifier::eMsgNotConnected;
  if (connection) {
    const auto callback = W4Util::MakeObject<AsyncPerformAlertingCallback>(response);
    sent = connection->SendAsyncRequest(request, callback.get(), 0,
                                        AlertingWaitMilliseconds(timeoutSeconds), nullptr,
                                        W4Notifier::CKeepAlive(callback));
  }
  if (sent == W4Notifier::eMsgSuccess) return;
  QM_TRACE(Topic(), W4Trace::kLevelWarning, kFunction, "{}: alerting not sent: {}",
           id.QueryObjectId(), W4Notifier::MsgCodeName(sent));
  // On the caller's own thread: what the application throws reaches it.
  response->OnPerformAlertingResponse(eAlertingInternalError);
}

void EndAlerting(std::uint32_t interactionId, std::uint32_t value) {
  constexpr std::string_view kFunction = "QueueManager::EndAlerting";
  QM_TRACE(Topic(), W4Trace::kLevelDetail, kFunction, "EndAlerting({})", interactionId);
  CRequestObject request(requests::InteractionRequestEntity(interactionId), kEventEndAlerting);
  request << value;
  requests::SendWithoutWaiting(request, kFunction);
}

void SilentAlerting(std::uint32_t interactionId) {
  constexpr std::string_view kFunction = "QueueManager::SilentAlerting";
  QM_TRACE(Topic(), W4Trace::kLevelDetail, kFunction, "SilentAlerting({})", interactionId);
  CRequestObject request(requests::InteractionRequestEntity(interactionId), kEventSilentAlerting);
  requests::SendWithoutWaiting(request, kFunction);
}

bool AlertConnectionTimeout(std::uint32_t interactionId, std::uint32_t value) {
  constexpr std::string_view kFunction = "QueueManager::AlertConnectionTimeout";
  QM_TRACE(Topic(), W4Trace::kLevelDetail, kFunction, "AlertConnectionTimeout({},{})",
           interactionId, value);
  CRequestObject request(requests::InteractionRequestEntity(interactionId),
                         kEventAlertConnectionTimeout);
  request << value;
  W4Notifier::CResponseObject response;
  if (!requests::SendAndWait(request, response, kFunction)) return false;
  try {
    bool done = false;
    response >> done;
    QM_TRACE(Topic(), W4Trace::kLevelDetail, kFunction, "AlertConnectionTimeout({}) returned {}",
             interactionId, done ? 1 : 0);
    return done;
  } catch (const W4Notifier::CException& error) {
    requests::TraceRequestError(kFunction, request.QueryEntityId(), kEventAlertConnectionTimeout,
                                error);
    return false;
  }
}

// ---- Alert notifications --------------------------------------------------------

AlertNotification::AlertNotification(const CMessage& message)
    : alertedEntity_(message.QueryEntityId()) {
  // A copy reads on its own position and leaves the caller's where it is.
  const CMessage body = message;
  try {
    const CEntityId interaction = requests::ReadEntity(body);
    body >> parameters_;
    alertingInteraction_ = interaction;
    complete_ = true;
  } catch (const W4Notifier::CException& error) {
    QM_TRACE(Topic(), W4Trace::kLevelFailure, "QueueManager::AlertNotification::AlertNotification",
             "malformed alert notification from {}: {}", TextOf(alertedEntity_), error.what());
  }
}

}  // namespace QueueManager
