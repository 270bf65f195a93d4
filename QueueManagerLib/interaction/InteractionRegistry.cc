#include "interaction/InteractionRegistry.h"

#include <algorithm>

namespace QueueManager {

InteractionRegistry& InteractionRegistry::Instance() {
  static InteractionRegistry* const registry = new InteractionRegistry();
  return *registry;
}

void InteractionRegistry::Install() { cache_.SetInteractionMonitorStore(this); }

void InteractionRegistry::AddLocked(std::uint32_t id, CQmInteractionMonitorGuts& guts) {
  if (!byMonitor_[guts.Id()].insert(id).second) return;
  byInteraction_[id].emplace_back(&guts);
}

void InteractionRegistry::RemoveLocked(std::uint32_t id, MonitorId guts) {
  const auto ids = byMonitor_.find(guts);
  if (ids == byMonitor_.end() || ids->second.erase(id) == 0) return;
  if (ids->second.empty()) byMonitor_.erase(ids);
  const auto it = byInteraction_.find(id);
  if (it == byInteraction_.end()) return;
  std::erase_if(it->second, [guts](const GutsPtr& entry) { return entry->Id() == guts; });
  if (it->second.empty()) byInteraction_.erase(it);
}

void InteractionRegistry::RemoveAllLocked(MonitorId guts) {
  const auto ids = byMonitor_.find(guts);
  if (ids == byMonitor_.end()) return;
  const std::set<std::uint32_t> watched = std::move(ids->second);
  byMonitor_.erase(ids);
  for (const std::uint32_t id : watched) {
    const auto it = byInteraction_.find(id);
    if (it == byInteraction_.end()) continue;
    std::erase_if(it->second, [guts](const GutsPtr& entry) { return entry->Id() == guts; });
    if (it->second.empty()) byInteraction_.erase(it);
  }
}

bool InteractionRegistry::QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                                         CQmAttributeValue& value) {
  CQmCache::Instance().Lock().AssertHeld();
  const auto it = byInteraction_.find(id);
  if (it == byInteraction_.end()) return false;
  for (const GutsPtr& guts : it->second) {
    if (guts->AnswerLocked(id, name, value, true)) return true;
  }
  return false;
}

W4Notifier::ObjectTypes InteractionRegistry::QueryObjectType(std::uint32_t id) {
  CQmCache::Instance().Lock().AssertHeld();
  const auto it = byInteraction_.find(id);
  if (it == byInteraction_.end()) return W4Notifier::eObjectTypeNone;
  for (const GutsPtr& guts : it->second) {
    const W4Notifier::ObjectTypes type = guts->ObjectTypeLocked(id);
    if (type != W4Notifier::eObjectTypeNone) return type;
  }
  return W4Notifier::eObjectTypeNone;
}

void InteractionRegistry::CollectWatchedInteractions(std::vector<std::uint32_t>& ids) {
  CQmCache::Instance().Lock().AssertHeld();
  const std::size_t first = ids.size();
  for (const auto& entry : byInteraction_) ids.push_back(entry.first);
  std::sort(ids.begin() + static_cast<std::ptrdiff_t>(first), ids.end());
}

}  // namespace QueueManager
