#include "QueueManager/ObjectTypeMonitor.h"

#include "lightweight/HandleSteps.h"
#include "lightweight/ObjectTypeMonitorImpl.h"

namespace QueueManager {

W4Notifier::CEntityId ObjectTypeEntity(W4Notifier::ObjectTypes type) {
  return W4Notifier::CEntityId(W4Notifier::eObjectTypeEntity,
                               W4Notifier::GetNotifierObjectTypeName(type), 0);
}

CQmObjectTypeMonitor::CQmObjectTypeMonitor()
    : handle_(std::make_unique<lightweight::MonitorHandle<CQmObjectTypeMonitorImpl>>()) {}

CQmObjectTypeMonitor::~CQmObjectTypeMonitor() { deactivate(); }

bool CQmObjectTypeMonitor::activate(
    W4Notifier::ObjectTypes type,
    const w4core::InterfacePtr<IQmObjectTypeMonitorInterface>& callback,
    const std::vector<CQmAttributeName>& names, bool flag) {
  if (lightweight::RefusesEmpty(callback, "QueueManager::CQmObjectTypeMonitor::activate")) {
    return false;
  }
  handle_->Activate([&](CQmObjectTypeMonitorImpl& impl, const lightweight::ActivationGate& gate) {
    impl.Activate(gate, type, callback, names, flag);
  });
  return true;
}

void CQmObjectTypeMonitor::deactivate() { handle_->Deactivate(); }

}  // namespace QueueManager
