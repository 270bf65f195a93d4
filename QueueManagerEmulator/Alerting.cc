// The alerting requests (events 15, 16, 17 and 19) and the ends of the
// alertings in progress; the codes are listed in Alerting.h.

#include "Alerting.h"

#include <algorithm>

#include "HandlerParts.h"
#include "QueueManager/Platform/Simulation.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CMessage;

constexpr std::int32_t kAutoAnswered = 0;
constexpr std::int32_t kInvalidParameter = 1;
constexpr std::int32_t kInvalidInteraction = 2;
constexpr std::int32_t kInvalidState = 3;
constexpr std::int32_t kNotOnAlertedQueue = 4;
constexpr std::int32_t kAlreadyOnAssociatedQueue = 5;
constexpr std::int32_t kDisconnected = 6;
constexpr std::int32_t kAnswered = 7;
constexpr std::int32_t kTransferred = 8;
constexpr std::int32_t kEnded = 9;
constexpr std::int32_t kTimedOut = 10;
constexpr std::int32_t kStarts = -1;  // no code: the alerting starts

bool On(const InteractionState& interaction, const CEntityId& queue) {
  return std::ranges::find(interaction.queues, queue) != interaction.queues.end();
}

bool IsDisconnected(const InteractionState& interaction) {
  return ClassifyState(interaction.attributes.Query(Xan_State)) == eStateClass::kDisconnected;
}

void SetState(ServerState& state, std::uint32_t id, const CQmAttributeValue& value,
              Changes& changes) {
  CQmAttributeMap map;
  map.insert(CQmAttributeName(Xan_State), value);
  state.SetAttributes(id, map, changes);
}

std::int32_t Check(const Request& r, const ServerState& state) {
  const bool partyUnset =
      std::ranges::any_of(r.alerts, [](const AlertOrder& order) { return !order.party.IsSet(); });
  if (r.alerts.empty() || partyUnset || r.seconds == 0) return kInvalidParameter;
  const InteractionState* interaction = state.FindInteraction(r.id);
  if (interaction == nullptr) return kInvalidInteraction;
  if (IsDisconnected(*interaction) || state.Alertings().contains(r.id)) return kInvalidState;
  for (const CEntityId& queue : r.entities) {
    if (!On(*interaction, queue)) return kNotOnAlertedQueue;
  }
  for (const CEntityId& queue : r.entities2) {
    if (On(*interaction, queue)) return kAlreadyOnAssociatedQueue;
  }
  return kStarts;
}

void NotifyParties(const Alerting& alerting, const InteractionState& interaction,
                   Changes& changes) {
  for (const AlertOrder& order : alerting.orders) {
    CMessage message(CEntityId(order.party.QueryObjectType(), order.party.QueryObjectId(), 0), 15);
    message << static_cast<std::int32_t>(interaction.type)
            << static_cast<std::int32_t>(interaction.id);
    WriteAlertParameters(message, order.parameters);
    changes.Notify(std::move(message));
  }
}

// Ends the alerting of `id` with `code` (see Alerting.h for what it leaves).
void Finish(ServerState& state, std::uint32_t id, std::int32_t code, Changes& changes) {
  const auto it = state.Alertings().find(id);
  const Alerting alerting = std::move(it->second);
  state.Alertings().erase(it);
  changes.Conclude(AlertOutcome{alerting.ticket, code});
  const InteractionState* interaction = state.FindInteraction(id);
  if (interaction == nullptr) return;
  if (code == kAnswered) {
    SetState(state, id, CQmAttributeValue(u"C"), changes);
    return;
  }
  for (const CEntityId& queue : alerting.associatedQueues) state.Leave(id, queue, changes);
  if (interaction->attributes.Query(Xan_State).QueryString() == u"A") {
    SetState(state, id, alerting.earlierState, changes);
  }
}

CMessage PerformAlerting(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  std::int32_t code = Check(r, state);
  if (code == kStarts) {
    Alerting alerting{state.NextTicket(), W4Os::SteadyNow() + std::chrono::seconds(r.seconds),
                      r.entities,         r.entities2,
                      r.alerts,           state.FindInteraction(r.id)->attributes.Query(Xan_State),
                      r.finalValue,       false};
    for (const CEntityId& queue : r.entities2) state.Join(r.id, queue, changes);
    SetState(state, r.id, CQmAttributeValue(u"A"), changes);
    NotifyParties(alerting, *state.FindInteraction(r.id), changes);
    const bool autoAnswer = std::ranges::any_of(
        r.alerts, [](const AlertOrder& order) { return order.parameters.autoAnswer; });
    if (autoAnswer) {
      SetState(state, r.id, CQmAttributeValue(u"C"), changes);
      code = kAutoAnswered;
    } else {
      changes.Hold(alerting.ticket);
      state.Alertings().emplace(r.id, std::move(alerting));
      return CMessage();
    }
  }
  CMessage out;
  out << code;
  return out;
}

CMessage EndAlerting(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  if (state.Alertings().contains(r.id)) Finish(state, r.id, kEnded, changes);
  return CMessage();
}

// The parties stop ringing; the alerting goes on and may still be answered.
CMessage SilentAlerting(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  const auto it = state.Alertings().find(r.id);
  if (it != state.Alertings().end()) it->second.silent = true;
  return CMessage();
}

// The alerting times out `finalValue` seconds from now; true when one was in
// progress.
CMessage AlertTimeout(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  const auto it = state.Alertings().find(r.id);
  const bool found = it != state.Alertings().end();
  if (found) it->second.deadline = W4Os::SteadyNow() + std::chrono::seconds(r.finalValue);
  CMessage out;
  out << found;
  return out;
}

}  // namespace

void ReadAlertParameters(const CMessage& m, AlertParameters& p) {
  std::int32_t type = 0;
  std::int32_t id = 0;
  m >> p.type >> p.autoAnswer >> p.callingName >> p.callingAddress >> type >> id;
  p.monitored =
      CEntityId(static_cast<W4Notifier::ObjectTypes>(type), static_cast<std::uint32_t>(id));
  m >> p.cadence >> p.freq1 >> p.ampl1 >> p.freq2 >> p.ampl2 >> p.duration >> p.silence >>
      p.repeat >> p.greeting >> p.whisper >> p.sipAlert;
}

void WriteAlertParameters(CMessage& m, const AlertParameters& p) {
  m << p.type << p.autoAnswer << p.callingName << p.callingAddress
    << static_cast<std::int32_t>(p.monitored.QueryObjectType())
    << static_cast<std::int32_t>(p.monitored.QueryObjectId());
  m << p.cadence << p.freq1 << p.ampl1 << p.freq2 << p.ampl2 << p.duration << p.silence << p.repeat
    << p.greeting << p.whisper << p.sipAlert;
}

Handler AlertingHandler(eRequest kind) {
  switch (kind) {
    case eRequest::kPerformAlerting:
      return PerformAlerting;
    case eRequest::kEndAlerting:
      return EndAlerting;
    case eRequest::kSilentAlerting:
      return SilentAlerting;
    case eRequest::kAlertTimeout:
      return AlertTimeout;
    default:
      return nullptr;
  }
}

void SettleAlertings(ServerState& state, Changes& changes, Clock::time_point now) {
  std::vector<std::pair<std::uint32_t, std::int32_t>> ends;
  for (const auto& [id, alerting] : state.Alertings()) {
    const InteractionState* interaction = state.FindInteraction(id);
    if (interaction == nullptr || IsDisconnected(*interaction)) {
      ends.emplace_back(id, kDisconnected);
    } else if (!std::ranges::all_of(alerting.fromQueues, [&](const CEntityId& queue) {
                 return On(*interaction, queue);
               })) {
      ends.emplace_back(id, kTransferred);
    } else if (alerting.deadline <= now) {
      ends.emplace_back(id, kTimedOut);
    }
  }
  for (const auto& [id, code] : ends) Finish(state, id, code, changes);
}

bool AnswerAlerting(ServerState& state, std::uint32_t id, const CEntityId& party,
                    Changes& changes) {
  const auto it = state.Alertings().find(id);
  if (it == state.Alertings().end()) return false;
  const bool alerted = std::ranges::any_of(
      it->second.orders, [&](const AlertOrder& order) { return order.party == party; });
  if (alerted) Finish(state, id, kAnswered, changes);
  return alerted;
}

std::optional<Clock::time_point> NextDeadline(const ServerState& state) {
  std::optional<Clock::time_point> next;
  for (const auto& entry : state.Alertings()) {
    if (!next || entry.second.deadline < *next) next = entry.second.deadline;
  }
  return next;
}

}  // namespace QueueManager::Emulator
