#include "ServerState.h"

#include <algorithm>

#include "Wire.h"

namespace QueueManager::Emulator {
namespace {

const std::vector<CQmAttributeName> kNoNames;

std::uint32_t& CountOf(QueueCounts& counts, eStateClass state) {
  switch (state) {
    case eStateClass::kAlerting:
      return counts.alerting;
    case eStateClass::kConnected:
      return counts.connected;
    case eStateClass::kDisconnected:
      return counts.disconnected;
    case eStateClass::kHeld:
      return counts.held;
    case eStateClass::kMessaging:
      return counts.messaging;
    case eStateClass::kSystem:
      break;
  }
  return counts.system;
}

void Count(QueueCounts& counts, eStateClass state) { ++CountOf(counts, state); }

// Takes a member of `type` in `state` out of the counts; a type without
// members leaves them, as it would when counted afresh.
void Uncount(std::map<ObjectTypes, QueueCounts>& counts, ObjectTypes type, eStateClass state) {
  const auto it = counts.find(type);
  if (it == counts.end()) return;
  --CountOf(it->second, state);
  if (it->second == QueueCounts{}) counts.erase(it);
}

eStateClass StateOf(const InteractionState& interaction) {
  return ClassifyState(interaction.attributes.Query(Xan_State));
}

}  // namespace

void AddCounts(QueueCounts& to, const QueueCounts& from) {
  to.alerting += from.alerting;
  to.connected += from.connected;
  to.disconnected += from.disconnected;
  to.held += from.held;
  to.messaging += from.messaging;
  to.system += from.system;
}

eStateClass ClassifyState(const CQmAttributeValue& state) {
  const std::u16string& text = state.QueryString();
  if (text.size() != 1) return eStateClass::kSystem;
  switch (text[0]) {
    case u'A':
    case u'O':
      return eStateClass::kAlerting;
    case u'C':
      return eStateClass::kConnected;
    case u'I':
    case u'E':
      return eStateClass::kDisconnected;
    case u'H':
    case u'P':
      return eStateClass::kHeld;
    case u'M':
      return eStateClass::kMessaging;
    default:
      return eStateClass::kSystem;
  }
}

QueueChange& Changes::For(const CEntityId& queue) {
  for (QueueChange& change : changes_) {
    if (change.queue == queue) return change;
  }
  changes_.push_back(QueueChange{queue, false, {}});
  return changes_.back();
}

// ---- queues ----

const ServerQueue* ServerState::FindQueue(const CEntityId& queue) const {
  const auto it = queues_.find(queue);
  return it == queues_.end() ? nullptr : &it->second;
}

ServerQueue* ServerState::FindQueue(const CEntityId& queue) {
  const auto it = queues_.find(queue);
  return it == queues_.end() ? nullptr : &it->second;
}

std::vector<CEntityId> ServerState::QueuesOfType(ObjectTypes type) const {
  std::vector<CEntityId> out;
  for (const CEntityId& queue : queueOrder_) {
    if (queue.QueryObjectType() == type) out.push_back(queue);
  }
  return out;
}

bool ServerState::CreateQueue(const CEntityId& queue, Changes& changes) {
  // The all-queues entity of a type names no queue of its own, nor does a
  // view's entity.
  if (!queue.IsSet() || queue.QueryObjectId() == W4Notifier::kAllObjects ||
      IsViewType(queue.QueryObjectType())) {
    return false;
  }
  if (!queues_.emplace(queue, ServerQueue{}).second) return false;
  queueOrder_.push_back(queue);
  changes.For(queue);  // announced with its (empty) statistics
  return true;
}

bool ServerState::RemoveQueue(const CEntityId& queue, Changes& changes) {
  const ServerQueue* record = FindQueue(queue);
  if (record == nullptr) return false;
  for (const std::uint32_t id : std::vector<std::uint32_t>(record->members)) {
    if (InteractionState* interaction = Find(id)) std::erase(interaction->queues, queue);
  }
  queues_.erase(queue);
  std::erase(queueOrder_, queue);
  QueueChange& change = changes.For(queue);
  change.removed = true;
  change.events.clear();
  return true;
}

QueueCounts ServerState::Counts(const CEntityId& queue) const {
  QueueCounts sum;
  if (const ServerQueue* record = FindRecord(queue)) {
    for (const auto& entry : record->counts) AddCounts(sum, entry.second);
  }
  return sum;
}

std::map<ObjectTypes, QueueCounts> ServerState::CountsByType(const CEntityId& queue) const {
  const ServerQueue* record = FindRecord(queue);
  return record == nullptr ? std::map<ObjectTypes, QueueCounts>() : record->counts;
}

std::map<ObjectTypes, QueueCounts> ServerState::RecountByType(const ServerQueue& record) const {
  std::map<ObjectTypes, QueueCounts> out;
  for (const std::uint32_t id : record.members) {
    if (const InteractionState* interaction = FindInteraction(id)) {
      Count(out[interaction->type], StateOf(*interaction));
    }
  }
  return out;
}

// ---- interactions ----

const InteractionState* ServerState::FindInteraction(std::uint32_t id) const {
  const auto it = interactions_.find(id);
  return it == interactions_.end() ? nullptr : &it->second;
}

InteractionState* ServerState::Find(std::uint32_t id) {
  const auto it = interactions_.find(id);
  return it == interactions_.end() ? nullptr : &it->second;
}

std::uint32_t ServerState::NextFreeId() {
  do {
    ++lastId_;
  } while (lastId_ == 0 || lastId_ == W4Notifier::kAllObjects || interactions_.contains(lastId_));
  return lastId_;
}

std::optional<std::uint32_t> ServerState::ReserveIds(std::uint32_t count) {
  std::uint64_t first = std::uint64_t{lastId_} + 1;
  for (const auto& entry : interactions_) first = std::max(first, std::uint64_t{entry.first} + 1);
  if (count == 0 || first + count > W4Notifier::kAllObjects) return std::nullopt;
  lastId_ = static_cast<std::uint32_t>(first + count - 1);
  return static_cast<std::uint32_t>(first);
}

void ServerState::AddInteraction(std::uint32_t id, ObjectTypes type,
                                 const CQmAttributeMap& attributes, Changes& changes) {
  InteractionState& added = interactions_[id];
  added.id = id;
  added.type = type;
  added.attributes = attributes;
  UpdateViews(id, attributes, changes);
}

bool ServerState::SetAttributes(std::uint32_t id, const CQmAttributeMap& attributes,
                                Changes& changes) {
  InteractionState* interaction = Find(id);
  if (interaction == nullptr) return false;
  // Commonly every value changes: the copy, one block, costs less than
  // filling another map name by name.
  CQmAttributeMap changed = attributes;
  // Set when the state changes; its class, and so every count, stays as it
  // is otherwise.
  std::optional<std::pair<eStateClass, eStateClass>> stateMove;
  // Both maps are in name order: one walk along the stored values finds
  // them all (an entry stays where it is while others are added).
  CQmAttributeMap& values = interaction->attributes;
  auto next = values.begin();
  for (const auto& [name, value] : attributes) {
    while (next != values.end() && next->first < name) ++next;
    CQmAttributeValue& stored =
        next != values.end() && !(name < next->first) ? next->second : values[name];
    if (stored.QueryString() == value.QueryString()) {
      changed.erase(name);
      continue;
    }
    if (name == Xan_State) stateMove.emplace(ClassifyState(stored), ClassifyState(value));
    stored = value;
  }
  if (changed.size() == 0) return true;
  const bool stateChanged = stateMove.has_value();
  if (stateChanged) {
    const auto [before, after] = *stateMove;
    if (after != before) Recount(*interaction, before, after);
    if (after == eStateClass::kConnected) MarkConnected(id);
  }
  CQmAttributeMap watched = Watched(id, changed);
  if (watched.size() != 0) {
    changes.Record(
        ServerInteractionRecord{CEntityId(interaction->type, id), false, std::move(watched)});
  }
  // The views read `changed` only when there are some: the last queue may
  // then take it rather than a copy.
  const bool lastReader = views_.empty();
  const std::vector<CEntityId>& queues = interaction->queues;
  for (std::size_t i = 0; i < queues.size(); ++i) {
    const ObjectTypes type = queues[i].QueryObjectType();
    CQmAttributeMap reported = lastReader && i + 1 == queues.size()
                                   ? Monitored(std::move(changed), type)
                                   : Monitored(changed, type);
    // A new state changes the queue's statistics, which go out even when no
    // client watches the state itself.
    if (reported.size() == 0 && !stateChanged) continue;
    QueueChange& change = changes.For(queues[i]);
    if (reported.size() != 0) {
      change.events.push_back(
          ServerQueueEvent{CEntityId(interaction->type, id), false, false, std::move(reported)});
    }
  }
  UpdateViews(id, changed, changes);
  return true;
}

void ServerState::CountMember(ServerQueue& record, const InteractionState& interaction) {
  Count(record.counts[interaction.type], StateOf(interaction));
}

void ServerState::UncountMember(ServerQueue& record, const InteractionState& interaction) {
  Uncount(record.counts, interaction.type, StateOf(interaction));
}

void ServerState::Recount(const InteractionState& interaction, eStateClass before,
                          eStateClass after) {
  const auto recount = [&](ServerQueue& record) {
    if (record.stays.Find(interaction.id) == nullptr) return;
    Uncount(record.counts, interaction.type, before);
    Count(record.counts[interaction.type], after);
    record.stays.SetDisconnected(interaction.id, after == eStateClass::kDisconnected);
  };
  for (const CEntityId& queue : interaction.queues) {
    if (ServerQueue* record = FindQueue(queue)) recount(*record);
  }
  for (auto& entry : views_) recount(entry.second);
}

void ServerState::Join(std::uint32_t id, const CEntityId& queue, Changes& changes) {
  InteractionState* interaction = Find(id);
  if (interaction == nullptr) return;
  if (FindQueue(queue) == nullptr && !CreateQueue(queue, changes)) return;
  if (std::ranges::find(interaction->queues, queue) != interaction->queues.end()) return;
  interaction->queues.push_back(queue);
  ServerQueue& record = queues_[queue];
  record.members.push_back(id);
  ++record.countToday;
  BeginStay(record, *interaction);
  changes.For(queue).events.push_back(
      ServerQueueEvent{CEntityId(interaction->type, id), true, false,
                       Monitored(interaction->attributes, queue.QueryObjectType())});
}

void ServerState::Leave(std::uint32_t id, const CEntityId& queue, Changes& changes) {
  InteractionState* interaction = Find(id);
  ServerQueue* record = FindQueue(queue);
  if (interaction == nullptr || record == nullptr) return;
  if (std::erase(interaction->queues, queue) == 0) return;
  std::erase(record->members, id);
  EndStay(*record, id);
  if (StateOf(*interaction) == eStateClass::kAlerting) ++record->abandonedToday;
  changes.For(queue).events.push_back(
      ServerQueueEvent{CEntityId(interaction->type, id), false, true, {}});
}

void ServerState::RemoveInteraction(std::uint32_t id, Changes& changes) {
  const InteractionState* interaction = FindInteraction(id);
  if (interaction == nullptr) return;
  for (const CEntityId& queue : std::vector<CEntityId>(interaction->queues)) {
    Leave(id, queue, changes);
  }
  LeaveViews(id, changes);
  ReportDeactivation(*this, *interaction, changes);
  const CEntityId entity(interaction->type, id);
  interactions_.erase(id);
  watched_.erase(id);
  LeaveConferences(id, changes);
  changes.Record(ServerInteractionRecord{entity, true, {}});
}

void ServerState::LeaveConferences(std::uint32_t id, Changes& changes) {
  const CQmAttributeName members(Xan_ConferenceMembers);
  std::vector<std::pair<std::uint32_t, CQmAttributeValue>> edited;
  for (const auto& [conference, interaction] : interactions_) {
    CQmAttributeValue list = interaction.attributes.Query(members);
    if (list.remove(id)) edited.emplace_back(conference, std::move(list));
  }
  std::ranges::sort(edited, {}, &std::pair<std::uint32_t, CQmAttributeValue>::first);
  // The whole list goes out, as after any other change of it.
  for (const auto& [conference, list] : edited) {
    CQmAttributeMap map;
    map.insert(members, list);
    SetAttributes(conference, map, changes);
  }
}

std::vector<std::uint32_t> ServerState::InteractionsOfType(ObjectTypes type) const {
  std::vector<std::uint32_t> out;
  for (const auto& entry : interactions_) {
    if (entry.second.type == type) out.push_back(entry.first);
  }
  std::ranges::sort(out);
  return out;
}

// ---- monitoring ----

const std::vector<CQmAttributeName>& ServerState::RegisterNames(
    ObjectTypes type, const std::vector<CQmAttributeName>& names) {
  std::vector<CQmAttributeName>& registered = monitoredNames_[type];
  for (const CQmAttributeName& name : names) {
    if (name.empty()) continue;
    if (std::ranges::find(registered, name) == registered.end()) registered.push_back(name);
  }
  return registered;
}

const std::vector<CQmAttributeName>& ServerState::MonitoredNames(ObjectTypes type) const {
  const auto it = monitoredNames_.find(type);
  return it == monitoredNames_.end() ? kNoNames : it->second;
}

// Commonly every name is monitored: the map itself, or a copy, one block,
// costs less than filling another name by name.
CQmAttributeMap ServerState::Monitored(const CQmAttributeMap& attributes, ObjectTypes type) const {
  return AllMonitored(attributes, type) ? attributes : MonitoredPart(attributes, type);
}

CQmAttributeMap ServerState::Monitored(CQmAttributeMap&& attributes, ObjectTypes type) const {
  return AllMonitored(attributes, type) ? std::move(attributes) : MonitoredPart(attributes, type);
}

bool ServerState::AllMonitored(const CQmAttributeMap& attributes, ObjectTypes type) const {
  const std::vector<CQmAttributeName>& names = MonitoredNames(type);
  return std::ranges::all_of(attributes, [&names](const auto& entry) {
    return std::ranges::find(names, entry.first) != names.end();
  });
}

CQmAttributeMap ServerState::MonitoredPart(const CQmAttributeMap& attributes,
                                           ObjectTypes type) const {
  CQmAttributeMap out;
  for (const CQmAttributeName& name : MonitoredNames(type)) {
    const auto it = attributes.find(name);
    if (it != attributes.end()) out.insert(it->first, it->second);
  }
  return out;
}

CQmAttributeMap ServerState::MonitoredAttributes(std::uint32_t id, ObjectTypes type) const {
  const InteractionState* interaction = FindInteraction(id);
  return interaction == nullptr ? CQmAttributeMap() : Monitored(interaction->attributes, type);
}

void ServerState::Watch(std::uint16_t client, std::uint32_t id,
                        const std::vector<CQmAttributeName>& names) {
  std::vector<CQmAttributeName>& watched = watched_[id][client];
  for (const CQmAttributeName& name : names) {
    if (std::ranges::find(watched, name) == watched.end()) watched.push_back(name);
  }
}

std::vector<CQmAttributeName> ServerState::WatchedNames(std::uint16_t client,
                                                        std::uint32_t id) const {
  const auto byId = watched_.find(id);
  if (byId == watched_.end()) return {};
  const auto byClient = byId->second.find(client);
  return byClient == byId->second.end() ? std::vector<CQmAttributeName>() : byClient->second;
}

CQmAttributeMap ServerState::Watched(std::uint32_t id, const CQmAttributeMap& attributes) const {
  CQmAttributeMap out;
  const auto byId = watched_.find(id);
  if (byId == watched_.end()) return out;
  for (const auto& [name, value] : attributes) {
    for (const auto& entry : byId->second) {
      if (std::ranges::find(entry.second, name) == entry.second.end()) continue;
      out.insert(name, value);
      break;
    }
  }
  return out;
}

std::uint64_t ServerState::Sequence(const CEntityId& queue) const {
  if (queue.QueryObjectId() == W4Notifier::kAllObjects) {
    const auto it = allQueuesSequence_.find(queue.QueryObjectType());
    return it == allQueuesSequence_.end() ? 0 : it->second;
  }
  const ServerQueue* record = FindRecord(queue);
  return record == nullptr ? 0 : record->sequence;
}

std::uint64_t ServerState::NextSequence(const CEntityId& queue) {
  if (queue.QueryObjectId() == W4Notifier::kAllObjects) {
    return ++allQueuesSequence_[queue.QueryObjectType()];
  }
  ServerQueue* record = FindRecord(queue);
  return record == nullptr ? 0 : ++record->sequence;
}

bool ServerState::IsConsistent() const {
  std::size_t memberships = 0;
  for (const auto& [queue, record] : queues_) {
    for (const std::uint32_t id : record.members) {
      const InteractionState* interaction = FindInteraction(id);
      if (interaction == nullptr || std::ranges::count(interaction->queues, queue) != 1) {
        return false;
      }
      ++memberships;
    }
    if (record.counts != RecountByType(record) || !HasItsMembersStays(record)) return false;
  }
  for (const auto& entry : views_) {
    if (entry.second.counts != RecountByType(entry.second) || !HasItsMembersStays(entry.second))
      return false;
  }
  for (const auto& entry : interactions_) memberships -= entry.second.queues.size();
  return memberships == 0 && queueOrder_.size() == queues_.size();
}

const ClientRecord* ServerState::FindClient(std::uint16_t handle) const {
  const auto it = clients_.find(handle);
  return it == clients_.end() ? nullptr : &it->second;
}

}  // namespace QueueManager::Emulator
