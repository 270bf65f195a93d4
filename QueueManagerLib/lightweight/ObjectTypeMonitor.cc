#include "QueueManager/ObjectTypeMonitor.h"

#include "QueueManager/Platform/Trace.h"
#include "lightweight/ObjectTypeMonitorImpl.h"

namespace QueueManager {

W4Notifier::CEntityId ObjectTypeEntity(W4Notifier::ObjectTypes type) {
  return W4Notifier::CEntityId(W4Notifier::eObjectTypeEntity,
                               W4Notifier::GetNotifierObjectTypeName(type), 0);
}

CQmObjectTypeMonitor::CQmObjectTypeMonitor() = default;

CQmObjectTypeMonitor::~CQmObjectTypeMonitor() { deactivate(); }

bool CQmObjectTypeMonitor::activate(
    W4Notifier::ObjectTypes type,
    const w4core::InterfacePtr<IQmObjectTypeMonitorInterface>& callback,
    const std::vector<CQmAttributeName>& names, bool flag) {
  if (!callback) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure,
             "QueueManager::CQmObjectTypeMonitor::activate", "refused: no callback interface");
    return false;
  }
  // Left active, the earlier implementation would keep its subscription and
  // its callback for ever.
  deactivate();
  impl_ = w4core::MakeInterface<CQmObjectTypeMonitorImpl>();
  // A local reference: a callback may deactivate the handle meanwhile.
  const w4core::InterfacePtr<CQmObjectTypeMonitorImpl> impl = impl_;
  impl->Activate(type, callback, names, flag);
  return true;
}

void CQmObjectTypeMonitor::deactivate() {
  const w4core::InterfacePtr<CQmObjectTypeMonitorImpl> impl = std::move(impl_);
  if (impl) impl->Deactivate();
}

}  // namespace QueueManager
