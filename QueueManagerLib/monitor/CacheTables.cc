#include "monitor/CacheTables.h"

#include <algorithm>
#include <unordered_set>

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;

// The queue table starts sized for a typical contact centre's queues and
// grows from there.
constexpr std::size_t kInitialBuckets = 100;

}  // namespace

// ---- QueueRecord ----

bool QueueRecord::AddMonitor(MonitorId monitor) {
  W4Os::MutexLock lock(&mutex_);
  if (std::find(monitors_.begin(), monitors_.end(), monitor) != monitors_.end()) return false;
  monitors_.push_back(monitor);
  return true;
}

bool QueueRecord::RemoveMonitor(MonitorId monitor) {
  W4Os::MutexLock lock(&mutex_);
  const auto it = std::find(monitors_.begin(), monitors_.end(), monitor);
  if (it == monitors_.end()) return false;
  monitors_.erase(it);
  return true;
}

std::vector<std::uint32_t> QueueRecord::MemberIds() const {
  std::vector<std::uint32_t> ids;
  ids.reserve(members_.size());
  ForEachMember([&](std::uint32_t id) { ids.push_back(id); });
  return ids;
}

// ---- CacheTables: queues ----

CacheTables::CacheTables() { queues_.reserve(kInitialBuckets); }

QueueRecord* CacheTables::FindQueue(const CEntityId& queue) {
  const auto it = queues_.find(queue);
  return it == queues_.end() ? nullptr : it->second.get();
}

const QueueRecord* CacheTables::FindQueue(const CEntityId& queue) const {
  const auto it = queues_.find(queue);
  return it == queues_.end() ? nullptr : it->second.get();
}

std::pair<QueueRecord*, bool> CacheTables::FindOrAddQueue(const CEntityId& queue) {
  auto [it, created] = queues_.try_emplace(queue);
  if (created) it->second = std::make_unique<QueueRecord>(queue);
  return {it->second.get(), created};
}

QueueRecord* CacheTables::FindRoute(const CEntityId& queue, bool viaAllQueues) {
  if (!viaAllQueues) return FindQueue(queue);
  QueueRecord* all = FindQueue(AllQueuesEntity(queue));
  if (all == nullptr) return nullptr;
  const auto it = all->children_.find(queue.QueryObjectId());
  return it == all->children_.end() ? nullptr : it->second.get();
}

QueueRecord* CacheTables::FindOrAddChild(const CEntityId& queue) {
  QueueRecord* all = FindQueue(AllQueuesEntity(queue));
  if (all == nullptr) return nullptr;
  auto [it, created] = all->children_.try_emplace(queue.QueryObjectId());
  if (created) it->second = std::make_unique<QueueRecord>(queue);
  return it->second.get();
}

void CacheTables::DropMembers(QueueRecord& record, std::vector<std::uint32_t>& dropped) {
  for (auto& entry : record.children_) DropMembers(*entry.second, dropped);
  record.children_.clear();
  // Erasing interactions moves records, not the member set being walked.
  for (const std::uint32_t id : record.MemberIds()) {
    InteractionRecord* interaction = interactions_.Find(id);
    if (interaction == nullptr) continue;
    interaction->RemoveQueue(&record);
    if (!interaction->OnAnyQueue()) {
      interactions_.Erase(id);
      dropped.push_back(id);
    }
  }
  record.members_.clear();
}

bool CacheTables::DropQueue(const CEntityId& queue, std::vector<std::uint32_t>& dropped,
                            bool viaAllQueues) {
  if (viaAllQueues) {
    QueueRecord* child = FindRoute(queue, true);
    if (child == nullptr) return false;
    DropMembers(*child, dropped);
    const auto all = queues_.find(AllQueuesEntity(queue));
    if (all != queues_.end()) all->second->children_.erase(queue.QueryObjectId());
    return true;
  }
  const auto it = queues_.find(queue);
  if (it == queues_.end()) return false;
  DropMembers(*it->second, dropped);
  queues_.erase(it);
  return true;
}

std::vector<CEntityId> CacheTables::Queues() const {
  std::vector<CEntityId> queues;
  queues.reserve(queues_.size());
  for (const auto& entry : queues_) queues.push_back(entry.first);
  return queues;
}

// ---- CacheTables: membership ----

InteractionRecord& CacheTables::AddToQueue(QueueRecord& queue, std::uint32_t id,
                                           W4Notifier::ObjectTypes type) {
  InteractionRecord& interaction = interactions_[id];
  interaction.SetType(type);
  interaction.AddQueue(&queue);
  queue.members_[id];
  return interaction;
}

bool CacheTables::RemoveFromQueue(QueueRecord& queue, std::uint32_t id) {
  if (!queue.members_.Erase(id)) return false;
  if (InteractionRecord* interaction = FindInteraction(id)) interaction->RemoveQueue(&queue);
  return true;
}

bool CacheTables::ForgetIfUnqueued(std::uint32_t id) {
  const InteractionRecord* interaction = interactions_.Find(id);
  if (interaction == nullptr || interaction->OnAnyQueue()) return false;
  interactions_.Erase(id);
  return true;
}

bool CacheTables::IsInQueue(const CEntityId& queue, std::uint32_t id) const {
  const QueueRecord* record = FindQueue(queue);
  if (record == nullptr) return false;
  if (record->members_.Find(id) != nullptr) return true;
  for (const auto& entry : record->children_) {
    if (entry.second->members_.Find(id) != nullptr) return true;
  }
  return false;
}

bool CacheTables::QueueContents(const CEntityId& queue, std::vector<std::uint32_t>& ids) const {
  const QueueRecord* record = FindQueue(queue);
  if (record == nullptr) return false;
  ids = record->MemberIds();
  if (record->children_.empty()) return true;
  // An interaction may be on several queues of the type: list it once.
  std::unordered_set<std::uint32_t> seen(ids.begin(), ids.end());
  for (const auto& entry : record->children_) {
    entry.second->ForEachMember([&](std::uint32_t id) {
      if (seen.insert(id).second) ids.push_back(id);
    });
  }
  return true;
}

InteractionRecord* CacheTables::FindInteraction(std::uint32_t id) { return interactions_.Find(id); }

const InteractionRecord* CacheTables::FindInteraction(std::uint32_t id) const {
  return interactions_.Find(id);
}

// ---- CacheTables: attributes ----

bool CacheTables::IsMonitored(const InteractionRecord& interaction,
                              const CQmAttributeName& name) const {
  bool monitored = false;
  interaction.ForEachQueue([&](const QueueRecord& queue) {
    monitored = monitored || names_.IsRegistered(queue.Queue().QueryObjectType(), name);
  });
  return monitored;
}

AttributeStore CacheTables::SetAttribute(std::uint32_t id, const CQmAttributeName& name,
                                         const CQmAttributeValue& value) {
  InteractionRecord* interaction = FindInteraction(id);
  if (interaction == nullptr) return AttributeStore::kNotMonitored;
  return SetAttribute(*interaction, name, value);
}

AttributeStore CacheTables::SetAttribute(InteractionRecord& interaction,
                                         const CQmAttributeName& name,
                                         const CQmAttributeValue& value) {
  if (!IsMonitored(interaction, name)) return AttributeStore::kNotMonitored;
  bool same = false;
  const bool changed = interaction.Merge(
      OneAttribute{name, value.QueryString()}, [](const CQmAttributeName&) { return true; },
      [&](const CQmAttributeName&, std::u16string_view) { same = true; });
  if (same) return AttributeStore::kSame;
  return changed ? AttributeStore::kChanged : AttributeStore::kSame;
}

void CacheTables::Prefetch(const InteractionRecord& interaction) { interaction.Prefetch(); }

AttributeLookup CacheTables::QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                                            CQmAttributeValue& value) const {
  value.clear();
  const InteractionRecord* interaction = FindInteraction(id);
  if (interaction == nullptr || !interaction->OnAnyQueue()) return AttributeLookup::kNotCached;
  if (!IsMonitored(*interaction, name)) return AttributeLookup::kNotOnMonitoringQueue;
  if (interaction->AttributeCount() == 0) return AttributeLookup::kNoEntries;
  return interaction->FindAttribute(name, value) ? AttributeLookup::kFound
                                                 : AttributeLookup::kNotSet;
}

void CacheTables::Clear() {
  queues_.clear();
  interactions_.clear();
  names_.Clear();
}

}  // namespace QueueManager
