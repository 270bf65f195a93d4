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
  for (const auto& [queue, inner] : other.monitors_) {
    monitors_.emplace(queue, std::make_unique<CQmMultiQueueMonitorGuts>(*inner, this));
  }
}

CQmMultiQueueMonitor& CQmMultiQueueMonitor::operator=(const CQmMultiQueueMonitor& other) {
  if (this == &other) return *this;
  std::map<CEntityId, std::unique_ptr<CQmMultiQueueMonitorGuts>> copies;
  for (const auto& [queue, inner] : other.monitors_) {
    copies.emplace(queue, std::make_unique<CQmMultiQueueMonitorGuts>(*inner, this));
  }
  monitors_.swap(copies);  // the previous inner monitors detach as `copies` goes
  return *this;
}

CQmMultiQueueMonitor::~CQmMultiQueueMonitor() {
  // Closed before the map is touched: a callback running on another thread
  // may still change it (deactivating its own queue), and none starts later.
  gate_->Close();
  monitors_.clear();
}

void CQmMultiQueueMonitor::Activate(const CEntityId& queue,
                                    const std::vector<CQmAttributeName>& names, bool synchronous) {
  if (queue.QueryObjectType() == W4Notifier::eObjectTypeNone) return;
  const auto it = monitors_.find(queue);
  if (it != monitors_.end()) {
    it->second->RequestAttributeUpdateCallback(names);
    return;
  }
  auto inserted = monitors_.emplace(queue, std::make_unique<CQmMultiQueueMonitorGuts>(this));
  inserted.first->second->Activate(queue, names, synchronous);
}

void CQmMultiQueueMonitor::RequestAttributeUpdateCallback(
    const CEntityId& queue, const std::vector<CQmAttributeName>& names) {
  const auto it = monitors_.find(queue);
  if (it != monitors_.end()) it->second->RequestAttributeUpdateCallback(names);
}

void CQmMultiQueueMonitor::RequestAttributeUpdateCallback(const CEntityId& queue,
                                                          const CQmAttributeName& name) {
  const auto it = monitors_.find(queue);
  if (it != monitors_.end()) it->second->RequestAttributeUpdateCallback(name);
}

void CQmMultiQueueMonitor::Deactivate(const CEntityId& queue) {
  const auto it = monitors_.find(queue);
  if (it == monitors_.end()) return;
  // Out of the map first, so that a callback that runs meanwhile on this
  // thread and looks at the map does not find a dying monitor.
  std::unique_ptr<CQmMultiQueueMonitorGuts> inner = std::move(it->second);
  monitors_.erase(it);
  inner.reset();
}

void CQmMultiQueueMonitor::QueryStatistics(const CEntityId& queue, CQmQueueStats& stats) const {
  const auto it = monitors_.find(queue);
  if (it == monitors_.end()) {
    stats = CQmQueueStats();
    return;
  }
  it->second->QueryStatistics(stats);
}

void CQmMultiQueueMonitor::QueryMonitoredQueues(std::vector<CEntityId>& queues) const {
  queues.clear();
  for (const auto& entry : monitors_) queues.push_back(entry.first);
}

int CQmMultiQueueMonitor::QueryClockSkew() const { return CQmCache::Instance().QueryClockSkew(); }

}  // namespace QueueManager
