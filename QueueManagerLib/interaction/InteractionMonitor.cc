#include "QueueManager/InteractionMonitor.h"

#include "interaction/InteractionMonitorGuts.h"
#include "monitor/QmCache.h"

namespace QueueManager {

CQmInteractionMonitor::CQmInteractionMonitor()
    : guts_(W4Util::MakeObject<CQmInteractionMonitorGuts>(*this)) {}

CQmInteractionMonitor::~CQmInteractionMonitor() { StopMonitoring(); }

void CQmInteractionMonitor::StopMonitoring() { guts_->Shutdown(); }

void CQmInteractionMonitor::Activate(InteractionId id, const std::vector<CQmAttributeName>& names,
                                     bool synchronous) {
  guts_->Activate(id, names, synchronous);
}

void CQmInteractionMonitor::Deactivate(InteractionId id) { guts_->Deactivate(id); }

void CQmInteractionMonitor::RequestAttributeUpdateCallback(const CQmAttributeName& name) {
  guts_->RequestAttributeUpdateCallback({name});
}

void CQmInteractionMonitor::RequestAttributeUpdateCallback(
    const std::vector<CQmAttributeName>& names) {
  guts_->RequestAttributeUpdateCallback(names);
}

bool CQmInteractionMonitor::IsMonitored(InteractionId id) const { return guts_->IsMonitored(id); }

void CQmInteractionMonitor::QueryMonitoredInteractions(std::vector<InteractionId>& ids) const {
  guts_->QueryMonitoredInteractions(ids);
}

void CQmInteractionMonitor::Monitors(InteractionId id, std::vector<CQmAttributeName>& names) const {
  guts_->Monitors(id, names);
}

CQmAttributeValue CQmInteractionMonitor::QueryAttribute(InteractionId id,
                                                        const CQmAttributeName& name) const {
  return guts_->QueryAttribute(id, name);
}

W4Notifier::CEntityId CQmInteractionMonitor::QueryEntityId(InteractionId id) const {
  return CQmCache::Instance().QueryUnderlyingEntityId(id);
}

void CQmInteractionMonitor::AttributesUpdated(const W4Notifier::CEntityId& /*interaction*/,
                                              const CQmAttributeMap& /*attributes*/) {}

void CQmInteractionMonitor::InteractionDeallocated(const W4Notifier::CEntityId& /*interaction*/) {}

}  // namespace QueueManager
