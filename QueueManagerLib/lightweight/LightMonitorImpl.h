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
#include "monitor/CallbackGate.h"

namespace QueueManager {

namespace lightweight {

// The gate an activation's callbacks pass, and the activation's epoch in it.
struct ActivationGate {
  std::shared_ptr<CallbackGate> gate;
  CallbackGate::Epoch epoch = 0;

  // A gate of its own, open: for a monitor used without a handle.
  static ActivationGate OpenOwn() {
    ActivationGate own{CallbackGate::Make(), 0};
    own.epoch = own.gate->Open();
    return own;
  }
};

}  // namespace lightweight

// Subscribes to event 0 of an entity, sends the activation request and
// reports the events of the answer and of later notifications to its
// downstream interface. Thread-safe; a counted object. Activated once, for
// one epoch of its handle's callback gate.
//
// Lifetime: the notifier holds a reference while the subscription runs and
// while the activation request waits for its answer, so a late answer or
// notification always finds the object alive.
//
// Callbacks: the events of one message are reported inside one turn of the
// activation's gate, each only while the activation's epoch is open, and
// without any lock held. Closing the gate is what stops the reports and
// waits for them (the handle does it); deactivate() only ends the
// subscription and the request and breaks the reference cycle.
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
  // Events are reported while `gate`'s epoch is open.
  // REQUIRES: `downstream` and `gate.gate` are not empty; the caller holds a
  // reference to this object; first call on this object (later calls are
  // ignored).
  void activate(const W4Notifier::CEntityId& entity,
                const w4core::InterfacePtr<IQmLightMonitorInterface>& downstream,
                const std::vector<CQmAttributeName>& names, bool flag,
                const lightweight::ActivationGate& gate);
  // Stops the subscription on the connection it was made on (whether or not
  // that is still the default connection), cancels an unanswered activation
  // and releases the downstream interface. Repeated calls find nothing left
  // to stop.
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
  enum class Source : std::uint8_t { kResponse, kNotification };

  // Subscribes and sends the request; failures are traced and leave the
  // monitor silent.
  void Start(const std::shared_ptr<W4Notifier::CNotifierConnection>& connection,
             const W4Notifier::CEntityId& entity, const std::vector<CQmAttributeName>& names)
      QM_LOCKS_EXCLUDED(mutex_);
  // True once deactivate() has taken what there is to stop.
  bool StoppedMeanwhile() const QM_LOCKS_EXCLUDED(mutex_);
  // Decodes one message and reports it; decoding errors are traced and drop
  // the message.
  void Deliver(W4Notifier::CMessage& message, Source source) QM_LOCKS_EXCLUDED(mutex_);
  // The downstream interface and the activation's gate and epoch when
  // `source` is to be reported, else an empty interface. The gate is this
  // object's for its whole life once activated: a plain pointer serves.
  w4core::InterfacePtr<IQmLightMonitorInterface> AcceptDelivery(Source source, CallbackGate*& gate,
                                                                CallbackGate::Epoch& epoch)
      QM_LOCKS_EXCLUDED(mutex_);
  // REQUIRES: the calling thread holds the turn of `gate`.
  static void Report(IQmLightMonitorInterface& downstream,
                     const lightweight::MonitorEventBody& body, const CallbackGate& gate,
                     CallbackGate::Epoch epoch);

  // A leaf lock: held only to read or write the fields below, never across
  // a call into the notifier, the gate or the downstream interface.
  mutable W4Os::Mutex mutex_;
  bool activated_ QM_GUARDED_BY(mutex_) = false;
  // The activation's answer has been reported: notifications are reported
  // from then on.
  bool answered_ QM_GUARDED_BY(mutex_) = false;
  lightweight::ActivationGate gate_ QM_GUARDED_BY(mutex_);
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
