#include "interaction/ConferenceMonitorGuts.h"

#include <algorithm>
#include <string_view>

#include "QueueManager/Platform/ObjectTypes.h"
#include "interaction/InteractionTrace.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;

constexpr std::string_view kFunction = "QueueManager::CQmConferenceMonitorGuts";

bool IsConferenceType(W4Notifier::ObjectTypes type) {
  return type == W4Notifier::eConferenceInteraction ||
         type == W4Notifier::eChatConferenceInteraction;
}

}  // namespace

bool CQmConferenceMonitorGuts::PartyOrder::operator()(const CEntityId& a,
                                                      const CEntityId& b) const {
  const auto typeA = static_cast<std::int32_t>(a.QueryObjectType());
  const auto typeB = static_cast<std::int32_t>(b.QueryObjectType());
  if (typeA != typeB) return typeA < typeB;
  return a.QueryObjectId() < b.QueryObjectId();
}

CQmConferenceMonitorGuts::~CQmConferenceMonitorGuts() {
  // A callback on another thread still uses the fields: it ends first.
  StopMonitoring();
  alive_->store(false);
}

void CQmConferenceMonitorGuts::Stop() { StopMonitoring(); }

template <class Call>
bool CQmConferenceMonitorGuts::CallOwner(Call call) {
  const std::shared_ptr<std::atomic<bool>> alive = alive_;
  if (!alive->load()) return false;
  call(*owner_);
  return alive->load();
}

void CQmConferenceMonitorGuts::Activate(InteractionId conference,
                                        const std::vector<CQmAttributeName>& names,
                                        bool synchronous) {
  {
    W4Os::MutexLock lock(&mutex_);
    if (conference_.IsSet()) return;  // activated at most once
    partyNames_ = names;
    conference_ = conference;
  }
  std::vector<CQmAttributeName> conferenceNames = names;
  conferenceNames.insert(conferenceNames.end(),
                         {Xan_State, Xan_ConferenceId, Xan_ConferenceMembers});
  CQmInteractionMonitor::Activate(conference, conferenceNames, synchronous);
}

void CQmConferenceMonitorGuts::Deactivate() {
  CQmInteractionMonitor::Deactivate(QueryConferenceId());
}

InteractionId CQmConferenceMonitorGuts::QueryConferenceId() const {
  W4Os::MutexLock lock(&mutex_);
  return conference_;
}

bool CQmConferenceMonitorGuts::QueryConferencePartys(std::vector<InteractionId>& parties) const {
  W4Os::MutexLock lock(&mutex_);
  parties = members_;
  return conference_.IsSet();
}

void CQmConferenceMonitorGuts::AttributesUpdated(const CEntityId& interaction,
                                                 const CQmAttributeMap& attributes) {
  if (InteractionId(interaction) == QueryConferenceId()) {
    ConferenceRecord(interaction, attributes);
  } else {
    PartyRecord(interaction, attributes);
  }
}

void CQmConferenceMonitorGuts::InteractionDeallocated(const CEntityId& interaction) {
  InteractionId conference;
  {
    W4Os::MutexLock lock(&mutex_);
    // A party leaves through the member list; the end is told once.
    if (InteractionId(interaction) != conference_ || ended_) return;
    ended_ = true;
    conference = conference_;
  }
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kFunction, conference.QueryObjectId(),
                       "CQmConferenceMonitor::ConferenceDeallocated");
  CallOwner([&](CQmConferenceMonitor& owner) { owner.ConferenceDeallocated(conference); });
}

CQmConferenceMonitorGuts::Ending CQmConferenceMonitorGuts::EndingLocked(
    const CEntityId& interaction, const CQmAttributeMap& attributes) {
  Ending ending = Ending::kNone;
  if (!IsConferenceType(interaction.QueryObjectType())) {
    ending = Ending::kDeallocated;
  } else if (const auto it = attributes.find(Xan_State); it != attributes.end()) {
    const eXAN_ATTRVALUE_STATE state = it->second.QueryInteractionState();
    if (state == eXAN_STATE_INITIALIZING || state == eXAN_STATE_ENDED) {
      ending = Ending::kUpdatedThenDeallocated;
    }
  }
  if (ending != Ending::kNone) ended_ = true;
  return ending;
}

void CQmConferenceMonitorGuts::ConferenceRecord(const CEntityId& interaction,
                                                const CQmAttributeMap& attributes) {
  InteractionId conference;
  Ending ending = Ending::kNone;
  MemberChanges changes;
  std::vector<CQmAttributeName> partyNames;
  {
    W4Os::MutexLock lock(&mutex_);
    if (ended_) return;
    conference = conference_;
    ending = EndingLocked(interaction, attributes);
    if (ending == Ending::kNone) {
      const auto it = attributes.find(Xan_ConferenceMembers);
      if (it == attributes.end()) return;
      it->second.QueryVector(members_);
      changes = ReconcileMembersLocked(members_);
      partyNames = partyNames_;
    }
  }
  if (ending == Ending::kUpdatedThenDeallocated && !CallOwner([&](CQmConferenceMonitor& owner) {
        owner.AttributesUpdated(conference, interaction, attributes);
      })) {
    return;
  }
  if (ending != Ending::kNone) {
    QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kFunction, conference.QueryObjectId(),
                         "CQmConferenceMonitor::ConferenceDeallocated");
    CallOwner([&](CQmConferenceMonitor& owner) { owner.ConferenceDeallocated(conference); });
    return;
  }
  for (const InteractionId id : changes.activate)
    CQmInteractionMonitor::Activate(id, partyNames, false);
  for (const InteractionId id : changes.release) CQmInteractionMonitor::Deactivate(id);
  for (const CEntityId& party : changes.removed) {
    CQmInteractionMonitor::Deactivate(InteractionId(party));
    QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kFunction, party.QueryObjectId(),
                         "CQmConferenceMonitor::ConferencePartyRemoved");
    if (!CallOwner([&](CQmConferenceMonitor& owner) {
          owner.ConferencePartyRemoved(conference, party);
        })) {
      return;
    }
  }
}

CQmConferenceMonitorGuts::MemberChanges CQmConferenceMonitorGuts::ReconcileMembersLocked(
    std::vector<InteractionId> members) {
  MemberChanges changes;
  const std::vector<InteractionId> listed = members;
  for (const CEntityId& party : known_) {
    const auto it = std::find(members.begin(), members.end(), InteractionId(party));
    if (it != members.end()) {
      members.erase(it);
    } else {
      changes.removed.push_back(party);
    }
  }
  for (const CEntityId& party : changes.removed) {
    known_.erase(party);
    activated_.erase(party.QueryObjectId());
  }
  for (const InteractionId id : members) {
    if (id.IsSet() && id != conference_ && activated_.insert(id.QueryObjectId()).second) {
      changes.activate.push_back(id);
    }
  }
  // Parties activated for an earlier list that never answered and are gone.
  for (auto it = activated_.begin(); it != activated_.end();) {
    if (std::find(listed.begin(), listed.end(), InteractionId(*it)) != listed.end()) {
      ++it;
      continue;
    }
    changes.release.emplace_back(*it);
    it = activated_.erase(it);
  }
  return changes;
}

void CQmConferenceMonitorGuts::PartyRecord(const CEntityId& party,
                                           const CQmAttributeMap& attributes) {
  InteractionId conference;
  bool added = false;
  {
    W4Os::MutexLock lock(&mutex_);
    // Only the parties this monitor watches (not a late record of one it
    // released).
    if (activated_.count(party.QueryObjectId()) == 0) return;
    conference = conference_;
    added = known_.insert(party).second;
  }
  if (added) {
    QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kFunction, party.QueryObjectId(),
                         "CQmConferenceMonitor::ConferencePartyAdded");
    CallOwner([&](CQmConferenceMonitor& owner) {
      owner.ConferencePartyAdded(conference, party, attributes);
    });
    return;
  }
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kFunction, party.QueryObjectId(),
                       "CQmConferenceMonitor::AttributesUpdated");
  CallOwner(
      [&](CQmConferenceMonitor& owner) { owner.AttributesUpdated(conference, party, attributes); });
}

}  // namespace QueueManager
