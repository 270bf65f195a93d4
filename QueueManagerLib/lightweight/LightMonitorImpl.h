#pragma once

// The notifier side of every lightweight monitor: one subscription, one
// activation request, and each event of the server's answer and
// notifications reported to one IQmLightMonitorInterface.

#include <cstdint>
#include <memory>
#include <vector>

#include "QueueManager/AttributeName.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/RefCount.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "lightweight/MonitorEventBody.h"

namespace QueueManager {

// Subscribes to event 0 of an entity, sends the activation request and
// reports the events of the answer and of later notifications to its
// downstream interface. Thread-safe; a counted object. Activated once:
// idle, then waiting for its answer, then reporting, then stopped for good.
//
// Lifetime: the notifier holds a reference while the subscription runs and
// while the activation request waits for its answer, so a late answer or
// notification always finds the object alive; it reports nothing once
// deactivate() has begun.
//
// Callbacks (notifier delivery threads, one at a time): the downstream
// interface is called without any lock held. deactivate() stops the
// subscription, and the notifier's stop waits for a delivery to this object
// running on another thread (never for one on its own thread): once it
// returns no downstream call is running elsewhere. Do not call it while
// holding a lock that a downstream call takes.
class CQmLightMonitorImpl : public W4Notifier::IAsyncResponseCallback,
                            public W4Notifier::IMessageCallback,
                            public virtual w4core::RefCounted<w4core::AtomicRefCount> {
 public:
  CQmLightMonitorImpl() = default;
  CQmLightMonitorImpl(const CQmLightMonitorImpl&) = delete;
  CQmLightMonitorImpl& operator=(const CQmLightMonitorImpl&) = delete;

  // Stores the arguments; then, on the default connection if there is one,
  // subscribes to event 0 of `entity` and sends the activation request
  // (event 0 to the server: bool false, the entity fields, the names).
  // REQUIRES: `downstream` is not empty; the caller holds a reference to
  // this object; first call on this object (later calls are ignored).
  void activate(const W4Notifier::CEntityId& entity,
                const w4core::InterfacePtr<IQmLightMonitorInterface>& downstream,
                const std::vector<CQmAttributeName>& names, bool flag);
  // Stops the subscription on the connection it was made on (whether or not
  // that is still the default connection), cancels an unanswered activation
  // and releases the downstream interface. Idempotent.
  virtual void deactivate();

  // What activate() stored; for tests.
  bool QueryFlag() const;
  W4Notifier::CEntityId QueryEntity() const;

  // IAsyncResponseCallback: the activation's answer. A rejection or time-out
  // leaves the monitor silent.
  void OnAsyncResponseSuccess(std::uint32_t requestId, W4Notifier::CMessage& response) override;
  void OnAsyncResponseRejected(std::uint32_t, W4Notifier::CMessage&) override {}
  void OnAsyncResponseTimeout(std::uint32_t) override {}
  // IMessageCallback: notifications, dropped until the answer has arrived.
  void OnMessageReceived(W4Notifier::CMessage& message) override;

 protected:
  // Nothing to stop: while subscribed or waiting for its answer the notifier
  // holds a reference, so the last one goes only once both have ended.
  ~CQmLightMonitorImpl() override = default;

 private:
  enum class State : std::uint8_t { kIdle, kWaiting, kReporting, kStopped };
  enum class Source : std::uint8_t { kResponse, kNotification };

  // Subscribes and sends the request; failures are traced and leave the
  // monitor silent.
  void Start(const std::shared_ptr<W4Notifier::CNotifierConnection>& connection,
             const W4Notifier::CEntityId& entity, const std::vector<CQmAttributeName>& names)
      QM_LOCKS_EXCLUDED(mutex_);
  // Decodes one message and reports it; decoding errors are traced and drop
  // the message.
  void Deliver(W4Notifier::CMessage& message, Source source) QM_LOCKS_EXCLUDED(mutex_);
  // The downstream interface when `source` is to be reported now, else
  // empty.
  w4core::InterfacePtr<IQmLightMonitorInterface> AcceptDelivery(Source source)
      QM_LOCKS_EXCLUDED(mutex_);
  static void Report(IQmLightMonitorInterface& downstream,
                     const lightweight::MonitorEventBody& body);

  // A leaf lock: held only to read or write the fields below, never across
  // a call into the notifier or the downstream interface.
  mutable W4Os::Mutex mutex_;
  State state_ QM_GUARDED_BY(mutex_) = State::kIdle;
  bool flag_ QM_GUARDED_BY(mutex_) = false;
  W4Notifier::CEntityId entity_ QM_GUARDED_BY(mutex_);
  w4core::InterfacePtr<IQmLightMonitorInterface> downstream_ QM_GUARDED_BY(mutex_);
  // The connection the subscription and the request went out on. Weak: the
  // connection holds this object, not the other way round.
  std::weak_ptr<W4Notifier::CNotifierConnection> connection_ QM_GUARDED_BY(mutex_);
  std::uint32_t requestId_ QM_GUARDED_BY(mutex_) = 0;
  bool requestSent_ QM_GUARDED_BY(mutex_) = false;
};

}  // namespace QueueManager
