#pragma once

// The process-wide two-way index of interaction monitors and the
// interactions they watch; the cache's view of the interaction monitors.

#include <cstdint>
#include <set>
#include <unordered_map>
#include <vector>

#include "QueueManager/Platform/RefCount.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "interaction/InteractionMonitorGuts.h"
#include "monitor/InteractionMonitorStore.h"
#include "monitor/MonitorId.h"
#include "monitor/QmCache.h"

namespace QueueManager {

// Thread-safe through the cache lock, which guards it; holds a counted
// reference to each registered implementation. Built on first use and never
// destroyed, so that monitors destroyed at exit may still leave it.
//
// Interaction id to the implementations that activated it (in activation
// order), and implementation to its ids.
class InteractionRegistry final : public IInteractionMonitorStore {
 public:
  static InteractionRegistry& Instance();

  // Installs the registry as the cache's store (again after a cache reset).
  void Install() QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void AddLocked(std::uint32_t id, CQmInteractionMonitorGuts& guts)
      QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  void RemoveLocked(std::uint32_t id, MonitorId guts)
      QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  void RemoveAllLocked(MonitorId guts) QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());

  // IInteractionMonitorStore, with the cache lock held.
  bool QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                      CQmAttributeValue& value) override;
  W4Notifier::ObjectTypes QueryObjectType(std::uint32_t id) override;
  void CollectWatchedInteractions(std::vector<std::uint32_t>& ids) override;

 private:
  using GutsPtr = W4Util::ObjectPtr<CQmInteractionMonitorGuts>;
  InteractionRegistry() : cache_(CQmCache::Instance()) {}

  CQmCache& cache_;
  std::unordered_map<std::uint32_t, std::vector<GutsPtr>> byInteraction_
      QM_GUARDED_BY(CQmCache::Instance().Lock());
  std::unordered_map<MonitorId, std::set<std::uint32_t>> byMonitor_
      QM_GUARDED_BY(CQmCache::Instance().Lock());
};

}  // namespace QueueManager
