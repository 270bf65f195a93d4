#include "QueueManager/CachingObjectTypeMonitor.h"

#include "lightweight/CachingObjectTypeMonitorImpl.h"
#include "lightweight/HandleSteps.h"
#include "requests/RequestFields.h"

namespace QueueManager {

CQmCachingObjectTypeMonitor::CQmCachingObjectTypeMonitor()
    : handle_(std::make_unique<lightweight::MonitorHandle<CQmCachingObjectTypeMonitorImpl>>()) {}

CQmCachingObjectTypeMonitor::~CQmCachingObjectTypeMonitor() { deactivate(); }

bool CQmCachingObjectTypeMonitor::activate(
    W4Notifier::ObjectTypes type,
    const w4core::InterfacePtr<IQmObjectTypeMonitorInterface>& callback,
    const std::vector<CQmAttributeName>& names, bool flag) {
  if (lightweight::RefusesEmpty(callback, "QueueManager::CQmCachingObjectTypeMonitor::activate")) {
    return false;
  }
  handle_->Activate(
      [&](CQmCachingObjectTypeMonitorImpl& impl, const lightweight::ActivationGate& gate) {
        impl.Activate(gate, type, callback, names, flag, kRequestedBuckets);
      });
  return true;
}

void CQmCachingObjectTypeMonitor::deactivate() { handle_->Deactivate(); }

bool CQmCachingObjectTypeMonitor::query_attribute(InteractionId id, const CQmAttributeName& name,
                                                  CQmAttributeValue& value) const {
  const auto impl = handle_->Current();
  return impl && impl->Light()->query_attribute(id, name, value);
}

bool CQmCachingObjectTypeMonitor::query_attributes(InteractionId id,
                                                   const std::vector<CQmAttributeName>& names,
                                                   std::vector<CQmAttributeValue>& values) const {
  const auto impl = handle_->Current();
  return impl && impl->Light()->query_attributes(id, names, values);
}

void CQmCachingObjectTypeMonitor::set_attribute(InteractionId id, const CQmAttributeName& name,
                                                const CQmAttributeValue& value) {
  CQmAttributeMap attributes;
  attributes.insert(name, value);
  set_attributes(id, attributes);
}

void CQmCachingObjectTypeMonitor::set_attributes(InteractionId id,
                                                 const CQmAttributeMap& attributes) {
  MoveAndSet(id, requests::NoEntities(), attributes, requests::NoEntities());
}

void CQmCachingObjectTypeMonitor::MoveAndSet(InteractionId id,
                                             const std::vector<W4Notifier::CEntityId>& removeFrom,
                                             const CQmAttributeMap& attributes,
                                             const std::vector<W4Notifier::CEntityId>& addTo) {
  if (const auto impl = handle_->Current()) {
    impl->Light()->MoveAndSet(id, removeFrom, attributes, addTo);
  }
}

}  // namespace QueueManager
