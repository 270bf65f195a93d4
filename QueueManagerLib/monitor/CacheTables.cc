#include "monitor/CacheTables.h"

#include <algorithm>

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

// ---- InteractionRecord ----

bool InteractionRecord::IsOn(const QueueRecord* queue) const {
  if (firstQueue_ == queue) return true;
  return std::find(moreQueues_.begin(), moreQueues_.end(), queue) != moreQueues_.end();
}

void InteractionRecord::AddQueue(QueueRecord* queue) {
  if (IsOn(queue)) return;
  if (firstQueue_ == nullptr) {
    firstQueue_ = queue;
  } else {
    moreQueues_.push_back(queue);
  }
}

void InteractionRecord::RemoveQueue(const QueueRecord* queue) {
  if (firstQueue_ == queue) {
    if (moreQueues_.empty()) {
      firstQueue_ = nullptr;
    } else {
      firstQueue_ = moreQueues_.back();
      moreQueues_.pop_back();
    }
    return;
  }
  const auto it = std::find(moreQueues_.begin(), moreQueues_.end(), queue);
  if (it != moreQueues_.end()) moreQueues_.erase(it);
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
  QueueRecord* all = FindQueue(CEntityId(queue.QueryObjectType(), W4Notifier::kAllObjects, 0));
  if (all == nullptr) return nullptr;
  const auto it = all->children_.find(queue.QueryObjectId());
  return it == all->children_.end() ? nullptr : it->second.get();
}

QueueRecord* CacheTables::FindOrAddChild(const CEntityId& queue) {
  QueueRecord* all = FindQueue(CEntityId(queue.QueryObjectType(), W4Notifier::kAllObjects, 0));
  if (all == nullptr) return nullptr;
  auto [it, created] = all->children_.try_emplace(queue.QueryObjectId());
  if (created) it->second = std::make_unique<QueueRecord>(queue);
  return it->second.get();
}

void CacheTables::DropMembers(QueueRecord& record, std::vector<std::uint32_t>& dropped) {
  for (auto& entry : record.children_) DropMembers(*entry.second, dropped);
  record.children_.clear();
  for (const std::uint32_t id : record.members_) {
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
    const auto all = queues_.find(CEntityId(queue.QueryObjectType(), W4Notifier::kAllObjects, 0));
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
  interaction.type_ = type;
  interaction.AddQueue(&queue);
  queue.members_.insert(id);
  return interaction;
}

bool CacheTables::RemoveFromQueue(QueueRecord& queue, std::uint32_t id) {
  if (queue.members_.erase(id) == 0) return false;
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
  if (record->members_.count(id) != 0) return true;
  for (const auto& entry : record->children_) {
    if (entry.second->members_.count(id) != 0) return true;
  }
  return false;
}

bool CacheTables::QueueContents(const CEntityId& queue, std::vector<std::uint32_t>& ids) const {
  const QueueRecord* record = FindQueue(queue);
  if (record == nullptr) return false;
  ids.assign(record->members_.begin(), record->members_.end());
  if (record->children_.empty()) return true;
  // An interaction may be on several queues of the type: list it once.
  std::unordered_set<std::uint32_t> seen(record->members_);
  for (const auto& entry : record->children_) {
    for (const std::uint32_t id : entry.second->members_) {
      if (seen.insert(id).second) ids.push_back(id);
    }
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
  const auto it = interaction.attributes_.find(name);
  if (it == interaction.attributes_.end()) {
    interaction.attributes_.insert(name, value);
    return AttributeStore::kChanged;
  }
  if (it->second == value) return AttributeStore::kSame;
  it->second = value;
  return AttributeStore::kChanged;
}

void CacheTables::Prefetch(const InteractionRecord& interaction) {
  // The entries live in nodes of their own: walking the map reads only its
  // index, and asks for each node ahead of the update that will compare it.
  for (const auto& entry : interaction.attributes_) __builtin_prefetch(&entry);
}

AttributeLookup CacheTables::QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                                            CQmAttributeValue& value) const {
  value.clear();
  const InteractionRecord* interaction = FindInteraction(id);
  if (interaction == nullptr || !interaction->OnAnyQueue()) return AttributeLookup::kNotCached;
  if (!IsMonitored(*interaction, name)) return AttributeLookup::kNotOnMonitoringQueue;
  if (interaction->attributes_.empty()) return AttributeLookup::kNoEntries;
  const auto it = interaction->attributes_.find(name);
  if (it == interaction->attributes_.end()) return AttributeLookup::kNotSet;
  value = it->second;
  return AttributeLookup::kFound;
}

void CacheTables::Clear() {
  queues_.clear();
  interactions_.clear();
  names_.Clear();
}

}  // namespace QueueManager
