#include "QueueManager/InteractionMonitor.h"
#include "interaction/ConferenceMonitorGuts.h"

namespace QueueManager {

CQmConferenceMonitor::CQmConferenceMonitor()
    : guts_(std::make_unique<CQmConferenceMonitorGuts>(*this)) {}

CQmConferenceMonitor::~CQmConferenceMonitor() = default;

void CQmConferenceMonitor::StopMonitoring() { guts_->Stop(); }

void CQmConferenceMonitor::Activate(InteractionId conference,
                                    const std::vector<CQmAttributeName>& names, bool synchronous) {
  guts_->Activate(conference, names, synchronous);
}

void CQmConferenceMonitor::Deactivate() { guts_->Deactivate(); }

InteractionId CQmConferenceMonitor::QueryConferenceId() const { return guts_->QueryConferenceId(); }

bool CQmConferenceMonitor::QueryConferencePartys(std::vector<InteractionId>& parties) const {
  return guts_->QueryConferencePartys(parties);
}

CQmAttributeValue CQmConferenceMonitor::QueryAttribute(InteractionId id,
                                                       const CQmAttributeName& name) const {
  return guts_->QueryAttribute(id, name);
}

void CQmConferenceMonitor::RequestAttributeUpdateCallback(const CQmAttributeName& name) {
  guts_->RequestAttributeUpdateCallback(name);
}

void CQmConferenceMonitor::RequestAttributeUpdateCallback(
    const std::vector<CQmAttributeName>& names) {
  guts_->RequestAttributeUpdateCallback(names);
}

void CQmConferenceMonitor::AttributesUpdated(InteractionId /*conference*/,
                                             const W4Notifier::CEntityId& /*party*/,
                                             const CQmAttributeMap& /*attributes*/) {}
void CQmConferenceMonitor::ConferencePartyAdded(InteractionId /*conference*/,
                                                const W4Notifier::CEntityId& /*party*/,
                                                const CQmAttributeMap& /*attributes*/) {}
void CQmConferenceMonitor::ConferencePartyRemoved(InteractionId /*conference*/,
                                                  const W4Notifier::CEntityId& /*party*/) {}
void CQmConferenceMonitor::ConferenceDeallocated(InteractionId /*conference*/) {}

}  // namespace QueueManager
