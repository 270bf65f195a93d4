#include "QueueManager/QueueMonitor.h"

#include "QueueManager/Platform/ObjectTypes.h"
#include "monitor/QmCache.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager {

using W4Notifier::CEntityId;

CQmQueueMonitor::CQmQueueMonitor() = default;

CQmQueueMonitor::CQmQueueMonitor(const CQmQueueMonitor& other)
    : queue_(other.queue_), names_(other.names_) {}

CQmQueueMonitor& CQmQueueMonitor::operator=(const CQmQueueMonitor& other) {
  if (this == &other) return *this;
  // Left attached, this monitor would keep receiving its old queue's events
  // while claiming to watch the new one.
  Deactivate();
  queue_ = other.queue_;
  names_ = other.names_;
  return *this;
}

CQmQueueMonitor::~CQmQueueMonitor() {
  // First out of the proxy: once no callback runs on another thread, this
  // object's fields are this thread's alone (a callback may have deactivated
  // the monitor meanwhile).
  CQueueMonitorProxy::Deactivate(this);
  // A monitor destroyed at exit after the cache is gone only leaves the proxy.
  if (CQmCache::Exists()) {
    CQmCache::Instance().DeactivateMonitor(queue_, this);
  }
}

void CQmQueueMonitor::Activate(const CEntityId& queue, const std::vector<CQmAttributeName>& names,
                               bool synchronous) {
  if (queue.QueryObjectType() == W4Notifier::eObjectTypeNone || queue_.IsSet()) return;
  queue_ = queue;
  attached_ = true;
  CQueueMonitorProxy::AddNames(this, names);
  CQmCache::Instance().ActivateMonitor(queue, this, names, false, synchronous, true);
}

void CQmQueueMonitor::RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names) {
  if (!attached_) return;
  CQueueMonitorProxy::AddNames(this, names);
  CQmCache::Instance().ActivateMonitor(queue_, this, names, true, true, true);
}

void CQmQueueMonitor::RequestAttributeUpdateCallback(const CQmAttributeName& name) {
  RequestAttributeUpdateCallback(std::vector<CQmAttributeName>{name});
}

void CQmQueueMonitor::Deactivate() {
  // As in the destructor: the fields are read only once no callback of this
  // monitor runs on another thread.
  CQueueMonitorProxy::Deactivate(this);
  if (!queue_.IsSet()) return;
  CQmCache::Instance().DeactivateMonitor(queue_, this);
  queue_.Reset();
  attached_ = false;
  CQueueMonitorProxy::ClearNames(this);
}

bool CQmQueueMonitor::Contains(InteractionId id) const {
  return CQmCache::Instance().IsInteractionInQueue(queue_, id);
}

void CQmQueueMonitor::QueryContents(std::vector<InteractionId>& contents) const {
  CQmCache::Instance().QueryQueueContents(queue_, contents);
}

void CQmQueueMonitor::QueryStatistics(CQmQueueStats& stats) const {
  if (queue_.QueryObjectId() == W4Notifier::kAllObjects) return;
  CQmCache::Instance().QueryStatistics(queue_, stats);
}

void CQmQueueMonitor::Monitors(std::vector<CQmAttributeName>& names) const {
  names.assign(names_.begin(), names_.end());
}

bool CQmQueueMonitor::IsMonitored(const CQmAttributeName& name) const {
  return names_.count(name) != 0;
}

int CQmQueueMonitor::QueryClockSkew() const { return CQmCache::Instance().QueryClockSkew(); }

}  // namespace QueueManager
