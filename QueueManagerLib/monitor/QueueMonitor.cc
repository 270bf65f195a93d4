#include "QueueManager/QueueMonitor.h"

#include <memory>
#include <utility>

#include "QueueManager/Platform/ObjectTypes.h"
#include "monitor/CallbackGate.h"
#include "monitor/MonitorId.h"
#include "monitor/QmCache.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager {

using W4Notifier::CEntityId;

CQmQueueMonitor::CQmQueueMonitor() : gate_(CallbackGate::MakeOpen()) {}

CQmQueueMonitor::CQmQueueMonitor(std::shared_ptr<CallbackGate> gate) : gate_(std::move(gate)) {}

CQmQueueMonitor::CQmQueueMonitor(const CQmQueueMonitor& other)
    : CQmQueueMonitor(other, CallbackGate::MakeOpen()) {}

CQmQueueMonitor::CQmQueueMonitor(const CQmQueueMonitor& other, std::shared_ptr<CallbackGate> gate)
    : gate_(std::move(gate)) {
  W4Os::MutexLock lock(&other.mutex_);
  queue_ = other.queue_;
  names_ = other.names_;
}

CQmQueueMonitor& CQmQueueMonitor::operator=(const CQmQueueMonitor& other) {
  if (this == &other) return *this;
  // Left attached, this monitor would keep receiving its old queue's events
  // while claiming to watch the new one.
  Deactivate();
  CEntityId queue;
  std::set<CQmAttributeName> names;
  {
    W4Os::MutexLock lock(&other.mutex_);
    queue = other.queue_;
    names = other.names_;
  }
  W4Os::MutexLock lock(&mutex_);
  queue_ = queue;
  names_ = std::move(names);
  return *this;
}

CQmQueueMonitor::~CQmQueueMonitor() { Stop(); }

void CQmQueueMonitor::Stop() {
  // The callback this stop waits for may attach the monitor again; the stop
  // still leaves it stopped, as it promises, so it detaches what that
  // callback attached too.
  do {
    CEntityId queue;
    const MonitorId id = Detach(queue);
    // No callback of the attachment starts now (Detach); this waits for the
    // one another thread may be making, also when a callback of this monitor
    // detached it already and is still running.
    gate_->Quiesce();
    // A monitor destroyed at exit after the cache is gone only leaves the
    // proxy.
    if (id != 0 && CQmCache::Exists()) CQmCache::Instance().DeactivateMonitor(queue, id);
  } while (Attachment(nullptr) != 0 && !gate_->HeldHere());
}

MonitorId CQmQueueMonitor::Attachment(CEntityId* queue) const {
  W4Os::MutexLock lock(&mutex_);
  if (queue != nullptr) *queue = queue_;
  return attachment_;
}

MonitorId CQmQueueMonitor::Detach(CEntityId& queue) {
  W4Os::MutexLock lock(&mutex_);
  const MonitorId id = attachment_;
  queue = queue_;
  attachment_ = 0;
  if (id != 0) {
    queue_.Reset();
    names_.clear();
    // Lock order: the monitor's lock, then the proxy's.
    CQueueMonitorProxy::Disable(id);
  }
  return id;
}

void CQmQueueMonitor::Activate(const CEntityId& queue, const std::vector<CQmAttributeName>& names,
                               bool synchronous) {
  if (queue.QueryObjectType() == W4Notifier::eObjectTypeNone) return;
  MonitorId id = 0;
  MonitorId attaching = 0;
  {
    W4Os::MutexLock lock(&mutex_);
    if (attachment_ != 0) {
      id = attachment_;
    } else if (queue_.IsSet()) {
      return;  // a copy: never attached
    } else {
      attachment_ = NewMonitorId();
      queue_ = queue;
      names_.insert(names.begin(), names.end());
      // Registered under the monitor's lock, as Detach disables under it: a
      // stop on another thread right after this block must find the
      // attachment, or it would stay registered for good. Lock order: the
      // monitor's lock, then the proxy's.
      CQueueMonitorProxy::Activate(attachment_, this, names);
      attaching = attachment_;
    }
  }
  if (attaching != 0) {
    // The cache finds the attachment gone if a stop came meanwhile.
    CQmCache::Instance().ActivateMonitor(queue, attaching, names, false, synchronous, true);
  } else {
    // Already active: only a monitor whose load failed is loaded again.
    CQmCache::Instance().RetryFailedLoad(id, synchronous);
  }
}

void CQmQueueMonitor::RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names) {
  CEntityId queue;
  MonitorId id = 0;
  {
    W4Os::MutexLock lock(&mutex_);
    if (attachment_ == 0) return;
    id = attachment_;
    queue = queue_;
    names_.insert(names.begin(), names.end());
  }
  CQueueMonitorProxy::AddNames(id, names);
  CQmCache::Instance().ActivateMonitor(queue, id, names, true, true, true);
}

void CQmQueueMonitor::RequestAttributeUpdateCallback(const CQmAttributeName& name) {
  RequestAttributeUpdateCallback(std::vector<CQmAttributeName>{name});
}

void CQmQueueMonitor::Deactivate() { Stop(); }

bool CQmQueueMonitor::Contains(InteractionId id) const {
  CEntityId queue;
  Attachment(&queue);
  return CQmCache::Instance().IsInteractionInQueue(queue, id);
}

void CQmQueueMonitor::QueryContents(std::vector<InteractionId>& contents) const {
  CEntityId queue;
  Attachment(&queue);
  CQmCache::Instance().QueryQueueContents(queue, contents);
}

void CQmQueueMonitor::QueryStatistics(CQmQueueStats& stats) const {
  CEntityId queue;
  Attachment(&queue);
  if (queue.QueryObjectId() == W4Notifier::kAllObjects) return;
  CQmCache::Instance().QueryStatistics(queue, stats);
}

void CQmQueueMonitor::Monitors(std::vector<CQmAttributeName>& names) const {
  W4Os::MutexLock lock(&mutex_);
  names.assign(names_.begin(), names_.end());
}

bool CQmQueueMonitor::IsMonitored(const CQmAttributeName& name) const {
  W4Os::MutexLock lock(&mutex_);
  return names_.count(name) != 0;
}

int CQmQueueMonitor::QueryClockSkew() const { return CQmCache::Instance().QueryClockSkew(); }

}  // namespace QueueManager
