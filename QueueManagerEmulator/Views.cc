// The views of the server state: media type and attribute match entities,
// whose members follow from the interactions' types and attributes.

#include <algorithm>
#include <string>

#include "QueueManager/Platform/ObjectTypes.h"
#include "ServerState.h"

namespace QueueManager::Emulator {
namespace {

std::uint32_t IdOfName(const std::u16string& name) { return CEntityId::ObjectIdFromName(name); }

// Whether some attribute of `attributes` names the attribute match entity
// with object id `id`: "<name>=<value>", or "<name>=" for a non-empty value.
bool MatchesAttribute(const CQmAttributeMap& attributes, std::uint32_t id) {
  for (const auto& [name, value] : attributes) {
    std::u16string key = name.DisplayName() + u"=";
    if (!value.QueryString().empty() && IdOfName(key) == id) return true;
    key += value.QueryString();
    if (IdOfName(key) == id) return true;
  }
  return false;
}

}  // namespace

bool IsViewType(ObjectTypes type) {
  return type == W4Notifier::eObjectTypeEntity || type == W4Notifier::eAttributeMatch;
}

bool ServerState::BelongsTo(const InteractionState& interaction, const CEntityId& view) {
  if (view.QueryObjectType() == W4Notifier::eObjectTypeEntity) {
    return IdOfName(W4Notifier::GetNotifierObjectTypeName(interaction.type).str()) ==
           view.QueryObjectId();
  }
  return MatchesAttribute(interaction.attributes, view.QueryObjectId());
}

const ServerQueue* ServerState::FindRecord(const CEntityId& entity) const {
  if (!IsView(entity)) return FindQueue(entity);
  const auto it = views_.find(entity);
  return it == views_.end() ? nullptr : &it->second;
}

ServerQueue* ServerState::FindRecord(const CEntityId& entity) {
  if (!IsView(entity)) return FindQueue(entity);
  const auto it = views_.find(entity);
  return it == views_.end() ? nullptr : &it->second;
}

void ServerState::OpenView(const CEntityId& view) {
  const auto [it, opened] = views_.try_emplace(view);
  if (!opened) return;
  for (const auto& [id, interaction] : interactions_) {
    if (BelongsTo(interaction, view)) it->second.members.push_back(id);
  }
  std::ranges::sort(it->second.members);  // they join in the order of their ids
  for (const std::uint32_t id : it->second.members) {
    ++it->second.countToday;
    BeginStay(it->second, *FindInteraction(id));
  }
}

void ServerState::UpdateViews(std::uint32_t id, const CQmAttributeMap& changed, Changes& changes) {
  if (views_.empty()) return;  // spares the lookup on every change
  const InteractionState* interaction = FindInteraction(id);
  if (interaction == nullptr) return;
  const CEntityId entity(interaction->type, id);
  for (auto& [view, record] : views_) {
    const bool was = std::ranges::find(record.members, id) != record.members.end();
    const bool is = BelongsTo(*interaction, view);
    const ObjectTypes type = view.QueryObjectType();
    if (!was && is) {
      record.members.push_back(id);
      ++record.countToday;
      BeginStay(record, *interaction);
      changes.For(view).events.push_back(
          ServerQueueEvent{entity, true, false, Monitored(interaction->attributes, type)});
    } else if (was && !is) {
      std::erase(record.members, id);
      EndStay(record, id);
      changes.For(view).events.push_back(ServerQueueEvent{entity, false, true, {}});
    } else if (is) {
      CQmAttributeMap reported = Monitored(changed, type);
      const bool stateChanged = changed.count(CQmAttributeName(Xan_State)) != 0;
      if (reported.size() == 0 && !stateChanged) continue;
      QueueChange& change = changes.For(view);
      if (reported.size() != 0) {
        change.events.push_back(ServerQueueEvent{entity, false, false, std::move(reported)});
      }
    }
  }
}

void ServerState::LeaveViews(std::uint32_t id, Changes& changes) {
  const InteractionState* interaction = FindInteraction(id);
  if (interaction == nullptr) return;
  for (auto& [view, record] : views_) {
    if (std::erase(record.members, id) == 0) continue;
    EndStay(record, id);
    if (ClassifyState(interaction->attributes.Query(Xan_State)) == eStateClass::kAlerting) {
      ++record.abandonedToday;
    }
    changes.For(view).events.push_back(
        ServerQueueEvent{CEntityId(interaction->type, id), false, true, {}});
  }
}

void ServerState::EchoWrite(std::uint32_t id, const CEntityId& view, std::uint64_t sequence,
                            const CQmAttributeMap& written, Changes& changes) {
  const auto it = views_.find(view);
  if (it == views_.end() || std::ranges::find(it->second.members, id) == it->second.members.end()) {
    return;
  }
  const InteractionState* interaction = FindInteraction(id);
  QueueChange& change = changes.For(view);
  change.writeSequence = sequence;
  // The write's own event carries every monitored name written, changed or
  // not, so that the writer sees each of its writes confirmed; an interaction
  // that has just joined is reported whole by its addition.
  for (const ServerQueueEvent& event : change.events) {
    if (event.interaction.QueryObjectId() == id && event.added) return;
  }
  const auto own = std::ranges::find_if(change.events, [id](const ServerQueueEvent& event) {
    return event.interaction.QueryObjectId() == id && !event.removed;
  });
  const CQmAttributeMap echoed = Monitored(written, view.QueryObjectType());
  if (own == change.events.end()) {
    change.events.push_back(
        ServerQueueEvent{CEntityId(interaction->type, id), false, false, echoed});
    return;
  }
  for (const auto& [name, value] : echoed) own->attributes.insert(name, value);
}

}  // namespace QueueManager::Emulator
