#include <memory>

#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/QueueMonitor.h"
#include "monitor/CallbackGate.h"
#include "monitor/QmCache.h"

namespace QueueManager {

using W4Notifier::CEntityId;

// ---- CQmMultiQueueMonitorGuts ----

CQmMultiQueueMonitorGuts::CQmMultiQueueMonitorGuts(CQmMultiQueueMonitor* owner)
    : CQmQueueMonitor(owner->gate_), owner_(owner) {}

CQmMultiQueueMonitorGuts::CQmMultiQueueMonitorGuts(const CQmMultiQueueMonitorGuts& other,
                                                   CQmMultiQueueMonitor* owner)
    : CQmQueueMonitor(other, owner->gate_), owner_(owner) {}

CQmMultiQueueMonitorGuts::~CQmMultiQueueMonitorGuts() {
  // Detached here, while this object is still whole: a callback running on
  // another thread must not see it half destroyed.
  Deactivate();
}

void CQmMultiQueueMonitorGuts::AttributesUpdated(const CEntityId& queue, InteractionId id,
                                                 const CQmAttributeMap& attributes) {
  owner_->AttributesUpdated(queue, id, attributes);
}

void CQmMultiQueueMonitorGuts::InteractionAdded(const CEntityId& queue, InteractionId id,
                                                const CQmAttributeMap& attributes) {
  owner_->InteractionAdded(queue, id, attributes);
}

void CQmMultiQueueMonitorGuts::InteractionRemoved(const CEntityId& queue, InteractionId id) {
  owner_->InteractionRemoved(queue, id);
}

void CQmMultiQueueMonitorGuts::StatisticsUpdate(const CEntityId& queue,
                                                const CQmQueueStats& stats) {
  owner_->StatisticsUpdate(queue, stats);
}

void CQmMultiQueueMonitorGuts::QueueRemoved(const CEntityId& queue) { owner_->QueueRemoved(queue); }

// ---- CQmMultiQueueMonitor ----

CQmMultiQueueMonitor::CQmMultiQueueMonitor() : gate_(CallbackGate::MakeOpen()) {}

CQmMultiQueueMonitor::CQmMultiQueueMonitor(const CQmMultiQueueMonitor& other)
    : gate_(CallbackGate::MakeOpen()) {
  // The copy owns unattached copies: it answers queries, receives nothing,
  // and destroys only its own inner monitors.
  W4Os::MutexLock lock(&other.mutex_);
  for (const auto& [queue, inner] : other.monitors_) {
    monitors_.emplace(queue, std::make_shared<CQmMultiQueueMonitorGuts>(*inner, this));
  }
}

CQmMultiQueueMonitor& CQmMultiQueueMonitor::operator=(const CQmMultiQueueMonitor& other) {
  if (this == &other) return *this;
  std::map<CEntityId, Inner> copies;
  {
    W4Os::MutexLock lock(&other.mutex_);
    for (const auto& [queue, inner] : other.monitors_) {
      copies.emplace(queue, std::make_shared<CQmMultiQueueMonitorGuts>(*inner, this));
    }
  }
  {
    W4Os::MutexLock lock(&mutex_);
    monitors_.swap(copies);
  }
  for (auto& [queue, inner] : copies) inner->Deactivate();  // the previous ones
  return *this;
}

CQmMultiQueueMonitor::~CQmMultiQueueMonitor() {
  // Closed before the map is touched: a callback running on another thread
  // may still change it (deactivating its own queue), and none starts later.
  gate_->Close();
  std::map<CEntityId, Inner> inner;
  {
    W4Os::MutexLock lock(&mutex_);
    inner.swap(monitors_);
  }
  for (auto& [queue, monitor] : inner) monitor->Deactivate();
}

CQmMultiQueueMonitor::Inner CQmMultiQueueMonitor::Find(const CEntityId& queue) const {
  W4Os::MutexLock lock(&mutex_);
  const auto it = monitors_.find(queue);
  return it == monitors_.end() ? nullptr : it->second;
}

void CQmMultiQueueMonitor::Activate(const CEntityId& queue,
                                    const std::vector<CQmAttributeName>& names, bool synchronous) {
  if (queue.QueryObjectType() == W4Notifier::eObjectTypeNone) return;
  Inner inner;
  bool added = false;
  {
    W4Os::MutexLock lock(&mutex_);
    auto [it, inserted] = monitors_.try_emplace(queue);
    if (inserted) it->second = std::make_shared<CQmMultiQueueMonitorGuts>(this);
    inner = it->second;
    added = inserted;
  }
  if (added) {
    inner->Activate(queue, names, synchronous);
  } else {
    inner->RequestAttributeUpdateCallback(names);
  }
}

void CQmMultiQueueMonitor::RequestAttributeUpdateCallback(
    const CEntityId& queue, const std::vector<CQmAttributeName>& names) {
  if (const Inner inner = Find(queue)) inner->RequestAttributeUpdateCallback(names);
}

void CQmMultiQueueMonitor::RequestAttributeUpdateCallback(const CEntityId& queue,
                                                          const CQmAttributeName& name) {
  if (const Inner inner = Find(queue)) inner->RequestAttributeUpdateCallback(name);
}

void CQmMultiQueueMonitor::Deactivate(const CEntityId& queue) {
  // Out of the map first, so that a callback that runs meanwhile on this
  // thread and looks at the map does not find a dying monitor.
  Inner inner;
  {
    W4Os::MutexLock lock(&mutex_);
    const auto it = monitors_.find(queue);
    if (it != monitors_.end()) {
      inner = std::move(it->second);
      monitors_.erase(it);
    }
  }
  if (inner) {
    inner->Deactivate();  // detaches and waits, whoever else holds it
  } else {
    // Another thread (or a callback) took it out first: its callback may
    // still run, and a stop returns only after it.
    gate_->Quiesce();
  }
}

void CQmMultiQueueMonitor::QueryStatistics(const CEntityId& queue, CQmQueueStats& stats) const {
  if (const Inner inner = Find(queue)) {
    inner->QueryStatistics(stats);
  } else {
    stats = CQmQueueStats();
  }
}

void CQmMultiQueueMonitor::QueryMonitoredQueues(std::vector<CEntityId>& queues) const {
  queues.clear();
  W4Os::MutexLock lock(&mutex_);
  for (const auto& entry : monitors_) queues.push_back(entry.first);
}

int CQmMultiQueueMonitor::QueryClockSkew() const { return CQmCache::Instance().QueryClockSkew(); }

}  // namespace QueueManager
