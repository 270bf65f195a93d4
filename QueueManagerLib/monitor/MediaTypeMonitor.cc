#include "QueueManager/MediaTypeMonitor.h"

#include <map>
#include <memory>
#include <utility>

#include "QueueManager/Platform/Sync.h"
#include "monitor/CallbackGate.h"
#include "monitor/MediaTypeEntity.h"
#include "monitor/MonitorId.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using Inner = std::shared_ptr<CQmMediaTypeMonitorGuts>;

// The inner monitors of the active media type monitors, by their owner's id.
// Shared, so that an operation that found an inner monitor can use it after
// the lock is released even when another thread (a callback) deactivates the
// owner meanwhile: the inner monitor is then merely detached. The mutex is a
// leaf: never held across a call into an inner monitor, the cache or the
// application.
struct MediaTypeRegistry {
  W4Os::Mutex mutex;
  std::map<std::uint64_t, Inner> inner QM_GUARDED_BY(mutex);
};

MediaTypeRegistry& Registry() {
  // Never destroyed: monitors may be destroyed by static destructors.
  static MediaTypeRegistry* const registry = new MediaTypeRegistry;
  return *registry;
}

// Enters `replacement` under `owner` (null: removes the entry) and gives the
// inner monitor it displaced.
Inner Exchange(std::uint64_t owner, Inner replacement) {
  MediaTypeRegistry& registry = Registry();
  W4Os::MutexLock lock(&registry.mutex);
  const auto it = registry.inner.find(owner);
  Inner previous;
  if (it != registry.inner.end()) previous = std::move(it->second);
  if (replacement) {
    registry.inner[owner] = std::move(replacement);
  } else if (it != registry.inner.end()) {
    registry.inner.erase(it);
  }
  return previous;
}

Inner Find(std::uint64_t owner) {
  MediaTypeRegistry& registry = Registry();
  W4Os::MutexLock lock(&registry.mutex);
  const auto it = registry.inner.find(owner);
  return it == registry.inner.end() ? nullptr : it->second;
}

}  // namespace

// ---- CQmMediaTypeMonitorGuts ----

CQmMediaTypeMonitorGuts::CQmMediaTypeMonitorGuts(CQmMediaTypeMonitor* owner)
    : CQmQueueMonitor(owner->gate_), owner_(owner) {}

CQmMediaTypeMonitorGuts::~CQmMediaTypeMonitorGuts() {
  // Detached while this object is still whole: a callback running on another
  // thread must not see it half destroyed.
  Deactivate();
}

void CQmMediaTypeMonitorGuts::AttributesUpdated(const CEntityId& /*queue*/, InteractionId id,
                                                const CQmAttributeMap& attributes) {
  owner_->AttributesUpdated(id, attributes);
}

void CQmMediaTypeMonitorGuts::InteractionAdded(const CEntityId& /*queue*/, InteractionId id,
                                               const CQmAttributeMap& attributes) {
  owner_->AttributesUpdated(id, attributes);
}

void CQmMediaTypeMonitorGuts::InteractionRemoved(const CEntityId& /*queue*/, InteractionId id) {
  owner_->InteractionDeallocated(id);
}

// ---- CQmMediaTypeMonitor ----

CQmMediaTypeMonitor::CQmMediaTypeMonitor() : gate_(CallbackGate::Make()), id_(NewMonitorId()) {}

CQmMediaTypeMonitor::~CQmMediaTypeMonitor() { Deactivate(); }

void CQmMediaTypeMonitor::Activate(W4Notifier::ObjectTypes type,
                                   const std::vector<CQmAttributeName>& names, bool synchronous) {
  Activate(W4Notifier::GetNotifierObjectTypeName(type), names, synchronous);
}

void CQmMediaTypeMonitor::Activate(const W4STD::w4idstring& typeName,
                                   const std::vector<CQmAttributeName>& names, bool synchronous) {
  if (typeName.empty()) return;
  gate_->Open();
  // Registered before it is activated, so that a callback of the initial
  // contents that deactivates this monitor finds it.
  const auto inner = std::make_shared<CQmMediaTypeMonitorGuts>(this);
  if (Inner previous = Exchange(id_, inner)) {
    // Replaced: none of its callbacks follows once this returns (inside a
    // callback of this monitor, once that callback has ended).
    previous->Deactivate();
  }
  inner->Activate(MediaTypeEntity(typeName), names, synchronous);
}

void CQmMediaTypeMonitor::RequestAttributeUpdateCallback(
    const std::vector<CQmAttributeName>& names) {
  if (const Inner inner = Find(id_)) inner->RequestAttributeUpdateCallback(names);
}

void CQmMediaTypeMonitor::RequestAttributeUpdateCallback(const CQmAttributeName& name) {
  RequestAttributeUpdateCallback(std::vector<CQmAttributeName>{name});
}

void CQmMediaTypeMonitor::Deactivate() {
  // Closed first, by every stop: a callback running on another thread may
  // have taken the inner monitor out of the registry already (stopping or
  // replacing it), and this must wait for it all the same. What such a
  // callback registered before it ended is found below.
  gate_->Close();
  if (const Inner inner = Exchange(id_, nullptr)) inner->Deactivate();
}

}  // namespace QueueManager
