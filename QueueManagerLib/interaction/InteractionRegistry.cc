#include "interaction/InteractionRegistry.h"

#include <algorithm>

namespace QueueManager {

InteractionRegistry& InteractionRegistry::Instance() {
  static InteractionRegistry* const registry = new InteractionRegistry();
  return *registry;
}

void InteractionRegistry::Install() { cache_.SetInteractionMonitorStore(this); }

void InteractionRegistry::AddLocked(std::uint32_t id, CQmInteractionMonitorGuts& guts) {
  Watchers& watchers = byInteraction_[id];
  if (!watchers.first) {
    watchers.first = GutsPtr(&guts);
    return;
  }
  if (!watchers.more) watchers.more = std::make_unique<std::vector<GutsPtr>>();
  watchers.more->emplace_back(&guts);
}

void InteractionRegistry::RemoveLocked(std::uint32_t id, const CQmInteractionMonitorGuts& guts) {
  Watchers* watchers = byInteraction_.Find(id);
  if (watchers == nullptr) return;
  const auto isGuts = [&guts](const GutsPtr& entry) { return entry.get() == &guts; };
  if (isGuts(watchers->first)) {
    if (!watchers->more) {
      byInteraction_.Erase(id);
      // The table never shrinks as it empties; once empty, it starts small.
      if (byInteraction_.empty()) byInteraction_.clear();
      return;
    }
    // The next in activation order moves up.
    watchers->first = std::move(watchers->more->front());
    watchers->more->erase(watchers->more->begin());
  } else if (watchers->more) {
    std::erase_if(*watchers->more, isGuts);
  }
  if (watchers->more && watchers->more->empty()) watchers->more.reset();
}

bool InteractionRegistry::QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                                         CQmAttributeValue& value) {
  CQmCache::Instance().Lock().AssertHeld();
  const Watchers* watchers = byInteraction_.Find(id);
  for (std::size_t i = 0; watchers != nullptr && i < watchers->size(); ++i) {
    if ((*watchers)[i].AnswerLocked(id, name, value, true)) return true;
  }
  return false;
}

W4Notifier::ObjectTypes InteractionRegistry::QueryObjectType(std::uint32_t id) {
  CQmCache::Instance().Lock().AssertHeld();
  const Watchers* watchers = byInteraction_.Find(id);
  for (std::size_t i = 0; watchers != nullptr && i < watchers->size(); ++i) {
    const W4Notifier::ObjectTypes type = (*watchers)[i].ObjectTypeLocked(id);
    if (type != W4Notifier::eObjectTypeNone) return type;
  }
  return W4Notifier::eObjectTypeNone;
}

void InteractionRegistry::CollectWatchedInteractions(std::vector<std::uint32_t>& ids) {
  CQmCache::Instance().Lock().AssertHeld();
  const std::size_t first = ids.size();
  byInteraction_.ForEach([&ids](std::uint32_t id, const Watchers&) { ids.push_back(id); });
  std::sort(ids.begin() + static_cast<std::ptrdiff_t>(first), ids.end());
}

}  // namespace QueueManager
