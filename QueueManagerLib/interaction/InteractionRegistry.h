#pragma once

// The process-wide two-way index of interaction monitors and the
// interactions they watch; the cache's view of the interaction monitors.

#include <cstdint>
#include <memory>
#include <vector>

#include "QueueManager/Platform/RefCount.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "interaction/InteractionMonitorGuts.h"
#include "monitor/FlatIdMap.h"
#include "monitor/InteractionMonitorStore.h"
#include "monitor/QmCache.h"

namespace QueueManager {

// Thread-safe through the cache lock, which guards it; holds a counted
// reference to each registered implementation. Built on first use and never
// destroyed, so that monitors destroyed at exit may still leave it.
//
// Interaction id to the implementations that watch it, in activation order.
// Each implementation keeps its own ids (its watched table), so the other
// direction needs no index here.
class InteractionRegistry final : public IInteractionMonitorStore {
 public:
  static InteractionRegistry& Instance();

  // Installs the registry as the cache's store (again after a cache reset).
  void Install() QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // REQUIRES: `guts` does not watch `id` yet.
  void AddLocked(std::uint32_t id, CQmInteractionMonitorGuts& guts)
      QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  void RemoveLocked(std::uint32_t id, const CQmInteractionMonitorGuts& guts)
      QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());

  // IInteractionMonitorStore, with the cache lock held.
  bool QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                      CQmAttributeValue& value) override;
  W4Notifier::ObjectTypes QueryObjectType(std::uint32_t id) override;
  void CollectWatchedInteractions(std::vector<std::uint32_t>& ids) override;

 private:
  using GutsPtr = W4Util::ObjectPtr<CQmInteractionMonitorGuts>;
  // The watchers of one interaction: nearly always one monitor, held in the
  // table's slot; further ones in `more`. `first` is set while in the table.
  struct Watchers {
    GutsPtr first;
    std::unique_ptr<std::vector<GutsPtr>> more;

    std::size_t size() const { return 1 + (more ? more->size() : 0); }
    CQmInteractionMonitorGuts& operator[](std::size_t i) const {
      return i == 0 ? *first : *(*more)[i - 1];
    }
  };
  InteractionRegistry() : cache_(CQmCache::Instance()) {}

  CQmCache& cache_;
  FlatIdMap<Watchers> byInteraction_ QM_GUARDED_BY(CQmCache::Instance().Lock());
};

}  // namespace QueueManager
