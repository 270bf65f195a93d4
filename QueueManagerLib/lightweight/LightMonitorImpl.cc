#include "lightweight/LightMonitorImpl.h"

#include <exception>
#include <string_view>
#include <utility>

#include "QueueManager/Platform/Trace.h"
#include "monitor/CacheTrace.h"
#include "monitor/CallbackGate.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

// Event 0 of the server is the activation; event 0 of the entity its
// notifications.
constexpr int kActivationEvent = 0;
constexpr int kNotificationEvent = 0;

constexpr std::string_view kActivateFunction = "QueueManager::CQmLightMonitorImpl::activate";
constexpr std::string_view kDeactivateFunction = "QueueManager::CQmLightMonitorImpl::deactivate";
constexpr std::string_view kResponseFunction =
    "QueueManager::CQmLightMonitorImpl::OnAsyncResponseSuccess";
constexpr std::string_view kNotificationFunction =
    "QueueManager::CQmLightMonitorImpl::OnMessageReceived";

W4Notifier::CRequestObject ActivationRequest(const CEntityId& entity,
                                             const std::vector<CQmAttributeName>& names) {
  W4Notifier::CRequestObject request(requests::ServerEntity(), kActivationEvent);
  request << false;
  requests::WriteEntity(request, entity);
  requests::WriteNameList(request, names);
  return request;
}

}  // namespace

void CQmLightMonitorImpl::activate(const CEntityId& entity,
                                   const w4core::InterfacePtr<IQmLightMonitorInterface>& downstream,
                                   const std::vector<CQmAttributeName>& names, bool flag,
                                   const lightweight::ActivationGate& gate) {
  QM_TRACE_SCOPE(W4Trace::ScopeTopic(), "QueueManager::CQmLightMonitorImpl::activate");
  const std::shared_ptr<W4Notifier::CNotifierConnection> connection =
      W4Notifier::CNotifierHandle::GetDefaultConnection();
  const char* refusal = nullptr;
  {
    W4Os::MutexLock lock(&mutex_);
    if (!downstream || !gate.gate) {
      refusal = "no downstream interface or gate";
    } else if (activated_) {
      refusal = "activated before";
    } else if (!gate.gate->IsOpen(gate.epoch)) {
      // Stopped while activating: its stop closed the gate before it took
      // this lock, found nothing to release, and will not come back; taking
      // the downstream interface now would hold it (and, through it, this
      // object) for good.
      return;
    } else {
      activated_ = true;
      entity_ = entity;
      downstream_ = downstream;
      gate_ = gate;
      flag_ = flag;
      connection_ = connection;
    }
  }
  if (refusal != nullptr) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kActivateFunction, "refused: {}",
             refusal);
    return;
  }
  if (connection) Start(connection, entity, names);
}

void CQmLightMonitorImpl::Start(const std::shared_ptr<W4Notifier::CNotifierConnection>& connection,
                                const CEntityId& entity,
                                const std::vector<CQmAttributeName>& names) {
  // The caller's reference keeps this object alive while the keep-alives
  // are made.
  const W4Notifier::CKeepAlive keepAlive(w4core::InterfacePtr<CQmLightMonitorImpl>(this));
  const W4Notifier::eMsgCode subscribed = connection->StartNotifications(
      entity, kNotificationEvent, this, 0, nullptr, keepAlive, std::u16string_view());
  if (subscribed != W4Notifier::eMsgSuccess) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kActivateFunction,
             "StartNotifications returned error {}", static_cast<int>(subscribed));
  }
  // A deactivate() that took the entity before the subscription was made
  // could not stop it. Checked before the request goes out: once it has, the
  // answer's callback may stop the monitor, and a stop here would wait for
  // that callback.
  if (StoppedMeanwhile()) {
    connection->StopNotifications(entity, kNotificationEvent, this, 0);
    return;
  }
  const W4Notifier::CRequestObject request = ActivationRequest(entity, names);
  std::uint32_t requestId = 0;
  const W4Notifier::eMsgCode sent = connection->SendAsyncRequest(
      request, this, 0, W4Notifier::CNotifierTimeout::Query(), &requestId, keepAlive);
  const bool requestSent = sent == W4Notifier::eMsgSuccess;
  if (!requestSent) {
    // No answer will come: the monitor stays silent.
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kActivateFunction,
             "SendAsyncRequest returned error {}", static_cast<int>(sent));
  }
  bool cancel = false;
  {
    W4Os::MutexLock lock(&mutex_);
    requestId_ = requestId;
    requestSent_ = requestSent;
    cancel = requestSent && !entity_.IsSet();
  }
  // Stopped while the request went out: nothing else would cancel it.
  // Cancelling waits for no callback.
  if (cancel) connection->CancelAsyncRequest(requestId);
}

bool CQmLightMonitorImpl::StoppedMeanwhile() const {
  W4Os::MutexLock lock(&mutex_);
  return !entity_.IsSet();
}

void CQmLightMonitorImpl::deactivate() {
  QM_TRACE_SCOPE(W4Trace::ScopeTopic(), "QueueManager::CQmLightMonitorImpl::deactivate");
  w4core::InterfacePtr<IQmLightMonitorInterface> downstream;  // released last, with no lock
  CEntityId entity;
  std::shared_ptr<W4Notifier::CNotifierConnection> connection;
  bool cancel = false;
  std::uint32_t requestId = 0;
  {
    W4Os::MutexLock lock(&mutex_);
    cancel = requestSent_ && !answered_;
    requestSent_ = false;
    requestId = requestId_;
    answered_ = false;
    downstream = std::move(downstream_);
    entity = entity_;
    entity_.Reset();
    flag_ = false;
    connection = connection_.lock();
    connection_.reset();
  }
  if (!entity.IsSet()) return;  // stopped before, or never activated
  if (connection) {
    // The notifier's stop waits for a delivery to this object on another
    // thread, which may wait for a callback this thread is inside: then it
    // is made once that callback has ended. The gate is closed already, so
    // nothing reaches the application meanwhile.
    CallbackGate::AfterCallbacks([self = w4core::InterfacePtr<CQmLightMonitorImpl>(this),
                                  connection, entity, cancel, requestId] {
      connection->StopNotifications(entity, kNotificationEvent, self.get(), 0);
      if (cancel) connection->CancelAsyncRequest(requestId);
    });
  }
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kDeactivateFunction, "stopped {}",
           ScopedName(entity));
}

bool CQmLightMonitorImpl::QueryFlag() const {
  W4Os::MutexLock lock(&mutex_);
  return flag_;
}

CEntityId CQmLightMonitorImpl::QueryEntity() const {
  W4Os::MutexLock lock(&mutex_);
  return entity_;
}

void CQmLightMonitorImpl::OnAsyncResponseSuccess(std::uint32_t /*requestId*/, CMessage& response) {
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail, kResponseFunction,
           "Response received");
  Deliver(response, Source::kResponse);
}

void CQmLightMonitorImpl::OnMessageReceived(CMessage& message) {
  Deliver(message, Source::kNotification);
}

void CQmLightMonitorImpl::Deliver(CMessage& message, Source source) {
  CallbackGate* gate = nullptr;
  CallbackGate::Epoch epoch = CallbackGate::kAnyEpoch;
  const w4core::InterfacePtr<IQmLightMonitorInterface> downstream =
      AcceptDelivery(source, gate, epoch);
  if (!downstream) return;
  lightweight::MonitorEventBody body;
  try {
    if (source == Source::kResponse) {
      lightweight::SkipActivationResponseHead(message);
    } else {
      lightweight::SkipNotificationHead(message);
    }
    body = lightweight::ReadMonitorEventBody(message);
  } catch (const std::exception& error) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure,
             source == Source::kResponse ? kResponseFunction : kNotificationFunction,
             "Malformed message from {} dropped: {}", ScopedName(message.QueryEntityId()),
             error.what());
    return;
  }
  // One turn for the whole message: its events reach the application in
  // order, with no callback of the monitor in between.
  const CallbackGate::Turn turn = gate->Enter(epoch);
  if (turn) Report(*downstream, body, *gate, epoch);
}

w4core::InterfacePtr<IQmLightMonitorInterface> CQmLightMonitorImpl::AcceptDelivery(
    Source source, CallbackGate*& gate, CallbackGate::Epoch& epoch) {
  W4Os::MutexLock lock(&mutex_);
  if (!activated_) return {};
  if (source == Source::kResponse) {
    if (answered_) return {};
    answered_ = true;
  } else if (!answered_) {
    return {};
  }
  gate = gate_.gate.get();
  epoch = gate_.epoch;
  return downstream_;
}

void CQmLightMonitorImpl::Report(IQmLightMonitorInterface& downstream,
                                 const lightweight::MonitorEventBody& body,
                                 const CallbackGate& gate, CallbackGate::Epoch epoch) {
  for (const CQmMonitorEvent& event : body.events) {
    // A callback may have stopped the monitor, or activated it again.
    if (!gate.IsOpen(epoch)) return;
    if (event.added) {
      downstream.ObjectAdded(event.entity, event.attributes, body.sequence);
    } else if (event.removed) {
      downstream.ObjectRemoved(event.entity, body.sequence);
    } else {
      downstream.ObjectUpdated(event.entity, event.attributes, body.sequence);
    }
  }
}

}  // namespace QueueManager
