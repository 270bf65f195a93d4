#pragma once

// The middle layer of the object type monitors: owns the light monitor (or
// the caching one) and forwards its events to the application's interface.

#include <cstdint>
#include <utility>
#include <vector>

#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/RefCount.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "lightweight/LightMonitorImpl.h"

namespace QueueManager {

// The entity whose notifications report the objects of `type`: object type
// 125, named by the notifier's name of `type`.
W4Notifier::CEntityId ObjectTypeEntity(W4Notifier::ObjectTypes type);

// Forwards the events of its T (CQmLightMonitorImpl or CQmCachingMonitorImpl)
// to the application's IQmObjectTypeMonitorInterface, without the sequence
// numbers. Thread-safe; a counted object, created with its T and holding it
// for its whole life.
//
// Ownership: while active, the T holds this object as its downstream
// interface and this object holds the T; Deactivate() breaks that cycle and
// releases the application's interface.
//
// Callbacks: the application is called on the T's delivery thread, inside
// the turn of the activation's callback gate that the T enters, with no lock
// held. Whether the monitor still runs is the gate's to say, not this
// object's: the callback it holds is only released by Deactivate().
template <class T>
class CQmObjectTypeMonitorBase : public IQmLightMonitorInterface {
 public:
  CQmObjectTypeMonitorBase() : light_(w4core::MakeInterface<T>()) {}
  CQmObjectTypeMonitorBase(const CQmObjectTypeMonitorBase&) = delete;
  CQmObjectTypeMonitorBase& operator=(const CQmObjectTypeMonitorBase&) = delete;

  // Stores the type and the callback and activates the T on the object type
  // entity for `gate`'s epoch; `extra` goes to the T's activate after the
  // gate.
  // REQUIRES: `callback` is not empty; the caller holds a reference to this
  // object.
  template <class... Extra>
  void Activate(const lightweight::ActivationGate& gate, W4Notifier::ObjectTypes type,
                const w4core::InterfacePtr<IQmObjectTypeMonitorInterface>& callback,
                const std::vector<CQmAttributeName>& names, bool flag, Extra&&... extra) {
    {
      W4Os::MutexLock lock(&mutex_);
      type_ = type;
      callback_ = callback;
    }
    light_->activate(ObjectTypeEntity(type), w4core::InterfacePtr<IQmLightMonitorInterface>(this),
                     names, flag, gate, std::forward<Extra>(extra)...);
  }
  // Deactivates the T, which breaks the reference cycle, and releases the
  // application's interface. Waits for nothing: the handle closes the gate
  // first.
  void Deactivate() {
    light_->deactivate();
    w4core::InterfacePtr<IQmObjectTypeMonitorInterface> released;
    W4Os::MutexLock lock(&mutex_);
    released.swap(callback_);
  }

  const w4core::InterfacePtr<T>& Light() const { return light_; }
  W4Notifier::ObjectTypes QueryObjectType() const {
    W4Os::MutexLock lock(&mutex_);
    return type_;
  }

  void ObjectAdded(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                   std::uint64_t /*sequence*/) override {
    if (const auto callback = Callback()) callback->ObjectAdded(object, attributes);
  }
  void ObjectUpdated(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                     std::uint64_t /*sequence*/) override {
    if (const auto callback = Callback()) callback->ObjectUpdated(object, attributes);
  }
  void ObjectRemoved(const W4Notifier::CEntityId& object, std::uint64_t /*sequence*/) override {
    if (const auto callback = Callback()) callback->ObjectRemoved(object);
  }

 protected:
  ~CQmObjectTypeMonitorBase() override = default;

 private:
  w4core::InterfacePtr<IQmObjectTypeMonitorInterface> Callback() const {
    W4Os::MutexLock lock(&mutex_);
    return callback_;
  }

  // A leaf lock: held only to read or write the fields it guards.
  mutable W4Os::Mutex mutex_;
  W4Notifier::ObjectTypes type_ QM_GUARDED_BY(mutex_) = W4Notifier::eObjectTypeNone;
  const w4core::InterfacePtr<T> light_;
  w4core::InterfacePtr<IQmObjectTypeMonitorInterface> callback_ QM_GUARDED_BY(mutex_);
};

}  // namespace QueueManager
