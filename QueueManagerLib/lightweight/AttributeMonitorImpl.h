#pragma once

// The implementation behind AttributeMonitor: a light monitor pointed at an
// attribute match entity, whose events are adapted to IAttributeMonitor.

#include <cstdint>
#include <map>
#include <vector>

#include "QueueManager/AttributeMonitor.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "lightweight/LightMonitorImpl.h"

namespace QueueManager {

// The entity whose notifications report the interactions whose `name` is
// `value`: object type 80, named "<display name>=<value>".
W4Notifier::CEntityId AttributeMatchEntity(const CQmAttributeName& name,
                                           const CQmAttributeValue& value);

// Adapts the light monitor's events to the application's IAttributeMonitor.
// Thread-safe; a counted object, created with its light monitor and holding
// it for its whole life.
//
// Ownership: while active, the light monitor holds this object as its
// downstream interface; Deactivate() breaks that cycle and releases the
// application's interface.
//
// The value reported with an event: the configured value when there is one;
// otherwise the value last reported for that interaction, which an event
// that brings another value (or the interaction's first value) replaces and
// reports as an addition. A removal forgets the interaction.
//
// Callbacks: the application is called on the light monitor's delivery
// thread, inside the turn of the activation's callback gate that the light
// monitor enters, with no lock held.
class AttributeMonitorImpl final : public IQmLightMonitorInterface {
 public:
  AttributeMonitorImpl() : light_(w4core::MakeInterface<CQmLightMonitorImpl>()) {}
  AttributeMonitorImpl(const AttributeMonitorImpl&) = delete;
  AttributeMonitorImpl& operator=(const AttributeMonitorImpl&) = delete;

  // Starts the light monitor for `gate`'s epoch.
  // REQUIRES: `callback` is not empty; the caller holds a reference to this
  // object; first call.
  void Activate(const lightweight::ActivationGate& gate, const CQmAttributeName& name,
                const CQmAttributeValue& value,
                const w4core::InterfacePtr<IAttributeMonitor>& callback,
                const std::vector<CQmAttributeName>& names, bool flag);
  // Deactivates the light monitor, which breaks the reference cycle, and
  // releases the application's interface. Waits for nothing: the handle
  // closes the gate first.
  void Deactivate();

  const w4core::InterfacePtr<CQmLightMonitorImpl>& Light() const { return light_; }

  void ObjectAdded(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                   std::uint64_t sequence) override;
  void ObjectUpdated(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes,
                     std::uint64_t sequence) override;
  void ObjectRemoved(const W4Notifier::CEntityId& object, std::uint64_t sequence) override;

 private:
  ~AttributeMonitorImpl() override = default;

  // Reports an added or updated event (`added`: the light monitor's slot).
  void Report(const W4Notifier::CEntityId& object, const CQmAttributeMap& attributes, bool added);
  w4core::InterfacePtr<IAttributeMonitor> Callback() const;

  // Set by Activate() before the light monitor starts, then only read.
  CQmAttributeName name_;
  CQmAttributeValue configured_;
  const w4core::InterfacePtr<CQmLightMonitorImpl> light_;

  // A leaf lock: held only to read or write the fields below.
  mutable W4Os::Mutex mutex_;
  w4core::InterfacePtr<IAttributeMonitor> callback_ QM_GUARDED_BY(mutex_);
  // With no configured value: the value last reported per interaction.
  std::map<W4Notifier::CEntityId, CQmAttributeValue> lastValues_ QM_GUARDED_BY(mutex_);
};

}  // namespace QueueManager
